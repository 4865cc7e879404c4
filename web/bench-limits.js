#!/usr/bin/env node
'use strict';

// Prints what a hostile page can make the browser terminal's server hold:
// its peak memory while a page has the largest terminal the server takes
// and fills its scrollback, and again when that page reloads (a snapshot);
// then its memory during and after a flood from one page (a 15 MiB message,
// 200,000 input messages, 20,000 resizes), after a garbage collection,
// against its memory before. The server runs in a process of its own, so
// that its RSS is its own:
//   node web/bench-limits.js [--broker PATH]

const { fork } = require('child_process');
const fs = require('fs');
const path = require('path');
const { parseArgs } = require('util');
const WebSocket = require('ws');
const { parseServerMessage } = require('./lib/page-connection');

const PROMPT = 'bench$ ';
const MiB = 1048576;

const { values } = parseArgs({
  options: {
    broker: { type: 'string', default: process.env.TERMINAL_STREAM_BROKER || path.join(__dirname, '../build/release/terminal-stream-broker') },
    serve: { type: 'boolean' }
  }
});

/** The server's side: a WebTerminalServer that answers 'memory' with its RSS after a garbage collection. */
async function serve() {
  const { WebTerminalServer } = require('./lib/web-terminal-server');
  const { parserHeapBytes } = require('./lib/screen-mirror');
  const server = new WebTerminalServer({
    port: 0, shell: ['sh'], spawnOptions: { brokerPath: values.broker, env: { ...process.env, PS1: PROMPT } }
  });
  let open = 0;
  server.on('session', () => { open += 1; });
  server.on('session-end', () => { open -= 1; });
  process.send({ url: await server.listen() });
  process.on('message', async (message) => {
    if (message === 'close') await server.close().then(() => process.exit(0));
    if (message !== 'memory') return;
    while (open > 0) await new Promise((resolve) => setTimeout(resolve, 100));
    // A full collection on both threads, three times, each with time for
    // the freed pages to be unmapped (V8 does it on a thread of its own).
    for (let round = 0; round < 3; round++) {
      global.gc();
      await parserHeapBytes();
      await new Promise((resolve) => setTimeout(resolve, 1000));
    }
    const parser = await parserHeapBytes();
    const { rss, heapUsed, external } = process.memoryUsage();
    process.send({ rss, heap: heapUsed + external + parser });
  });
}

/** A page in miniature, raw messages: acknowledges output and keeps it. */
class FloodPage {
  output = '';
  lastSeq = 0;
  messages = [];

  constructor(url, query = {}) {
    const params = new URLSearchParams({ token: url.searchParams.get('token'), cols: 80, rows: 24, ...query });
    this.socket = new WebSocket(`ws://${url.host}/terminal?${params}`, { origin: url.origin, maxPayload: 0 });
    this.opened = new Promise((resolve) => this.socket.once('open', resolve));
    this.closed = new Promise((resolve) => this.socket.once('close', (code) => resolve(code)));
    this.socket.on('error', () => {});
    this.socket.on('message', (raw) => {
      const message = parseServerMessage(raw);
      this.messages.push(message.type);
      if (message.type === 'session') this.id = message.id;
      if (message.type !== 'output' && message.type !== 'snapshot') return;
      // Only the end is looked at: a flood's output is not kept whole.
      this.output = (this.output + message.data).slice(-4096);
      this.lastSeq = message.seq;
      this.socket.send(JSON.stringify({ type: 'ack', seq: message.seq }));
    });
  }

  /** Resolves once `condition()` holds, looked at after each message. */
  until(condition) {
    return new Promise((resolve) => {
      const look = () => {
        if (!condition()) return;
        this.socket.off('message', look);
        resolve();
      };
      this.socket.on('message', look);
      look();
    });
  }

  send(message) { this.socket.send(JSON.stringify(message)); }

  async run(line, marker) {
    this.send({ type: 'input', data: `${line}\r` });
    await this.until(() => this.output.endsWith(`${marker}\r\n${PROMPT}`));
  }

  close() {
    this.socket.close();
    return this.closed;
  }

  /** Ends the shell; resolves once the server has closed the socket. */
  exit() {
    this.send({ type: 'input', data: 'exit\r' });
    return this.closed;
  }
}

/** The server process: its RSS after a collection, and its peak RSS since the last reset. */
class ServerProcess {
  constructor() {
    this.child = fork(__filename, ['--serve', '--broker', values.broker], { execArgv: ['--expose-gc'] });
    this.url = new Promise((resolve) => this.child.once('message', ({ url }) => resolve(new URL(url))));
  }

  /** @returns {Promise<{ rss: number, heap: number }>} after every session has ended and a collection */
  settled() {
    this.child.send('memory');
    return new Promise((resolve) => this.child.once('message', resolve));
  }

  /** Resets the kernel's peak of the process's RSS (clear_refs 5). */
  resetPeak() {
    fs.writeFileSync(`/proc/${this.child.pid}/clear_refs`, '5');
  }

  peakRss() {
    return Number(fs.readFileSync(`/proc/${this.child.pid}/status`, 'utf8').match(/VmHWM:\s+(\d+)/)[1]) * 1024;
  }

  close() {
    this.child.send('close');
    return new Promise((resolve) => this.child.once('exit', resolve));
  }
}

/** The largest terminal, its scrollback filled with lines as wide as it; then a reload of it (a snapshot). */
async function largestSize(server, url) {
  server.resetPeak();
  const page = new FloodPage(url, { cols: 65535, rows: 65535 });
  await page.until(() => page.output.endsWith(PROMPT));
  await page.run('i=0; while [ $i -lt 3000 ]; do printf "%0499d\\n" $i; i=$((i+1)); done; echo filled', 'filled');
  await page.close();
  // The mirror parses once the output has paused: a reload waits for that.
  const reload = new FloodPage(url, { cols: 65535, rows: 65535, session: page.id });
  await reload.until(() => reload.messages.includes('resumed'));
  const filled = server.peakRss();
  server.resetPeak();
  const again = new FloodPage(url, { cols: 65535, rows: 65535, session: page.id });
  await again.until(() => again.messages.includes('resumed'));
  const reloaded = server.peakRss();
  await reload.closed;
  await again.exit();
  return { filled, reloaded };
}

/** One page's flood: a 15 MiB message (refused), 200,000 input messages, 20,000 resizes. */
async function flood(server, url) {
  server.resetPeak();
  let page = new FloodPage(url);
  await page.until(() => page.output.endsWith(PROMPT));
  page.send({ type: 'input', data: 'x'.repeat(15 * MiB) });
  const refusedWith = await page.closed;
  page = new FloodPage(url, { session: page.id, seq: page.lastSeq });
  await page.until(() => page.messages.includes('resumed'));
  for (let i = 0; i < 200000; i++) page.send({ type: 'input', data: `# ${i}\r` });
  for (let i = 0; i < 20000; i++) page.send(i % 2 ? { type: 'resize', cols: 80, rows: 24 } : { type: 'resize', cols: 65535, rows: 65535 });
  await page.run('echo flood-""done', 'flood-done');
  const peak = server.peakRss();
  await page.exit();
  return { refusedWith, peak };
}

async function main() {
  const server = new ServerProcess();
  const url = await server.url;
  // One session first, ended: the modules and the mirrors' thread are then in the base.
  const warmUp = new FloodPage(url);
  await warmUp.until(() => warmUp.output.endsWith(PROMPT));
  // Enough output for a headless terminal: the mirrors' thread is then in the base.
  await warmUp.run('i=0; while [ $i -lt 40 ]; do printf "%0499d\\n" $i; i=$((i+1)); done; echo warm', 'warm');
  await new Promise((resolve) => setTimeout(resolve, 500)); // the mirror hands its output over once it is quiet
  await warmUp.exit();
  const base = await server.settled();
  const size = await largestSize(server, url);
  const afterSize = await server.settled();
  const flooded = await flood(server, url);
  const afterFlood = await server.settled();
  await server.close();
  const mib = (bytes) => `${(bytes / MiB).toFixed(1)} MiB`;
  const settled = ({ rss, heap }) => `RSS ${mib(rss)} (${mib(rss - base.rss)} over the start), heaps ${mib(heap)}`;
  console.log(`at the start (one session opened and ended, after a GC):     RSS ${mib(base.rss)}, heaps ${mib(base.heap)}`);
  console.log(`peak RSS, a page at 65535x65535 (500x200), scrollback full:  ${mib(size.filled)}`);
  console.log(`peak RSS, that page reloaded (a snapshot at that size):      ${mib(size.reloaded)}`);
  console.log(`after that session ended, after a GC:                        ${settled(afterSize)}`);
  console.log(`a 15 MiB message: the socket closed with                      ${flooded.refusedWith}`);
  console.log(`peak RSS during the flood (200,000 inputs, 20,000 resizes):   ${mib(flooded.peak)}`);
  console.log(`after the flood, after a GC:                                 ${settled(afterFlood)}`);
}

(values.serve ? serve() : main()).catch((error) => {
  console.error(error);
  process.exit(1);
});
