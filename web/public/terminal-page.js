'use strict';

// The page: xterm.js with the fit addon, attached to one session of this
// page's server over a WebSocket. The session outlives the socket: the page
// keeps the session's id for its tab (sessionStorage), reconnects by itself
// after a dropped connection, and says which output it has written, so that
// the server sends exactly what it missed (or a snapshot of the screen, after
// a reload).
(function startTerminalPage() {
  const SESSION_KEY = 'terminal-stream-session';
  const RETRY_FIRST_MS = 250;
  const RETRY_MAX_MS = 4000;

  const CURSOR_BLINK_MS = 600;
  // As GTK does by default: a cursor left alone stops blinking (and stays
  // shown), as each phase costs the browser a frame.
  const CURSOR_BLINK_TIMEOUT_MS = 10000;
  // DECSCUSR's styles 0 to 6: the shape, and whether it blinks (0: the page's default).
  const CURSOR_SHAPES = ['block', 'block', 'block', 'underline', 'underline', 'bar', 'bar'];

  const statusLine = document.getElementById('status');
  const terminalBox = document.getElementById('terminal');
  const pageQuery = new URLSearchParams(location.search);
  // The scrollback of xterm.js's default and of a reloaded page's snapshot:
  // a longer one made every line of a flood dearer (each new line is copied
  // over the oldest, and 5000 lines of a wide terminal no longer fit the
  // processor's caches).
  const terminal = new Terminal({ fontFamily: 'DejaVu Sans Mono, monospace', scrollback: 1000 });
  const fitAddon = new FitAddon.FitAddon();
  terminal.loadAddon(fitAddon);
  terminal.open(terminalBox);
  const cursorBlink = pageCursorBlink(terminal, terminalBox);
  // The cursor is steady unless ?cursorBlink=1, as xterm.js's own default:
  // a blink costs the browser a frame every phase. A program may ask for
  // either (DECSCUSR, as vim and shells in vi mode do).
  const blinkByDefault = pageQuery.get('cursorBlink') === '1';
  let blinkWanted = blinkByDefault;
  let renderer = 'dom'; // or 'webgl': see startRenderer, once the shell is on its way
  applyCursorBlink();
  terminal.parser.registerCsiHandler({ intermediates: ' ', final: 'q' }, setCursorStyle);
  fitAddon.fit();

  const token = pageQuery.get('token') || '';
  // Where a new session runs: a name from the server's list (none: its default).
  const target = pageQuery.get('target') || '';
  const state = {
    socket: undefined,
    sessionId: sessionStorage.getItem(SESSION_KEY) || undefined,
    lastSeq: undefined, // the last output message written to xterm.js
    ackQueued: false,
    catchingUp: false, // writing a replay or snapshot: xterm.js's answers to old queries are not sent
    stopped: false, // the shell ended or another page took over: no reconnecting
    held: false, // disconnect() was called
    retries: 0,
    retryTimer: undefined
  };

  // Looking for WebGL holds the page up for 15 ms or more: it is done once
  // the first output is on the screen (or after a second without any), not
  // on the way to the first prompt.
  let rendererTimer = setTimeout(chooseRendererSoon, 1000);
  function chooseRendererSoon() {
    if (rendererTimer === undefined) return;
    clearTimeout(rendererTimer);
    rendererTimer = undefined;
    setTimeout(() => startRenderer(pageQuery.get('renderer')));
  }

  // xterm.js's WebGL renderer where WebGL runs on a graphics card, its DOM
  // renderer elsewhere (and after a lost WebGL context). Where WebGL is
  // drawn in software (SwiftShader, llvmpipe), the DOM renderer measured
  // faster: half the idle CPU and quicker through a flood of output.
  // ?renderer=dom or ?renderer=webgl in the address decides instead.
  function startRenderer(wanted) {
    if (wanted === 'dom' || (wanted !== 'webgl' && !webglOnGraphicsCard())) return;
    // The addon's script is fetched only where it is used.
    const script = document.createElement('script');
    script.src = 'vendor/addon-webgl.js';
    script.onload = startWebglRenderer;
    script.onerror = () => console.warn('terminal-stream: no WebGL renderer: its script did not load');
    document.head.append(script);
  }

  function startWebglRenderer() {
    try {
      const webgl = new WebglAddon.WebglAddon();
      webgl.onContextLoss(() => {
        webgl.dispose();
        startDomRenderer();
      });
      terminal.loadAddon(webgl);
    } catch (error) {
      console.warn('terminal-stream: no WebGL renderer:', error.message);
      return;
    }
    renderer = 'webgl';
    applyCursorBlink();
    fitAddon.fit(); // its cells may differ from the DOM renderer's
  }

  function startDomRenderer() {
    renderer = 'dom';
    applyCursorBlink();
  }

  // The WebGL renderer blinks from a timer of its own; for the DOM renderer
  // the page does (see pageCursorBlink).
  function applyCursorBlink() {
    terminal.options.cursorBlink = renderer === 'webgl' && blinkWanted;
    if (renderer === 'dom' && blinkWanted) cursorBlink.start();
    else cursorBlink.stop();
  }

  // CSI Ps SP q. Handled here rather than by xterm.js, which would blink
  // with its endless animation.
  function setCursorStyle(params) {
    const style = params.length > 0 && typeof params[0] === 'number' ? params[0] : 0;
    if (style >= CURSOR_SHAPES.length) return false;
    terminal.options.cursorStyle = CURSOR_SHAPES[style];
    blinkWanted = style === 0 ? blinkByDefault : style % 2 === 1;
    applyCursorBlink();
    return true;
  }

  function webglOnGraphicsCard() {
    const gl = document.createElement('canvas').getContext('webgl2');
    if (!gl) return false;
    const info = gl.getExtension('WEBGL_debug_renderer_info');
    const name = String(gl.getParameter(info ? info.UNMASKED_RENDERER_WEBGL : gl.RENDERER));
    gl.getExtension('WEBGL_lose_context')?.loseContext();
    return !/swiftshader|llvmpipe|softpipe|software/i.test(name);
  }

  // The DOM renderer's own blink is an endless CSS animation, for which
  // Chromium renders a frame every 16 ms while the terminal has the focus:
  // an idle page kept busy, and every echo waiting behind those frames. So
  // the page blinks it: a class toggled on a timer (terminal-page.css hides
  // the focused block cursor while it is set), shown again at each keystroke
  // as xterm.js does, and nothing while the terminal is not focused or once
  // it has had no keystroke for CURSOR_BLINK_TIMEOUT_MS.
  function pageCursorBlink(term, element) {
    let enabled = false;
    let timer;
    let blinkUntil = 0;
    const halt = () => {
      clearInterval(timer);
      timer = undefined;
      element.classList.remove('cursor-off');
    };
    const blink = () => {
      if (Date.now() >= blinkUntil && !element.classList.contains('cursor-off')) halt();
      else element.classList.toggle('cursor-off');
    };
    const restart = () => {
      if (!enabled) return; // stop() has halted it
      halt();
      if (document.activeElement === term.textarea) {
        blinkUntil = Date.now() + CURSOR_BLINK_TIMEOUT_MS;
        timer = setInterval(blink, CURSOR_BLINK_MS);
      }
    };
    term.textarea.addEventListener('focus', restart);
    term.textarea.addEventListener('blur', halt);
    term.onData(restart);
    return {
      start() { enabled = true; restart(); },
      stop() { enabled = false; halt(); }
    };
  }

  function showStatus(text, isEnd) {
    statusLine.textContent = text;
    statusLine.classList.toggle('ended', Boolean(isEnd));
  }

  function send(message) {
    if (state.socket && state.socket.readyState === WebSocket.OPEN) state.socket.send(JSON.stringify(message));
  }

  function socketUrl() {
    const query = new URLSearchParams({ token, cols: terminal.cols, rows: terminal.rows });
    if (target) query.set('target', target);
    if (state.sessionId) query.set('session', state.sessionId);
    if (state.sessionId && state.lastSeq !== undefined) query.set('seq', state.lastSeq);
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    return `${scheme}//${location.host}/terminal?${query}`;
  }

  // Waits for xterm.js to write what it was given first, so that the seq the
  // server hears is that of the last message on the screen.
  function connect() {
    terminal.write('', () => {
      if (state.held || state.socket) return;
      const socket = new WebSocket(socketUrl());
      state.socket = socket;
      socket.onmessage = (event) => onMessage(event.data);
      socket.onclose = (event) => onClose(socket, event);
    });
  }

  // Output comes as "SEQ:DATA"; everything else as a JSON object.
  function onMessage(text) {
    if (text.charCodeAt(0) !== 0x7b) {
      const colon = text.indexOf(':');
      writeOutput(Number(text.slice(0, colon)), text.slice(colon + 1));
      return;
    }
    const message = JSON.parse(text);
    if (message.type === 'snapshot') writeSnapshot(message.seq, message.data);
    else if (message.type === 'session') onSession(message);
    else if (message.type === 'resumed') onResumed();
    else if (message.type === 'exit') onExit(message);
    else if (message.type === 'taken-over') onTakenOver();
    else if (message.type === 'error') console.warn('terminal-stream:', message.message);
  }

  // Acknowledged once xterm.js has processed it: the server holds the shell
  // back while too much is unacknowledged. xterm.js calls back every message
  // of a batch in one task, and one ack of the last says it all: a flood's
  // acks cost the page a send per batch, not per message.
  function writeOutput(seq, data) {
    terminal.write(data, () => {
      chooseRendererSoon();
      state.lastSeq = seq;
      if (state.ackQueued) return;
      state.ackQueued = true;
      queueMicrotask(() => {
        state.ackQueued = false;
        send({ type: 'ack', seq: state.lastSeq });
      });
    });
  }

  function writeSnapshot(seq, data) {
    terminal.reset();
    writeOutput(seq, data);
  }

  function onSession(message) {
    state.retries = 0;
    state.sessionId = message.id;
    sessionStorage.setItem(SESSION_KEY, message.id);
    if (message.resumed) {
      state.catchingUp = true;
      showStatus('resuming…');
    } else {
      state.lastSeq = 0;
      if (message.note) terminal.reset();
      showStatus(message.note ? `new shell: ${message.note}` : 'connected', Boolean(message.note));
    }
    terminal.focus();
  }

  // Everything before this message was old output: once xterm.js has
  // processed it, its answers are the shell's again.
  function onResumed() {
    terminal.write('', () => {
      state.catchingUp = false;
      showStatus('resumed');
    });
  }

  function onExit(exit) {
    state.stopped = true;
    sessionStorage.removeItem(SESSION_KEY);
    let how = exit.signal ? `signal ${exit.signal}` : `exit code ${exit.exitCode}`;
    // The broker, or the transport that carried it (ssh), ended without saying how the shell ended.
    if (exit.reason === 'broker-failed') how = `connection to the shell lost (${exit.signal ? `signal ${exit.signal}` : `status ${exit.exitCode}`})`;
    terminal.write(`\r\n\x1b[7m[session ended: ${how}]\x1b[0m\r\n`, () => showStatus(`session ended: ${how}`, true));
  }

  function onTakenOver() {
    state.stopped = true;
    showStatus('taken over by another page', true);
  }

  function onClose(socket, event) {
    if (state.socket !== socket) return;
    state.socket = undefined;
    state.catchingUp = false;
    if (state.stopped) return;
    const delay = Math.min(RETRY_FIRST_MS * 2 ** state.retries, RETRY_MAX_MS);
    state.retries += 1;
    showStatus(`reconnecting… (${event.code}${event.reason ? ': ' + event.reason : ''})`);
    state.retryTimer = setTimeout(connect, delay);
  }

  function sendInput(data, binary) {
    if (state.catchingUp) return;
    send(binary ? { type: 'input', data, binary: true } : { type: 'input', data });
  }

  terminal.onData((data) => sendInput(data, false));
  // Some mouse reports are bytes, not text: one character per byte.
  terminal.onBinary((data) => sendInput(data, true));
  terminal.onResize(({ cols, rows }) => send({ type: 'resize', cols, rows }));
  window.addEventListener('resize', () => fitAddon.fit());

  // For the console and the browser test.
  window.terminal = terminal;
  window.terminalPage = {
    get sessionId() { return state.sessionId; },
    get lastSeq() { return state.lastSeq; },
    /** 'webgl' or 'dom' */
    get renderer() { return renderer; },
    /** Closes the connection as a network failure would, and holds reconnecting until connect(). */
    disconnect() {
      state.held = true;
      clearTimeout(state.retryTimer);
      const socket = state.socket;
      state.socket = undefined;
      state.catchingUp = false;
      if (socket) socket.close();
      showStatus('disconnected', true);
    },
    connect() {
      state.held = false;
      if (!state.socket) connect();
    }
  };

  // With several targets the page offers them; picking one starts a new
  // session there in this tab (the one left behind ends after the grace).
  function offerTargets() {
    fetch(`targets?${new URLSearchParams({ token })}`).then((response) => response.json()).then(({ targets }) => {
      if (targets.length < 2) return;
      const picker = document.getElementById('target');
      for (const name of targets) picker.add(new Option(name, name, false, name === (target || targets[0])));
      picker.hidden = false;
      picker.addEventListener('change', () => {
        sessionStorage.removeItem(SESSION_KEY);
        pageQuery.set('target', picker.value);
        location.search = pageQuery.toString();
      });
    }).catch(() => {});
  }

  showStatus('connecting');
  connect();
  offerTargets();
})();
