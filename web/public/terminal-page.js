'use strict';

// The page: a terminal (terminal-drawing.js) attached to one session of this
// page's server (session-socket.js), with a status bar (status-bar.js).
// This file only joins them.
(function startTerminalPage() {
  const pageQuery = new URLSearchParams(location.search);
  const token = pageQuery.get('token') || '';
  // Where a new session runs: a name from the server's list (none: its default).
  const target = pageQuery.get('target') || '';

  const bar = new StatusBar(document.getElementById('status'), document.getElementById('target'));
  const drawing = new TerminalDrawing(document.getElementById('terminal'), {
    cursorBlink: pageQuery.get('cursorBlink') === '1',
    renderer: pageQuery.get('renderer')
  });
  const { terminal } = drawing;
  const session = new SessionSocket({
    terminal,
    token,
    target,
    onStatus: (text, isEnd) => bar.show(text, isEnd),
    onOutputShown: () => drawing.outputShown()
  });

  terminal.onData((data) => session.sendInput(data, false));
  // Some mouse reports are bytes, not text: one character per byte.
  terminal.onBinary((data) => session.sendInput(data, true));
  terminal.onResize(({ cols, rows }) => session.sendResize(cols, rows));
  window.addEventListener('resize', () => drawing.fit());

  // For the console and the browser test.
  window.terminal = terminal;
  window.terminalPage = {
    get sessionId() { return session.sessionId; },
    get lastSeq() { return session.lastSeq; },
    /** 'webgl' or 'dom' */
    get renderer() { return drawing.renderer; },
    /** Closes the connection as a network failure would, and holds reconnecting until connect(). */
    disconnect() { session.disconnect(); },
    connect() { session.connect(); }
  };

  bar.show('connecting');
  session.connect();
  // Picking another target starts a new session there in this tab (the one
  // left behind ends after the grace).
  bar.offerTargets(token, target, (name) => {
    SessionSocket.forgetSession();
    pageQuery.set('target', name);
    location.search = pageQuery.toString();
  });
})();
