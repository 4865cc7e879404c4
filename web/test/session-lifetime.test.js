'use strict';

// How long sessions last without a page: the bound on detached sessions,
// and the web server dying with sessions open, attached and detached, which
// leaves no broker and no shell behind (the end of each broker's input is
// its termination request).

const test = require('node:test');
const assert = require('node:assert/strict');
const { spawn } = require('child_process');
const fs = require('fs');
const path = require('path');
const WebSocket = require('ws');

const { brokerPath, PROMPT, waitFor, processAlive } = require('./support');
const { parseServerMessage } = require('../lib/page-connection');

const serverScript = path.join(__dirname, '..', 'server.js');

/** Starts server.js with `sh`; resolves with the child and the page's address. */
function startServer(options = []) {
  const child = spawn(process.execPath, [serverScript, '--port', '0', '--broker', brokerPath, ...options, '--', 'sh'], {
    env: { ...process.env, PS1: `${PROMPT} ` },
    stdio: ['ignore', 'pipe', 'inherit']
  });
  return new Promise((resolve, reject) => {
    let text = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      text += chunk;
      const url = text.match(/open (http:\S+)/);
      if (url) resolve({ child, url: new URL(url[1]) });
    });
    child.on('exit', (code) => reject(new Error(`the server exited with ${code}`)));
  });
}

/** Opens a WebSocket as the page would; resolves once the shell's prompt has come. */
function openSession(url) {
  const socketUrl = `ws://${url.host}/terminal?token=${url.searchParams.get('token')}`;
  const socket = new WebSocket(socketUrl, { origin: url.origin });
  let output = '';
  return new Promise((resolve, reject) => {
    socket.on('message', (raw) => {
      const message = parseServerMessage(raw);
      if (message.type !== 'output') return;
      output += message.data;
      socket.send(JSON.stringify({ type: 'ack', seq: message.seq }));
      if (output.endsWith(`${PROMPT} `)) resolve(socket);
    });
    socket.on('error', reject);
  });
}

/** The pids of every process below `root`. */
function descendants(root) {
  const children = new Map();
  for (const entry of fs.readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      const parent = Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]);
      children.set(parent, [...(children.get(parent) || []), Number(entry)]);
    } catch {
      // gone meanwhile
    }
  }
  const below = [];
  for (let queue = [root]; queue.length > 0;) {
    const kids = children.get(queue.shift()) || [];
    below.push(...kids);
    queue.push(...kids);
  }
  return below;
}

/** Types `echo MARKER` and resolves once the marker has come back. */
function roundTrip(socket, marker) {
  return new Promise((resolve) => {
    const onMessage = (raw) => {
      const message = parseServerMessage(raw);
      if (message.type === 'output' && message.data.includes(`${marker}\r\n`)) {
        socket.off('message', onMessage);
        resolve();
      }
    };
    socket.on('message', onMessage);
    socket.send(JSON.stringify({ type: 'input', data: `echo ${marker}\r` }));
  });
}

test('over the bound on detached sessions, the one detached longest is hung up', { timeout: 60000 }, async () => {
  const { child, url } = await startServer(['--max-detached', '1']);
  try {
    const brokers = () => descendants(child.pid).filter((pid) => /terminal-stream-broker/.test(
      fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8')));
    const sockets = [await openSession(url)];
    const [first] = brokers();
    sockets.push(await openSession(url), await openSession(url));
    assert.equal(brokers().length, 3);
    sockets[0].terminate();
    // A round trip through the server after the first close: the two closes reach it in this order.
    await roundTrip(sockets[1], 'ordered');
    sockets[1].terminate();
    await waitFor(() => processAlive(first), (alive) => !alive, 'the first broker gone');
    assert.equal(brokers().length, 2, 'the second, detached later, and the attached one stay');
    sockets[2].terminate();
  } finally {
    child.kill('SIGTERM');
  }
});

for (const signal of ['SIGKILL', 'SIGHUP']) {
  test(`the server killed by ${signal} with three sessions leaves no broker and no shell`, { timeout: 60000 }, async () => {
    const { child, url } = await startServer();
    const sockets = await Promise.all([openSession(url), openSession(url), openSession(url)]);
    sockets[2].terminate(); // one of them detached
    const left = descendants(child.pid);
    assert.ok(left.length >= 6, `three brokers and three shells below the server, found ${left.length}`);

    child.kill(signal);
    await waitFor(() => left.filter(processAlive), (alive) => alive.length === 0, 'every broker and shell gone');
    for (const socket of sockets) socket.terminate();
  });
}
