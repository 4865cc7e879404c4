'use strict';

// The page: xterm.js with the fit addon, connected to this page's server by
// one WebSocket, which has one terminal behind it.
(function startTerminalPage() {
  const statusLine = document.getElementById('status');
  const terminal = new Terminal({ cursorBlink: true, fontFamily: 'DejaVu Sans Mono, monospace', scrollback: 5000 });
  const fitAddon = new FitAddon.FitAddon();
  terminal.loadAddon(fitAddon);
  terminal.open(document.getElementById('terminal'));
  fitAddon.fit();
  window.terminal = terminal; // for the browser test and the console

  const token = new URLSearchParams(location.search).get('token') || '';
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const query = new URLSearchParams({ token, cols: terminal.cols, rows: terminal.rows });
  const socket = new WebSocket(`${scheme}//${location.host}/terminal?${query}`);
  let ended = false;

  const send = (message) => {
    if (socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  };
  const showStatus = (text, isEnd) => {
    statusLine.textContent = text;
    statusLine.classList.toggle('ended', Boolean(isEnd));
  };

  function showExit(exit) {
    ended = true;
    const how = exit.signal ? `signal ${exit.signal}` : `exit code ${exit.exitCode}`;
    showStatus(`shell ended: ${how} (${exit.reason})`, true);
    terminal.write(`\r\n\x1b[7m[shell ended: ${how}]\x1b[0m\r\n`);
  }

  socket.onopen = () => {
    showStatus('connected');
    terminal.focus();
  };
  socket.onmessage = (event) => {
    const message = JSON.parse(event.data);
    if (message.type === 'output') {
      // Acknowledge only once xterm.js has processed the output: the server
      // holds the shell back while too much is unacknowledged.
      terminal.write(message.data, () => send({ type: 'ack', chars: message.data.length }));
    } else if (message.type === 'exit') {
      showExit(message);
    } else if (message.type === 'error') {
      console.warn('terminal-stream:', message.message);
    }
  };
  socket.onclose = (event) => {
    if (!ended) showStatus(`disconnected (${event.code}${event.reason ? ': ' + event.reason : ''})`, true);
  };

  terminal.onData((data) => send({ type: 'input', data }));
  // Some mouse reports are bytes, not text: one character per byte.
  terminal.onBinary((data) => send({ type: 'input', data, binary: true }));
  terminal.onResize(({ cols, rows }) => send({ type: 'resize', cols, rows }));
  window.addEventListener('resize', () => fitAddon.fit());
})();
