'use strict';

// The page: a terminal (terminal-drawing.js) attached to one session of this
// page's server (session-socket.js), with a status bar (status-bar.js).
// This file only joins them.
(function startTerminalPage() {
  const pageQuery = new URLSearchParams(location.search);
  const token = pageQuery.get('token') || '';
  // Where a new session runs: a name from the server's list (none: its default).
  const target = pageQuery.get('target') || '';
  // A share link's page: the owner's session, at the owner's size.
  const share = pageQuery.get('share') || '';
  let ownerSize;

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
    onOutputShown: () => drawing.outputShown(),
    onSizeLimit: (max) => drawing.limitSize(max),
    share,
    onShareMessage
  });
  const sharePanel = share ? undefined : new SharePanel(document.getElementById('share-panel'), document.getElementById('share-button'), {
    send: (message) => session.sendControl(message),
    onLayout: () => drawing.fit()
  });
  if (share) document.body.classList.add('viewer');

  function onShareMessage(message) {
    if (message.type === 'sharing') {
      sharePanel?.update(message);
    } else if (message.type === 'watching') {
      keepOwnerSize(message.cols, message.rows);
      terminal.options.disableStdin = message.mode === 'watch';
      const whose = message.owner ? `${message.owner}'s session` : `the session on ${message.target}`;
      bar.show(`${message.mode === 'watch' ? 'watching' : 'sharing control of'} ${whose}`);
    } else if (message.type === 'size') {
      keepOwnerSize(message.cols, message.rows);
    } else if (message.type === 'share-ended') {
      terminal.write(`\r\n\x1b[7m[${message.reason}]\x1b[0m\r\n`);
      bar.show(message.reason, true);
    }
  }

  function keepOwnerSize(cols, rows) {
    ownerSize = { cols, rows };
    terminal.resize(cols, rows);
  }

  terminal.onData((data) => session.sendInput(data, false));
  // Some mouse reports are bytes, not text: one character per byte.
  terminal.onBinary((data) => session.sendInput(data, true));
  terminal.onResize(({ cols, rows }) => {
    // The owner sets the size; a viewer's page goes back to it after any fit.
    if (!share) session.sendResize(cols, rows);
    else if (ownerSize && (cols !== ownerSize.cols || rows !== ownerSize.rows)) terminal.resize(ownerSize.cols, ownerSize.rows);
  });
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
  if (!share) bar.offerTargets(token, target, (name) => {
    SessionSocket.forgetSession();
    pageQuery.set('target', name);
    location.search = pageQuery.toString();
  });
})();
