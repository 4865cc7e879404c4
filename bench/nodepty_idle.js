'use strict';

// N idle terminals in one Node.js process, through node-pty: the peer of
// the broker's memory figure. Each runs `sleep 1000`. Prints "ready" once
// every terminal has started, then holds them until standard input ends.
//
//   node nodepty_idle.js N

const pty = require('node-pty');

const count = Number(process.argv[2] || 1000);
const terminals = [];
for (let i = 0; i < count; i++) {
  const terminal = pty.spawn('sleep', ['1000'], { cols: 80, rows: 24, env: process.env });
  terminal.onData(() => {});
  terminals.push(terminal);
}
// Let every child exec and the process settle before it is measured.
setTimeout(() => process.stdout.write(`ready ${terminals.map((t) => t.pid).join(' ')}\n`), 1000);
process.stdin.resume();
process.stdin.on('end', () => {
  for (const terminal of terminals) terminal.kill();
  setTimeout(() => process.exit(0), 200);
});
