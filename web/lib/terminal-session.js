'use strict';

// Flow control between the broker and xterm.js: the page acknowledges output
// once xterm.js has processed it (its write callback); with more than HIGH
// characters unacknowledged the terminal is paused, and resumed below LOW.
// The terminal passes the pause on to the broker, which stops reading the
// shell's output, so a flood such as `yes` cannot outrun the page and ^C
// still answers at once.
const HIGH_WATER_CHARS = 131072;
const LOW_WATER_CHARS = 16384;

/**
 * Relays one terminal over one WebSocket, as JSON messages.
 * To the page: {type:'output', data}, {type:'error', message},
 * {type:'exit', exitCode, signal, reason}.
 * From the page: {type:'input', data, binary?}, {type:'resize', cols, rows},
 * {type:'ack', chars}.
 * @param {import('ws').WebSocket} socket
 * @param {import('terminal-stream-client').Terminal} terminal
 * @param {(exit: object) => void} onEnd called once the shell has ended and the socket is closing
 */
function relayTerminal(socket, terminal, onEnd) {
  let unacknowledged = 0;
  let paused = false;
  let exited = false;
  const send = (message) => {
    if (socket.readyState === socket.OPEN) socket.send(JSON.stringify(message));
  };

  terminal.onData((data) => {
    send({ type: 'output', data });
    unacknowledged += data.length;
    if (!paused && unacknowledged > HIGH_WATER_CHARS) {
      paused = true;
      terminal.pause();
    }
  });
  terminal.onError((error) => send({ type: 'error', message: error.message }));
  terminal.onExit((exit) => {
    exited = true;
    send({ type: 'exit', ...exit });
    socket.close(1000, 'shell ended');
    onEnd(exit);
  });

  const acknowledge = (chars) => {
    unacknowledged = Math.max(0, unacknowledged - chars);
    if (paused && unacknowledged < LOW_WATER_CHARS) {
      paused = false;
      terminal.resume();
    }
  };
  socket.on('message', (raw) => applyPageMessage(raw, terminal, acknowledge));
  // Closing the tab hangs up the terminal, as closing a terminal window does.
  socket.on('close', () => {
    if (exited) return;
    if (paused) terminal.resume();
    terminal.kill('SIGHUP');
  });
  socket.on('error', () => {}); // a broken connection also ends in 'close'
}

function applyPageMessage(raw, terminal, acknowledge) {
  let message;
  try {
    message = JSON.parse(raw);
  } catch {
    return;
  }
  if (message.type === 'input' && typeof message.data === 'string') {
    terminal.write(message.binary ? Buffer.from(message.data, 'latin1') : message.data);
  } else if (message.type === 'resize' && validSize(message.cols) && validSize(message.rows)) {
    terminal.resize(message.cols, message.rows);
  } else if (message.type === 'ack' && Number.isInteger(message.chars) && message.chars >= 0) {
    acknowledge(message.chars);
  }
}

function validSize(value) {
  return Number.isInteger(value) && value >= 1 && value <= 65535;
}

module.exports = { relayTerminal, validSize };
