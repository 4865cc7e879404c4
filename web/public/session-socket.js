'use strict';

// The page's WebSocket to its session. The session outlives the socket: the
// page keeps the session's id for its tab (sessionStorage), reconnects by
// itself after a dropped connection, and says which output it has written,
// so that the server sends exactly what it missed (or a snapshot of the
// screen, after a reload).

const SESSION_KEY = 'terminal-stream-session';

/**
 * One session, over as many sockets as it takes.
 *
 * What it tells the page goes through `onStatus(text, isEnd)`; output goes
 * to the terminal, and `onOutputShown()` is called once xterm.js has
 * processed some; `onSizeLimit({cols, rows})` passes on the largest size
 * the server takes.
 */
class SessionSocket {
  #terminal;
  #token;
  #target;
  #onStatus;
  #onOutputShown;
  #onSizeLimit;
  #share;
  #onShareMessage;
  #socket;
  #input = new PageInput((message) => this.#send(message));
  #sessionId = sessionStorage.getItem(SESSION_KEY) || undefined;
  #lastSeq; // the last output message written to xterm.js
  #ackQueued = false;
  #stopped = false; // the shell ended or another page took over: no reconnecting
  #holding = false; // disconnect() was called
  #reconnection = new Reconnection();

  /**
   * @param {object} options
   * @param {Terminal} options.terminal
   * @param {string} options.token
   * @param {string} options.target where a new session runs ('': the server's default)
   * @param {(text: string, isEnd?: boolean) => void} options.onStatus
   * @param {() => void} options.onOutputShown
   * @param {(max: { cols: number, rows: number }) => void} options.onSizeLimit
   * @param {string} [options.share] a share link's capability: this page is one of the session's viewers
   * @param {(message: object) => void} [options.onShareMessage] 'sharing' (to the owner), 'watching', 'size', 'share-ended' (to a viewer)
   */
  constructor({ terminal, token, target, onStatus, onOutputShown, onSizeLimit, share, onShareMessage }) {
    this.#terminal = terminal;
    this.#token = token;
    this.#target = target;
    this.#onStatus = onStatus;
    this.#onOutputShown = onOutputShown;
    this.#onSizeLimit = onSizeLimit;
    this.#share = share || undefined;
    this.#onShareMessage = onShareMessage ?? (() => {});
    // A viewer's page holds no session of its own: its link says which.
    if (this.#share) this.#sessionId = undefined;
  }

  get sessionId() { return this.#sessionId; }
  get lastSeq() { return this.#lastSeq; }

  /** Forgets this tab's session: the next page load starts a new one. */
  static forgetSession() {
    sessionStorage.removeItem(SESSION_KEY);
  }

  /**
   * Opens a socket unless one is open or the connection is held. Waits for
   * xterm.js to write what it was given first, so that the seq the server
   * hears is that of the last message on the screen.
   */
  connect() {
    this.#holding = false;
    if (this.#socket) return;
    this.#terminal.write('', () => {
      if (this.#holding || this.#socket) return;
      const socket = new WebSocket(this.#socketUrl());
      this.#socket = socket;
      let opened = false;
      socket.onopen = () => { opened = true; };
      socket.onmessage = (event) => this.#onMessage(event.data);
      socket.onclose = (event) => this.#onClose(socket, event, opened);
    });
  }

  /** Closes the connection as a network failure would, and holds reconnecting until connect(). */
  disconnect() {
    this.#holding = true;
    this.#reconnection.cancel();
    const socket = this.#socket;
    this.#socket = undefined;
    this.#input.hold();
    if (socket) socket.close();
    this.#onStatus('disconnected', true);
  }

  /** @param {string} data @param {boolean} binary one character per byte */
  sendInput(data, binary) {
    this.#input.type(data, binary);
  }

  sendResize(cols, rows) {
    this.#send({ type: 'resize', cols, rows });
  }

  /** @param {object} message to the server, as the owner's page (share, revoke) */
  sendControl(message) {
    this.#send(message);
  }

  #send(message) {
    const socket = this.#socket;
    if (socket && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  #socketUrl() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    if (this.#share) {
      const viewer = new URLSearchParams({ share: this.#share, cols: this.#terminal.cols, rows: this.#terminal.rows });
      return `${scheme}//${location.host}/terminal?${viewer}`;
    }
    const query = new URLSearchParams({ token: this.#token, cols: this.#terminal.cols, rows: this.#terminal.rows });
    if (this.#target) query.set('target', this.#target);
    if (this.#sessionId) query.set('session', this.#sessionId);
    if (this.#sessionId && this.#lastSeq !== undefined) query.set('seq', this.#lastSeq);
    return `${scheme}//${location.host}/terminal?${query}`;
  }

  // Output comes as "SEQ:DATA"; everything else as a JSON object.
  #onMessage(text) {
    if (text.charCodeAt(0) !== 0x7b) {
      const colon = text.indexOf(':');
      this.#writeOutput(Number(text.slice(0, colon)), text.slice(colon + 1));
      return;
    }
    const message = JSON.parse(text);
    if (message.type === 'snapshot') this.#writeSnapshot(message.seq, message.data);
    else if (message.type === 'session') this.#onSession(message);
    else if (message.type === 'resumed') this.#onResumed();
    else if (message.type === 'exit') this.#onExit(message);
    else if (message.type === 'taken-over') this.#onTakenOver();
    else if (message.type === 'error') this.#onStatus(message.message);
    else this.#onShared(message);
  }

  // What a share brings: the owner's list of links and viewers; to a
  // viewer, its session (a snapshot follows, as after a reload), the
  // owner's size, and the end of its link.
  #onShared(message) {
    if (message.type === 'watching') {
      this.#reconnection.reset();
      this.#input.catchUp();
    } else if (message.type === 'share-ended') {
      this.#stopped = true;
      this.#input.drop(true);
    } else if (message.type !== 'sharing' && message.type !== 'size') {
      return;
    }
    this.#onShareMessage(message);
  }

  // Acknowledged once xterm.js has processed it: the server holds the shell
  // back while too much is unacknowledged. xterm.js calls back every message
  // of a batch in one task, and one ack of the last says it all: a flood's
  // acks cost the page a send per batch, not per message.
  #writeOutput(seq, data) {
    this.#terminal.write(data, () => {
      this.#onOutputShown();
      this.#lastSeq = seq;
      if (this.#ackQueued) return;
      this.#ackQueued = true;
      queueMicrotask(() => {
        this.#ackQueued = false;
        this.#send({ type: 'ack', seq: this.#lastSeq });
      });
    });
  }

  #writeSnapshot(seq, data) {
    this.#terminal.reset();
    this.#writeOutput(seq, data);
  }

  #onSession(message) {
    this.#reconnection.reset();
    this.#sessionId = message.id;
    sessionStorage.setItem(SESSION_KEY, message.id);
    if (message.maxCols && message.maxRows) this.#onSizeLimit({ cols: message.maxCols, rows: message.maxRows });
    if (message.resumed) {
      this.#input.catchUp();
      this.#onStatus('resuming…');
    } else if (message.note) {
      this.#lastSeq = 0;
      this.#terminal.reset();
      // Typed for the shell that has gone, not for this one.
      this.#onStatus(`new shell: ${message.note}${StatusBar.unsent(this.#input.drop())}`, true);
      this.#input.goLive();
    } else {
      this.#lastSeq = 0;
      this.#onStatus('connected');
      this.#input.goLive();
    }
    this.#terminal.focus();
  }

  // Everything before this message was old output: once xterm.js has
  // processed it, its answers are the shell's again, and what was typed
  // meanwhile goes.
  #onResumed() {
    this.#terminal.write('', () => {
      if (this.#socket?.readyState !== WebSocket.OPEN) return;
      const overBound = this.#input.goLive();
      // A viewer's status line says whose session it watches.
      if (this.#share) return;
      this.#onStatus(overBound ? `resumed${StatusBar.unsent(overBound)} (over the bound)` : 'resumed', overBound > 0);
    });
  }

  #onExit(exit) {
    this.#stopped = true;
    const unsent = StatusBar.unsent(this.#input.drop(true));
    if (!this.#share) SessionSocket.forgetSession();
    const how = StatusBar.howEnded(exit);
    this.#terminal.write(`\r\n\x1b[7m[session ended: ${how}]\x1b[0m\r\n`, () => this.#onStatus(`session ended: ${how}${unsent}`, true));
  }

  #onTakenOver() {
    this.#stopped = true;
    this.#onStatus(`taken over by another page${StatusBar.unsent(this.#input.drop(true))}`, true);
  }

  #onClose(socket, event, opened) {
    if (this.#socket !== socket) return;
    this.#socket = undefined;
    this.#input.hold();
    if (this.#stopped) return;
    const { text, isEnd } = this.#reconnection.schedule(event, opened, this.#input.heldChars, () => {
      if (!this.#holding) this.connect();
    });
    this.#onStatus(text, isEnd);
  }
}
