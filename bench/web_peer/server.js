'use strict';

// The peer of the browser terminal benchmarks: a browser terminal built the
// simple way, as many are. An http server serves one page with xterm.js
// (default options), a WebSocket (`ws`) carries the terminal's output to
// the page and the keys back, and node-pty runs the shell. No flow control,
// no token, no fit: a benchmark yardstick, not something to deploy.
//
//   node server.js [--port N] [-- SHELL ARGS...]
// Prints "listening URL" once it listens (127.0.0.1 only).

const fs = require('fs');
const http = require('http');
const path = require('path');
const pty = require('node-pty');
const { WebSocketServer } = require('ws');

const args = process.argv.slice(2);
const split = args.indexOf('--');
const shell = split >= 0 ? args.slice(split + 1) : ['sh'];
const portArg = args.indexOf('--port');
const port = portArg >= 0 && portArg < split ? Number(args[portArg + 1]) : 0;

const xtermDir = path.dirname(require.resolve('@xterm/xterm/package.json'));
const files = {
  '/': [path.join(__dirname, 'index.html'), 'text/html'],
  '/xterm.js': [path.join(xtermDir, 'lib', 'xterm.js'), 'text/javascript'],
  '/xterm.css': [path.join(xtermDir, 'css', 'xterm.css'), 'text/css']
};

const server = http.createServer((request, response) => {
  const file = files[new URL(request.url, 'http://x').pathname];
  if (!file) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'content-type': file[1] });
  fs.createReadStream(file[0]).pipe(response);
});

const sockets = new WebSocketServer({ server });
sockets.on('connection', (socket) => {
  const terminal = pty.spawn(shell[0], shell.slice(1), { name: 'xterm-256color', cols: 80, rows: 24, env: process.env });
  terminal.onData((data) => socket.send(data));
  terminal.onExit(() => socket.close());
  socket.on('message', (message) => terminal.write(message.toString()));
  socket.on('close', () => terminal.kill());
});

server.listen(port, '127.0.0.1', () => {
  console.log(`listening http://127.0.0.1:${server.address().port}/`);
});
