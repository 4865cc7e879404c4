#!/usr/bin/env node
'use strict';

// Prints what sharing and recording cost the browser terminal's owner and
// server. Run with the broker to use:
//   node --expose-gc web/bench-sharing.js [--broker PATH] [--rounds N] [--viewers N]
// - the owner's `seq 1 1000000` (Enter to the prompt after the last line)
//   with 0, 1 and 8 pages watching through a share link, rounds
//   alternating, medians and min-max;
// - the same with --record on and off;
// - the server's memory per watching page (heap used and external of its
//   thread, after a garbage collection), with N pages (default 16)
//   watching an idle session, against the session alone.
// The server runs in this process; the owner's and the viewers' pages, raw
// WebSockets that acknowledge output as the real page does, run in child
// processes, so that their work is not the server's; the watching pages at
// the lowest priority, as they stand for browsers on other machines.

const { parseArgs } = require('util');
const { fork } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const PROMPT = 'bench$ ';

/** A page in miniature: acknowledges every frame, keeps only the end of the output. */
class Page {
  tail = '';
  #waiters = [];

  constructor(url, access) {
    const WebSocket = require('ws');
    const { parseServerMessage } = require('./lib/page-connection');
    const query = new URLSearchParams({ ...access, cols: 80, rows: 24 });
    this.socket = new WebSocket(`ws://${url.host}/terminal?${query}`, { origin: url.origin });
    this.socket.on('message', (raw) => {
      const message = parseServerMessage(raw);
      if (message.type === 'output' || message.type === 'snapshot') {
        this.tail = (this.tail + message.data).slice(-64);
        this.socket.send(JSON.stringify({ type: 'ack', seq: message.seq }));
      }
      if (message.type === 'sharing') this.sharing = message;
      this.#waiters = this.#waiters.filter(({ condition, resolve }) => !(condition(this) && (resolve(), true)));
    });
  }

  until(condition) {
    if (condition(this)) return Promise.resolve();
    return new Promise((resolve) => this.#waiters.push({ condition, resolve }));
  }

  type(text) { this.socket.send(JSON.stringify({ type: 'input', data: text })); }
}

const atPrompt = (page) => page.tail.endsWith(PROMPT);

/**
 * A child: the owner's page (which shares its session and reports the
 * link, then runs seq when told), or the watching pages.
 */
async function clients() {
  const url = new URL(process.argv[3]);
  const { role, capability, viewers } = JSON.parse(process.argv[4]);
  if (role === 'viewers') {
    const watching = [];
    for (let i = 0; i < viewers; i++) {
      const viewer = new Page(url, { share: capability });
      await viewer.until((page) => page.tail.length > 0);
      watching.push(viewer);
    }
    process.send({ ready: true });
    return; // until the session ends and closes their sockets
  }
  const owner = new Page(url, { token: url.searchParams.get('token') });
  await owner.until(atPrompt);
  owner.socket.send(JSON.stringify({ type: 'share', mode: 'watch' }));
  await owner.until((page) => page.sharing?.links.length > 0);
  process.send({ capability: owner.sharing.links[0].capability });
  if (await nextMessage() === 'seq') {
    const started = performance.now();
    owner.type('seq 1 1000000\r');
    await owner.until((page) => page.tail.endsWith(`\n1000000\r\n${PROMPT}`));
    process.send({ ms: performance.now() - started });
    await nextMessage();
  }
  owner.type('exit\r');
  await new Promise((resolve) => owner.socket.once('close', resolve));
  process.exit(0);
}

function nextMessage(from = process) {
  return new Promise((resolve) => from.once('message', resolve));
}

/**
 * A session shared with `viewers` watching pages. The watching pages run
 * at the lowest priority: on this machine's few cores they stand for
 * browsers elsewhere, whose work is not the owner's.
 */
async function sharedSession(url, viewers) {
  const children = [fork(__filename, ['--clients', url, JSON.stringify({ role: 'owner' })])];
  const [owner] = children;
  const { capability } = await nextMessage(owner);
  const session = {
    async addViewers(count) {
      const watching = fork(__filename, ['--clients', url, JSON.stringify({ role: 'viewers', capability, viewers: count })]);
      os.setPriority(watching.pid, 19);
      children.push(watching);
      await nextMessage(watching);
    },
    async seq() {
      owner.send('seq');
      return (await nextMessage(owner)).ms;
    },
    end() {
      const ended = children.map((child) => new Promise((resolve) => child.once('exit', resolve)));
      owner.send('end');
      return Promise.all(ended);
    }
  };
  if (viewers > 0) await session.addViewers(viewers);
  return session;
}

const median = (values) => [...values].sort((a, b) => a - b)[values.length >> 1];
const spread = (values) => `${median(values).toFixed(0)} (${Math.min(...values).toFixed(0)}-${Math.max(...values).toFixed(0)})`;

/** The server thread's heap, used and external (viewers add nothing to the screen mirrors' thread). */
async function heapBytes() {
  await new Promise((resolve) => setTimeout(resolve, 300));
  global.gc();
  global.gc();
  const usage = process.memoryUsage();
  return usage.heapUsed + usage.external;
}

async function startServer(broker, record) {
  const { WebTerminalServer } = require('./lib/web-terminal-server');
  const server = new WebTerminalServer({
    port: 0, shell: ['sh'], spawnOptions: { brokerPath: broker, env: { ...process.env, PS1: PROMPT } }, record
  });
  return { server, url: await server.listen() };
}

/** The owner's seq in each setup, rounds alternating: its time, and the server's CPU time (all its threads) meanwhile. */
async function timeSeq(broker, rounds, setups) {
  const times = setups.map(() => ({ ms: [], cpu: [] }));
  for (let round = 0; round < rounds; round++) {
    for (const [i, setup] of setups.entries()) {
      const { server, url } = await startServer(broker, setup.record);
      const session = await sharedSession(url, setup.viewers);
      const cpu = process.cpuUsage();
      times[i].ms.push(await session.seq());
      const used = process.cpuUsage(cpu);
      times[i].cpu.push((used.user + used.system) / 1000);
      await session.end();
      await server.close();
    }
  }
  return times;
}

async function memoryPerViewer(broker, count) {
  const { server, url } = await startServer(broker);
  // The owner alone first: the baseline holds its session, the mirrors' thread and the modules.
  const session = await sharedSession(url, 0);
  const before = await heapBytes();
  await session.addViewers(count);
  const after = await heapBytes();
  await session.end();
  await server.close();
  return (after - before) / count;
}

async function main() {
  const { values } = parseArgs({
    options: {
      broker: { type: 'string', default: process.env.TERMINAL_STREAM_BROKER || path.join(__dirname, '../build/release/terminal-stream-broker') },
      rounds: { type: 'string', default: '5' },
      viewers: { type: 'string', default: '16' }
    }
  });
  if (typeof global.gc !== 'function') throw new Error('run with node --expose-gc');
  const rounds = Number(values.rounds);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-bench-recordings-'));
  try {
    const perViewer = await memoryPerViewer(values.broker, Number(values.viewers));
    const sharing = await timeSeq(values.broker, rounds, [{ viewers: 0 }, { viewers: 1 }, { viewers: 8 }]);
    const recording = await timeSeq(values.broker, rounds, [{ viewers: 0 }, { viewers: 0, record: { dir, limitBytes: 0 } }]);
    console.log(`rounds: ${rounds}; ms, median (min-max): the owner's time | the server's CPU meanwhile`);
    const row = (what, { ms, cpu }) => console.log(`owner's seq 1 1000000, ${what.padEnd(18)} ${spread(ms).padEnd(18)} | ${spread(cpu)}`);
    row('nobody watching:', sharing[0]);
    row('1 page watching:', sharing[1]);
    row('8 pages watching:', sharing[2]);
    row('not recorded:', recording[0]);
    row('recorded:', recording[1]);
    console.log(`server memory per watching page (${values.viewers} on an idle session): ${(perViewer / 1024).toFixed(1)} KiB`);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

if (process.argv[2] === '--clients') {
  clients().catch((error) => { console.error(error); process.exit(1); });
} else {
  main().catch((error) => { console.error(error); process.exit(1); });
}
