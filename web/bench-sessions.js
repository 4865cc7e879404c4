#!/usr/bin/env node
'use strict';

// Prints what a session costs the browser terminal's server and how fast a
// page gets it back. Run with the broker to use:
//   node --expose-gc web/bench-sessions.js [--broker PATH] [--sessions N] [--rounds N]
// Memory is the server's JavaScript heap plus its external memory (the
// headless terminals' buffers), after a garbage collection, per session;
// the broker and its shell are separate processes, shown by their RSS.
// Resume times are from the WebSocket's open to the end of the catching up
// (the page may type) and to the answer of the first command typed.

const { parseArgs } = require('util');
const fs = require('fs');
const path = require('path');
const WebSocket = require('ws');
const { WebTerminalServer } = require('./lib/web-terminal-server');
const { parseServerMessage } = require('./lib/page-connection');
const { parserHeapBytes } = require('./lib/screen-mirror');

const PROMPT = 'bench$ ';

const { values } = parseArgs({
  options: {
    broker: { type: 'string', default: process.env.TERMINAL_STREAM_BROKER || path.join(__dirname, '../build/release/terminal-stream-broker') },
    sessions: { type: 'string', default: '10' },
    rounds: { type: 'string', default: '20' }
  }
});

/** A page in miniature: acknowledges output, collects it, answers nothing. */
class BenchPage {
  output = '';
  lastSeq = 0;
  id;
  #waiters = [];

  /** Connects; resolves with the time of the socket's open. */
  open(url, { id, seq } = {}) {
    const query = new URLSearchParams({ token: url.searchParams.get('token'), cols: 80, rows: 24 });
    if (id) query.set('session', id);
    if (seq !== undefined) query.set('seq', seq);
    this.socket = new WebSocket(`ws://${url.host}/terminal?${query}`, { origin: url.origin });
    this.socket.on('message', (raw) => this.#onMessage(parseServerMessage(raw)));
    return new Promise((resolve) => this.socket.once('open', () => resolve(performance.now())));
  }

  /** Resolves with the time at which `condition(message, output)` first holds. */
  until(condition) {
    if (condition({}, this.output)) return Promise.resolve(performance.now());
    return new Promise((resolve) => this.#waiters.push({ condition, resolve }));
  }

  close() {
    this.socket.close();
    return new Promise((resolve) => this.socket.once('close', resolve));
  }

  #onMessage(message) {
    if (message.type === 'session') this.id = message.id;
    if (message.type === 'output' || message.type === 'snapshot') {
      this.output += message.data;
      this.lastSeq = message.seq;
      this.socket.send(JSON.stringify({ type: 'ack', seq: message.seq }));
    }
    const now = performance.now();
    this.#waiters = this.#waiters.filter(({ condition, resolve }) => !(condition(message, this.output) && (resolve(now), true)));
  }
}

/** The server's heap and the screen mirrors' (on their thread), once output has been handed to them. */
async function heapBytes() {
  await new Promise((resolve) => setTimeout(resolve, 300));
  global.gc();
  global.gc();
  const usage = process.memoryUsage();
  return usage.heapUsed + usage.external + await parserHeapBytes();
}

function rssKiB(pid) {
  const match = fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/);
  return Number(match[1]);
}

const mib = (bytes) => `${(bytes / 1048576).toFixed(2)} MiB`;
const median = (values) => [...values].sort((a, b) => a - b)[values.length >> 1];

/** Types a command and waits for its marker and the prompt; then forgets the page's copy of the output. */
async function typeAndWait(page, command, marker) {
  page.socket.send(JSON.stringify({ type: 'input', data: `${command}\r` }));
  await page.until((message, output) => output.endsWith(`${marker}\r\n${PROMPT}`));
  page.output = '';
}

async function measureMemory(url, server, count) {
  const started = [];
  server.on('session', (session) => started.push(session));
  // One session first, not counted: the mirrors' thread and the modules
  // every session shares are then in the baseline.
  const warmUp = new BenchPage();
  await warmUp.open(url);
  await warmUp.until((message, output) => output.endsWith(PROMPT));
  await typeAndWait(warmUp, 'echo done', 'done');
  const before = await heapBytes();
  const pages = [];
  for (let i = 0; i < count; i++) {
    const page = new BenchPage();
    await page.open(url);
    await page.until((message, output) => output.endsWith(PROMPT));
    await typeAndWait(page, 'ls / ; echo done', 'done');
    pages.push(page);
  }
  const attached = (await heapBytes() - before) / count;
  for (const page of pages) await page.close();
  const detached = (await heapBytes() - before) / count;
  for (const page of pages) {
    await page.open(url, { id: page.id, seq: page.lastSeq });
    await typeAndWait(page, 'seq 1 300000 >/dev/tty; echo done', 'done');
    await page.close();
  }
  const detachedFull = (await heapBytes() - before) / count;
  const brokers = started.map((session) => rssKiB(session.terminal.brokerPid));
  return { attached, detached, detachedFull, brokerRss: median(brokers) };
}

async function measureResume(url, rounds) {
  const page = new BenchPage();
  await page.open(url);
  await page.until((message, output) => output.endsWith(PROMPT));
  const times = { replay: [], replayAnswer: [], snapshot: [], snapshotAnswer: [] };
  for (let round = 0; round < rounds; round++) {
    for (const kind of ['replay', 'snapshot']) {
      const { id, lastSeq } = page;
      await page.close();
      page.output = '';
      // Waited for before the socket exists: the first messages may come with its opening.
      const resumed = page.until((message) => message.type === 'resumed');
      const opened = await page.open(url, { id, seq: kind === 'replay' ? lastSeq : undefined });
      times[kind].push(await resumed - opened);
      await typeAndWait(page, `echo r${round}`, `r${round}`);
      times[`${kind}Answer`].push(performance.now() - opened);
    }
  }
  await page.close();
  return Object.fromEntries(Object.entries(times).map(([key, list]) => [key, median(list)]));
}

async function main() {
  if (typeof global.gc !== 'function') throw new Error('run with node --expose-gc');
  const count = Number(values.sessions);
  const server = new WebTerminalServer({
    port: 0,
    shell: ['sh'],
    spawnOptions: { brokerPath: values.broker, env: { ...process.env, PS1: PROMPT } }
  });
  const url = new URL(await server.listen());
  const memory = await measureMemory(url, server, count);
  const resume = await measureResume(url, Number(values.rounds));
  console.log(`sessions measured: ${count}; resume rounds: ${values.rounds}`);
  console.log(`server memory per attached session (idle, a screen of output):  ${mib(memory.attached)}`);
  console.log(`server memory per detached session (the same, socket closed):   ${mib(memory.detached)}`);
  console.log(`server memory per detached session after 2 MB of output:        ${mib(memory.detachedFull)}`);
  console.log(`broker process RSS (median, outside the server):                ${(memory.brokerRss / 1024).toFixed(2)} MiB`);
  console.log(`resume, socket open to caught up, nothing missed (median):      ${resume.replay.toFixed(1)} ms`);
  console.log(`resume, socket open to the first command's answer:              ${resume.replayAnswer.toFixed(1)} ms`);
  console.log(`reload (snapshot), socket open to caught up (median):           ${resume.snapshot.toFixed(1)} ms`);
  console.log(`reload (snapshot), socket open to the first command's answer:   ${resume.snapshotAnswer.toFixed(1)} ms`);
  await server.close();
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
