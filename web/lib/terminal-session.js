'use strict';

const { OutputLog } = require('./output-log');
const { ScreenMirror, MAX_PENDING_BYTES } = require('./screen-mirror');
const { PageConnection, MAX_FRAME_BYTES, MAX_IN_FLIGHT_BYTES } = require('./page-connection');
const { Utf8Chunks } = require('./utf8-chunks');
const { SessionViewers } = require('./session-viewers');
const { SHARE_MODES } = require('./share-links');
const { MAX_COLS, MAX_ROWS, validSize, clampSize } = require('./terminal-size');

// What the owner may call itself for the pages it shares the session with.
const MAX_LABEL_CHARS = 64;
// Links one session may have at once: enough for any sharing, a bound on
// what a page that keeps asking for links can make the server hold.
const MAX_LINKS = 64;

// Flow control between the broker and the page: with more than HIGH
// bytes that the attached page has not confirmed (sent or still to
// send), the terminal is paused, and resumed below LOW. The terminal passes
// the pause on to the broker, which stops reading the shell's output, so a
// flood such as `yes` cannot outrun the page and ^C still answers at once.
// HIGH is what may be on its way to the page (page-connection.js) and one
// frame more, so that a frame is ready whenever the page confirms one.
const HIGH_WATER_BYTES = MAX_IN_FLIGHT_BYTES + MAX_FRAME_BYTES;
const LOW_WATER_BYTES = MAX_IN_FLIGHT_BYTES;
// The screen mirror is handed output in batches and parses at a low
// priority (screen-mirror.js), so it may fall this far behind before the
// shell is held back for it.
const MIRROR_HIGH_WATER_BYTES = MAX_PENDING_BYTES;
const MIRROR_LOW_WATER_BYTES = MAX_PENDING_BYTES / 2;

// Input the program on the terminal has not read waits in the terminal's
// client. Past this much, a page's further input is refused and the page
// told, so that no page can make the server hold without end what nobody
// reads (a paste into a program that never reads its terminal). Input is
// taken again once the program has read half of it.
const MAX_UNREAD_INPUT_CHARS = 8 * 1024 * 1024;

// After a snapshot of a full-screen program, the terminal is made one row
// taller for this long and then put back, so that the program redraws its
// screen as after any resize (what the snapshot cannot carry, such as a
// scrolling region, is then set again).
const REDRAW_NUDGE_MS = 50;

/**
 * One shell and what a page needs to show it: the numbered output log, the
 * screen mirror, and the page attached now, if any. The session outlives
 * its WebSocket; the session table decides how long.
 *
 * To the page: {type:'session', id, resumed, maxCols, maxRows, note?}, then {type:'snapshot',
 * seq, data} or the missed output (frames "SEQ:DATA", see
 * page-connection.js), then {type:'resumed'}, then live output; {type:'error', message},
 * {type:'exit', exitCode, signal, reason}, {type:'taken-over'}.
 * From the page: {type:'input', data, binary?}, {type:'resize', cols, rows},
 * {type:'ack', seq}.
 *
 * The attached page is the session's owner: it alone sets the size and
 * paces the output, and it may share the session: {type:'share', mode,
 * label?} makes a link, {type:'revoke', id} ends one; it is sent
 * {type:'sharing', links, viewers} whenever they change. The pages of the
 * links are the session's viewers (session-viewers.js).
 */
class TerminalSession {
  /** @type {PageConnection | undefined} */
  connection;
  /** The shell's exit event, once it has ended. */
  exit;
  #log;
  #mirror;
  #utf8 = new Utf8Chunks();
  #paused = false;
  #finished = false;
  #onDetach;
  #onFinish;
  #redrawTimer;
  /** @type {Buffer[]} input of the messages read in this turn, written to the terminal as one */
  #input = [];
  #inputRefused = false;
  #recorder;
  #links;
  #viewers;
  #target;
  /** What the owner calls itself for its viewers, if it said. */
  label;

  /**
   * @param {object} options
   * @param {string} options.id
   * @param {import('terminal-stream-client').Terminal} options.terminal spawned with `encoding: null`: its output comes as bytes
   * @param {number} options.logBytes
   * @param {number} options.scrollback lines of scrollback in a snapshot
   * @param {(session: TerminalSession) => void} options.onDetach its page has gone
   * @param {(session: TerminalSession) => void} options.onFinish its end has been shown to a page
   * @param {import('./session-recorder').SessionRecorder} [options.recorder] writes the session down
   * @param {import('./share-links').ShareLinks} options.links the server's share links
   * @param {number} options.maxViewers pages at most through the session's share links
   * @param {string} options.target where the session runs, for its viewers
   */
  constructor({ id, terminal, logBytes, scrollback, onDetach, onFinish, recorder, links, maxViewers, target }) {
    this.id = id;
    this.terminal = terminal;
    this.#log = new OutputLog(logBytes);
    this.#mirror = new ScreenMirror(terminal.cols, terminal.rows, scrollback);
    this.#onDetach = onDetach;
    this.#onFinish = onFinish;
    this.#recorder = recorder;
    this.#links = links;
    this.#target = target;
    this.#viewers = new SessionViewers({
      maxViewers,
      onChange: () => this.#tellSharing(),
      session: {
        log: this.#log,
        snapshot: () => this.#mirror.snapshot(),
        write: (data, binary) => this.#write(data, binary),
        exit: () => this.exit,
        parse: parsePageMessage
      }
    });
    /** Resolves with the exit event. */
    this.ended = new Promise((resolve) => terminal.onExit(resolve));
    terminal.onData((data) => this.#onOutput(data));
    terminal.onError((error) => this.connection?.send({ type: 'error', message: error.message }));
    terminal.onExit((exit) => this.#onExit(exit));
  }

  /** The newest output message's seq. */
  get lastSeq() { return this.#log.lastSeq; }

  /** Bytes held for replay. */
  get logBytes() { return this.#log.bytes; }

  /**
   * Attaches a page, taking the session over from the page that has it.
   * Order: the session message, the page's size, the missed output (or a
   * snapshot), then live output.
   * @param {import('ws').WebSocket} socket
   * @param {{ cols: number, rows: number, seq?: number, resumed: boolean, note?: string }} page
   */
  async attach(socket, { cols, rows, seq, resumed, note }) {
    this.#takeOver();
    const connection = new PageConnection(socket);
    this.connection = connection;
    socket.on('message', (raw) => this.#onPageMessage(connection, raw));
    socket.on('close', () => this.#onSocketClose(connection));
    socket.on('error', () => {}); // a broken connection also ends in 'close'
    connection.send({ type: 'session', id: this.id, resumed, maxCols: MAX_COLS, maxRows: MAX_ROWS, ...(note ? { note } : {}) });
    if (this.#links.of(this).length > 0) this.#tellSharing();
    const sizeChanged = this.#resize(cols, rows);
    if (!resumed) {
      connection.startAfter(0);
    } else if (this.#log.holdsAfter(seq)) {
      connection.startAfter(seq, this.#log.lastSeq);
    } else {
      const snapshot = await this.#mirror.snapshot();
      if (this.connection !== connection) return;
      connection.startAfter(snapshot.seq, snapshot.seq);
      connection.sendSnapshot(snapshot);
      if (this.#mirror.alternateScreen && !sizeChanged && !this.exit) this.#nudgeRedraw();
    }
    this.#relay();
  }

  /**
   * A page that came through one of the session's share links.
   * @param {import('ws').WebSocket} socket @param {import('./share-links').ShareLink} link
   */
  addViewer(socket, link) {
    const { cols, rows } = this.terminal;
    return this.#viewers.add(socket, link, { ...(this.label ? { owner: this.label } : {}), target: this.#target, cols, rows });
  }

  /** Hangs up the shell (through its broker); `ended` resolves once it is gone. */
  hangUp() {
    // Through the broker: SIGHUP to the shell, as from a closed terminal, and
    // the end of the broker's input, whose termination ladder ends even a
    // shell that ignores the hang-up, wherever the broker runs. Nothing is
    // signalled from this process.
    if (!this.exit) this.terminal.destroy();
    return this.ended;
  }

  /** Closes the page's socket, if any, without detaching in the table's sense. */
  closePage(code, reason) {
    const connection = this.connection;
    this.connection = undefined;
    connection?.close(code, reason);
  }

  /** Frees the screen mirror; the session is of no further use. */
  dispose() {
    this.#finished = true;
    this.#recorder?.close();
    this.#links.forget(this);
    this.#viewers.closeAll();
    clearTimeout(this.#redrawTimer);
    this.#mirror.dispose();
  }

  /** @param {Buffer} bytes a read of the terminal */
  #onOutput(bytes) {
    if (this.#finished) return;
    this.#append(this.#utf8.take(bytes));
  }

  /** @param {Buffer} data whole UTF-8 characters */
  #append(data) {
    if (data.length === 0) return;
    this.#recorder?.output(data, this.terminal.outputTs);
    const keepAfter = this.connection ? (this.connection.ackedSeq ?? 0) : Infinity;
    const seq = this.#log.append(data, keepAfter);
    this.#mirror.write(seq, data, () => this.#updateFlow());
    this.#relay();
  }

  #onExit(exit) {
    if (!this.#finished) this.#append(this.#utf8.end());
    this.exit = exit;
    this.#recorder?.close();
    // Every link dies with its session: none opens anything from now on.
    this.#links.forget(this);
    clearTimeout(this.#redrawTimer);
    this.#relay();
  }

  /** Sends what the page is due, then the end of the shell once all its output is out. */
  #relay() {
    if (!this.#finished) this.#viewers.relay();
    const connection = this.connection;
    if (!connection || this.#finished) return this.#updateFlow();
    connection.pump(this.#log);
    this.#updateFlow();
    if (this.exit && connection.caughtUp(this.#log)) {
      connection.send({ type: 'exit', ...this.exit });
      this.closePage(1000, 'shell ended');
      this.#onFinish(this);
    }
    return undefined;
  }

  #updateFlow() {
    if (this.exit || this.#finished) return;
    const pageBacklog = this.connection?.backlogBytes(this.#log) ?? 0;
    const mirrorBacklog = this.#mirror.pendingBytes;
    if (!this.#paused && (pageBacklog > HIGH_WATER_BYTES || mirrorBacklog > MIRROR_HIGH_WATER_BYTES)) {
      this.#paused = true;
      this.terminal.pause();
    } else if (this.#paused && pageBacklog < LOW_WATER_BYTES && mirrorBacklog < MIRROR_LOW_WATER_BYTES) {
      this.#paused = false;
      this.terminal.resume();
    }
  }

  /** @returns {boolean} whether the size changed (and so the program on the terminal redraws) */
  #resize(cols, rows) {
    if (this.exit || (cols === this.terminal.cols && rows === this.terminal.rows)) return false;
    this.terminal.resize(cols, rows);
    this.#recorder?.resize(cols, rows);
    this.#viewers.resize(cols, rows);
    this.#mirror.resize(cols, rows);
    return true;
  }

  #nudgeRedraw() {
    const { cols, rows } = this.terminal;
    const taller = rows < MAX_ROWS ? rows + 1 : rows - 1;
    this.#resize(cols, taller);
    this.#redrawTimer = setTimeout(() => {
      // Unless the page has set a size of its own meanwhile.
      if (this.terminal.cols === cols && this.terminal.rows === taller) this.#resize(cols, rows);
    }, REDRAW_NUDGE_MS);
  }

  #takeOver() {
    if (!this.connection) return;
    this.connection.send({ type: 'taken-over' });
    this.closePage(4001, 'taken over by another page');
  }

  #onSocketClose(connection) {
    if (this.connection !== connection) return; // taken over, or the end was shown
    this.connection = undefined;
    this.#updateFlow();
    this.#onDetach(this);
  }

  #onPageMessage(connection, raw) {
    if (this.connection !== connection) return;
    const message = parsePageMessage(raw);
    if (!message || this.exit) {
      if (message?.type === 'ack') this.#acknowledge(connection, message.seq);
      return;
    }
    if (message.type === 'input') {
      this.#write(message.data, message.binary);
    } else if (message.type === 'resize') {
      this.#writeInput(); // typed before the resize, so written before it
      this.#resize(message.cols, message.rows);
    } else if (message.type === 'ack') this.#acknowledge(connection, message.seq);
    else if (message.type === 'share') this.#share(message);
    else if (message.type === 'revoke') this.#revoke(message.id);
  }

  // A socket's read hands over every message it holds in one turn: their
  // input goes to the terminal as one write, not one per message (a page's
  // 200,000 one-key messages were as many writes, and left the server's
  // memory larger for good).
  #write(data, binary) {
    const bound = this.#inputRefused ? MAX_UNREAD_INPUT_CHARS / 2 : MAX_UNREAD_INPUT_CHARS;
    if (this.terminal.inputBacklog > bound) {
      this.#refuseInput();
      return;
    }
    this.#inputRefused = false;
    this.#recorder?.input(data, binary);
    if (this.#input.push(Buffer.from(data, binary ? 'latin1' : 'utf8')) === 1) queueMicrotask(() => this.#writeInput());
  }

  // The page is told once per stretch of refused input, not once per message.
  #refuseInput() {
    if (this.#inputRefused) return;
    this.#inputRefused = true;
    const mib = MAX_UNREAD_INPUT_CHARS / (1024 * 1024);
    this.connection?.send({ type: 'error', message: `input not sent: the program has not read the last ${mib} MiB typed` });
  }

  #writeInput() {
    if (this.#input.length === 0) return;
    const bytes = this.#input.length === 1 ? this.#input[0] : Buffer.concat(this.#input);
    this.#input = [];
    if (!this.exit) this.terminal.write(bytes);
  }

  #share({ mode, label }) {
    if (typeof label === 'string') this.label = label.trim().slice(0, MAX_LABEL_CHARS) || undefined;
    if (this.#links.of(this).length >= MAX_LINKS) {
      this.connection?.send({ type: 'error', message: `no more links: this session has ${MAX_LINKS}; revoke one first` });
      return;
    }
    this.#links.create(this, mode);
    this.#tellSharing();
  }

  #revoke(id) {
    const link = this.#links.of(this).find((candidate) => candidate.id === id);
    if (!link) return;
    this.#links.revoke(link);
    this.#viewers.revoke(link);
    this.#tellSharing();
  }

  /** The owner's page sees its links and who came through them. */
  #tellSharing() {
    const links = this.#links.of(this).map(({ id, mode, capability, createdAt }) => ({ id, mode, capability, createdAt }));
    this.connection?.send({ type: 'sharing', links, viewers: this.#viewers.list() });
  }

  #acknowledge(connection, seq) {
    connection.acknowledge(seq);
    this.#relay();
  }
}

/** A message from the page, checked; undefined when it is not one. */
function parsePageMessage(raw) {
  let message;
  try {
    message = JSON.parse(raw);
  } catch {
    return undefined;
  }
  if (message?.type === 'input' && typeof message.data === 'string') return message;
  if (message?.type === 'resize' && validSize(message.cols) && validSize(message.rows)) {
    return { type: 'resize', ...clampSize(message.cols, message.rows) };
  }
  if (message?.type === 'ack' && Number.isInteger(message.seq) && message.seq >= 0) return message;
  if (message?.type === 'share' && SHARE_MODES.includes(message.mode)) return message;
  if (message?.type === 'revoke' && typeof message.id === 'string') return message;
  return undefined;
}

module.exports = { TerminalSession };
