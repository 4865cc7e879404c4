'use strict';

// The browser terminal's server against the node-pty server (bench/web_peer)
// without a browser: WebSocket clients that speak each server's own
// protocol and confirm output at once, as a page that keeps up does. Each
// round starts a fresh server of each kind, the kinds alternating, and
// measures what the server process spends (CPU from /proc, which counts
// what it ran whatever else the machine runs; the broker, a process of its
// own, apart):
//
//   cat      `cat` of a 20 MB file (--cat-mb) to one client (after `seq 1
//            30000` to warm up): MB/s and server CPU seconds; then the same for a second
//            `cat` (warm: the code it runs compiled) and a fifth (hot: a server
//            that has relayed a while)
//   flood    N sessions running `cat /dev/urandom | base64` while one more
//            session types a key at a time (its client in a process of its
//            own, as a person's page is): the key's echo p50/p99, the
//            server's CPU (and its user and system time per MB relayed),
//            and the flood output delivered (MB/s, all of them, and bytes
//            per WebSocket message)
//   sessions open S sessions, ten at a time, each to its prompt: the time,
//            then the server's RSS per idle session
//
//   node web_server_bench.js --broker PATH [--rounds N] [--only cat,flood,sessions]
//        [--floods 10,40] [--sessions 200] [--keys 150] [--cat-mb 20] [--prof-dir DIR] [--before DIR]
//        [--before-broker PATH]
//        [--raw-relay PATH] [--renice N [--renice-relays yes]] [--server-nice N]
//        [--typist process|shared]
// Prints one JSON object: for each kind, the figures of every round.
// --prof-dir runs the servers under node --cpu-prof (profiles in DIR).
// --before DIR adds a kind 'before': the server of another copy of the
// project (DIR/web, installed), to set a change beside what it changed;
// --before-broker PATH gives it another broker (by default it runs --broker's).
// --raw-relay PATH adds a kind 'peer+relay': the node-pty server whose
// terminals each run bench/raw_relay with the shell on a PTY of its own,
// so that it has a process per session between it and the shell, as the
// broker is for ours (the outer terminal raw, so that only the shell echoes).
// --renice N gives the flooding commands (`cat` and `base64` under the
// server) the nice value N once they run, for every kind alike; with
// --renice-relays yes, their sessions' broker or raw_relay too.
// --server-nice N starts the server's main thread at the nice value N.
// --typist shared runs the typing session's client in this process, beside
// the flooding sessions' clients (their work then delays its echoes), and
// the server in this process's session: the harness as it was before.

const { spawn, fork, execFileSync } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');

const ROOT = path.resolve(__dirname, '..');
const PROMPT = 'pr$ ';
const DEADLINE = 120000;
const TICK = 1 / Number(execFileSync('getconf', ['CLK_TCK'], { encoding: 'utf8' }));

function parseArgs(argv) {
  const options = { broker: null, rounds: 3, only: 'cat,flood,sessions', floods: '10,40', sessions: 200, keys: 150, 'cat-mb': 20,
    'prof-dir': null, before: null, 'before-broker': null, 'raw-relay': null, renice: 0, 'renice-relays': 'no', 'server-nice': 0, typist: 'process' };
  for (let i = 0; i < argv.length; i += 2) options[argv[i].replace(/^--/, '')] = argv[i + 1];
  if (!options.broker) throw new Error('usage: web_server_bench.js --broker PATH [--rounds N] [--only ...]');
  options.rounds = Number(options.rounds);
  options.sessions = Number(options.sessions);
  options.keys = Number(options.keys);
  options['cat-mb'] = Number(options['cat-mb']);
  options.renice = Number(options.renice);
  options.floods = options.floods.split(',').map(Number);
  options.only = options.only.split(',');
  return options;
}

const isPeer = (kind) => kind.startsWith('peer');

/** Starts a server; resolves with its process and the WebSocket address of a session. */
function startServer(kind, options) {
  const env = { ...process.env, PS1: PROMPT };
  delete env.TERMINAL_STREAM_SHELL_CMD_JSON;
  // A profile is written at exit, which the peer reaches only through this.
  const node = options['prof-dir'] ? ['--cpu-prof', '--cpu-prof-dir', path.resolve(options['prof-dir']),
    '--import', 'data:text/javascript,process.once("SIGTERM",()=>process.exit(0))'] : [];
  const relayed = ['sh', '-c', `stty raw -echo && exec ${options['raw-relay']} -- sh`];
  const command = isPeer(kind)
    ? [...node, path.join(__dirname, 'web_peer', 'server.js'), '--port', '0', '--', ...(kind === 'peer' ? ['sh'] : relayed)]
    : [...node, path.join(kind === 'before' ? path.resolve(options.before) : ROOT, 'web', 'server.js'),
      '--broker', (kind === 'before' && options['before-broker']) || options.broker, '--port', '0', '--grace', '0',
      '--max-sessions', '1000', '--', 'sh'];
  // A session of its own, as a service has: where the scheduler groups
  // processes by session, the clients' work here would share its CPU.
  const child = spawn(process.execPath, command, { env, detached: options.typist !== 'shared', stdio: ['ignore', 'pipe', 'inherit'] });
  // The main thread's only (Linux's nice is per thread): its event loop.
  if (options['server-nice']) os.setPriority(child.pid, Number(options['server-nice']));
  return new Promise((resolve, reject) => {
    let text = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      text += chunk;
      const url = text.match(/(http:\/\/\S+)/);
      if (!url) return;
      const address = new URL(url[1]);
      const socketUrl = isPeer(kind) ? `ws://${address.host}/`
        : `ws://${address.host}/terminal?token=${address.searchParams.get('token')}&cols=80&rows=24`;
      resolve({ child, kind, socketUrl, origin: address.origin });
    });
    child.on('exit', (code) => reject(new Error(`${kind} server exited with ${code}`)));
  });
}

async function stopServer(server) {
  const gone = new Promise((resolve) => server.child.once('exit', resolve));
  server.child.kill('SIGTERM');
  await gone;
}

/** The machine's CPU seconds, busy and in all, over every core (/proc/stat). */
function machineCpu() {
  const fields = fs.readFileSync('/proc/stat', 'utf8').split('\n')[0].trim().split(/\s+/).slice(1, 9).map(Number);
  const total = fields.reduce((sum, value) => sum + value, 0);
  return { busy: (total - fields[3] - fields[4]) * TICK, total: total * TICK };
}

/** CPU seconds a process has run (all its threads, those gone too). */
function cpuSeconds(pid) {
  const { user, system } = cpuParts(pid);
  return user + system;
}

/** A process's user and system CPU seconds. */
function cpuParts(pid) {
  try {
    const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
    return { user: Number(fields[11]) * TICK, system: Number(fields[12]) * TICK };
  } catch {
    return { user: 0, system: 0 };
  }
}

function rssBytes(pid) {
  return Number(fs.readFileSync(`/proc/${pid}/status`, 'utf8').match(/VmRSS:\s+(\d+)/)[1]) * 1024;
}

/** The broker processes of our server (its children), for their CPU apart. */
function brokers(server) {
  if (isPeer(server.kind)) return [];
  const children = fs.readFileSync(`/proc/${server.child.pid}/task/${server.child.pid}/children`, 'utf8').trim();
  return children ? children.split(' ').map(Number) : [];
}

/** A process's descendants, children first. */
function descendants(pid) {
  let children = [];
  try {
    for (const task of fs.readdirSync(`/proc/${pid}/task`)) {
      const text = fs.readFileSync(`/proc/${pid}/task/${task}/children`, 'utf8').trim();
      if (text) children.push(...text.split(' ').map(Number));
    }
  } catch {
    return [];
  }
  return children.flatMap((child) => [child, ...descendants(child)]);
}

/** A process's parent, 0 once it is gone. */
function parentOf(pid) {
  try {
    return Number(fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ')[1]);
  } catch {
    return 0;
  }
}

/**
 * Gives the flooding commands under the server the nice value `nice`, and
 * with `relays` the process between their shell and the server too (the
 * broker, raw_relay), never the server itself.
 */
function reniceFloods(server, nice, relays) {
  const done = new Set([server.child.pid]);
  const renice = (pid) => {
    if (done.has(pid) || pid === 0) return;
    done.add(pid);
    try {
      os.setPriority(pid, nice);
    } catch {
      // gone meanwhile
    }
  };
  for (const pid of descendants(server.child.pid)) {
    let name;
    try {
      name = fs.readFileSync(`/proc/${pid}/comm`, 'utf8').trim();
    } catch {
      continue; // gone meanwhile
    }
    if (name !== 'cat' && name !== 'base64') continue;
    renice(pid);
    if (relays) renice(parentOf(parentOf(pid)));
  }
}

/** One session's WebSocket, in its server's protocol; output is confirmed at once. */
class Client {
  received = 0;
  messages = 0;
  tail = '';
  #waiters = [];
  #lastSeq = 0;
  #ackQueued = false;

  constructor(server) {
    this.peer = isPeer(server.kind);
    this.socket = new WebSocket(server.socketUrl, { origin: server.origin });
    this.socket.on('message', (raw) => this.#onMessage(raw.toString()));
    this.opened = new Promise((resolve, reject) => {
      this.socket.once('open', resolve);
      this.socket.once('error', reject);
    });
  }

  type(text) {
    this.socket.send(this.peer ? text : JSON.stringify({ type: 'input', data: text }));
  }

  /** Resolves once the output so far ends with (or, with `anywhere`, holds) `text`. */
  until(text, anywhere = false) {
    const holds = () => (anywhere ? this.tail.includes(text) : this.tail.endsWith(text));
    if (holds()) return Promise.resolve();
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`no ${JSON.stringify(text)}; output ends ${JSON.stringify(this.tail.slice(-80))}`)), DEADLINE);
      this.#waiters.push({ holds, resolve: () => { clearTimeout(timer); resolve(); } });
    });
  }

  // As the page does: the frames that arrive together are confirmed by one
  // ack of the last, sent once they have all been handled.
  #ack(seq) {
    this.#lastSeq = seq;
    if (this.#ackQueued) return;
    this.#ackQueued = true;
    queueMicrotask(() => {
      this.#ackQueued = false;
      if (this.socket.readyState === WebSocket.OPEN) this.socket.send(JSON.stringify({ type: 'ack', seq: this.#lastSeq }));
    });
  }

  close() {
    if (this.socket.readyState === WebSocket.CLOSED) return Promise.resolve();
    const closed = new Promise((resolve) => this.socket.once('close', resolve));
    this.socket.close();
    return closed;
  }

  #onMessage(text) {
    let data = text;
    if (!this.peer) {
      if (text.startsWith('{')) return;
      const colon = text.indexOf(':');
      data = text.slice(colon + 1);
      this.#ack(Number(text.slice(0, colon)));
    }
    this.received += data.length;
    this.messages += 1;
    this.tail = (this.tail + data).slice(-4096);
    this.#waiters = this.#waiters.filter((waiter) => !(waiter.holds() && (waiter.resolve(), true)));
  }
}

async function openAtPrompt(server) {
  const client = new Client(server);
  await client.opened;
  await client.until(PROMPT);
  return client;
}

const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.min(values.length - 1, Math.floor(values.length * p))];
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function catFigures(server, cat) {
  const client = await openAtPrompt(server);
  // Warmed up first: ours with the screen mirrors' thread started.
  client.type(`seq 1 30000; echo SEQ''DONE\r`);
  await client.until(`SEQDONE\r\n${PROMPT}`);
  // The first `cat` of the file, a second, and a fifth: the first ones'
  // CPU holds the compiling of the code a flood runs (V8's optimising
  // compiler, on its own threads; ours still compiles through the second),
  // which a server that has run a while has done. By the fourth `cat` the
  // figures of either server hold still.
  const result = await timedCat(server, client, cat);
  const warm = await timedCat(server, client, cat);
  for (let i = 0; i < 2; i++) await timedCat(server, client, cat);
  const hot = await timedCat(server, client, cat);
  await client.close();
  return { ...result, warmMBPerS: warm.mbPerS, warmServerCpuS: warm.serverCpuS, warmBrokerCpuS: warm.brokerCpuS,
    warmMachineBusyPercent: warm.machineBusyPercent,
    hotMBPerS: hot.mbPerS, hotServerCpuS: hot.serverCpuS, hotBrokerCpuS: hot.brokerCpuS };
}

/** @param {{ file: string, bytes: number }} cat */
async function timedCat(server, client, cat) {
  const pid = server.child.pid;
  const brokerPids = brokers(server);
  const cpuBefore = cpuSeconds(pid);
  const brokerBefore = brokerPids.reduce((sum, p) => sum + cpuSeconds(p), 0);
  const messagesBefore = client.messages;
  client.tail = '';
  const machineBefore = machineCpu();
  const started = performance.now();
  client.type(`cat ${cat.file}; echo CAT''DONE\r`);
  await client.until(`CATDONE\r\n${PROMPT}`);
  const seconds = (performance.now() - started) / 1000;
  const machine = machineCpu();
  return {
    mbPerS: cat.bytes / 1e6 / seconds,
    // Of every core: how near the machine was to having no CPU left.
    machineBusyPercent: 100 * (machine.busy - machineBefore.busy) / (machine.total - machineBefore.total),
    messages: client.messages - messagesBefore,
    serverCpuS: cpuSeconds(pid) - cpuBefore,
    brokerCpuS: brokerPids.reduce((sum, p) => sum + cpuSeconds(p), 0) - brokerBefore
  };
}

/** One key at a time, each once the one before has echoed, 20-40 ms apart: echo times, ms. */
async function echoTimes(client, keys) {
  const times = [];
  for (let i = 0; i < keys; i++) {
    if (i % 40 === 39) {
      client.type('\r'); // a fresh line (the shell says the word is no command)
      await client.until(PROMPT);
    }
    const key = String.fromCharCode(97 + (i % 26));
    const sent = performance.now();
    client.type(key);
    await client.until(key);
    times.push(performance.now() - sent);
    await sleep(20 + (i * 7) % 20);
  }
  return times;
}

/**
 * The session that types, with its client in a process and a session of its
 * own, as a person's page is: otherwise the echoes would wait while this
 * process handles the flooding sessions' output. With `shared`, in this
 * process.
 */
class Typist {
  #child = null;
  #client = null;
  #replies = [];

  static async open(server, shared) {
    const typist = new Typist();
    if (shared) {
      typist.#client = await openAtPrompt(server);
    } else {
      typist.#child = fork(__filename, ['--typist'], { detached: true, stdio: ['ignore', 'inherit', 'inherit', 'ipc'] });
      typist.#child.on('message', (reply) => typist.#replies.shift()(reply));
      await typist.#ask({ socketUrl: server.socketUrl, origin: server.origin, kind: server.kind });
    }
    return typist;
  }

  /** @returns {Promise<number[]>} each key's echo time, ms */
  echoTimes(keys) {
    return this.#client ? echoTimes(this.#client, keys) : this.#ask({ keys });
  }

  async close() {
    if (this.#client) return this.#client.close();
    const gone = new Promise((resolve) => this.#child.once('exit', resolve));
    this.#child.send({ close: true });
    return gone;
  }

  #ask(request) {
    return new Promise((resolve) => {
      this.#replies.push(resolve);
      this.#child.send(request);
    });
  }
}

/** The typist's process: opens the session, types when asked, says the times. */
function typistProcess() {
  let client;
  process.once('disconnect', () => process.exit(0));
  process.on('message', async (request) => {
    if (request.socketUrl) {
      client = await openAtPrompt(request);
      process.send({ ready: true });
    } else if (request.keys) {
      process.send(await echoTimes(client, request.keys));
    } else if (request.close) {
      await client.close();
      process.disconnect();
    }
  });
}

async function floodFigures(server, count, keys, renice, reniceRelays, sharedTypist) {
  const interactive = await Typist.open(server, sharedTypist);
  const floods = [];
  for (let i = 0; i < count; i += 10) {
    floods.push(...await Promise.all(Array.from({ length: Math.min(10, count - i) }, () => openAtPrompt(server))));
  }
  for (const flood of floods) flood.type('cat /dev/urandom | base64\r');
  await Promise.all(floods.map((flood) => flood.until('\r\n', true)));
  if (renice) reniceFloods(server, renice, reniceRelays);
  await sleep(1000);
  const pid = server.child.pid;
  const cpuBefore = cpuParts(pid);
  const bytesBefore = floods.reduce((sum, flood) => sum + flood.received, 0);
  const messagesBefore = floods.reduce((sum, flood) => sum + flood.messages, 0);
  const started = performance.now();
  const times = await interactive.echoTimes(keys);
  const seconds = (performance.now() - started) / 1000;
  const cpu = cpuParts(pid);
  const bytes = floods.reduce((sum, flood) => sum + flood.received, 0) - bytesBefore;
  const megabytes = bytes / 1e6;
  const result = {
    p50: percentile(times, 0.5),
    p99: percentile(times, 0.99),
    serverCpuPercent: ((cpu.user + cpu.system - cpuBefore.user - cpuBefore.system) / seconds) * 100,
    floodMBPerS: megabytes / seconds,
    floodBytesPerMessage: bytes / (floods.reduce((sum, flood) => sum + flood.messages, 0) - messagesBefore),
    // The server's CPU per MB relayed, apart: its own code (user) and the kernel's work for it (system).
    serverUserMsPerMB: ((cpu.user - cpuBefore.user) * 1000) / megabytes,
    serverSystemMsPerMB: ((cpu.system - cpuBefore.system) * 1000) / megabytes
  };
  for (const flood of floods) flood.type('\x03');
  await Promise.all(floods.map((flood) => flood.until(PROMPT)));
  await Promise.all([interactive, ...floods].map((client) => client.close()));
  return result;
}

async function sessionFigures(server, count) {
  const warmUp = await openAtPrompt(server);
  await sleep(500);
  const before = rssBytes(server.child.pid);
  const clients = [];
  const started = performance.now();
  for (let i = 0; i < count; i += 10) {
    clients.push(...await Promise.all(Array.from({ length: Math.min(10, count - i) }, () => openAtPrompt(server))));
  }
  const openSeconds = (performance.now() - started) / 1000;
  await sleep(2000);
  const pid = server.child.pid;
  const cpuBefore = cpuSeconds(pid);
  await sleep(5000);
  const result = {
    openSeconds,
    idleCpuPercent: ((cpuSeconds(pid) - cpuBefore) / 5) * 100,
    rssPerSessionMiB: (rssBytes(pid) - before) / count / 1048576
  };
  await Promise.all([warmUp, ...clients].map((client) => client.close()));
  return result;
}

/** Each figure from a fresh server, so that none inherits another's leftovers. */
async function withServer(kind, options, measure) {
  const server = await startServer(kind, options);
  try {
    return await measure(server);
  } finally {
    await stopServer(server);
  }
}

async function round(kind, options, cat) {
  const result = {};
  if (options.only.includes('cat')) result.cat = await withServer(kind, options, (server) => catFigures(server, cat));
  if (options.only.includes('flood')) {
    for (const count of options.floods) {
      result[`flood${count}`] = await withServer(kind, options, (server) => floodFigures(server, count, options.keys, options.renice, options['renice-relays'] === 'yes', options.typist === 'shared'));
    }
  }
  if (options.only.includes('sessions')) {
    result.sessions = await withServer(kind, options, (server) => sessionFigures(server, options.sessions));
  }
  return result;
}

/**
 * A file of `bytes` of text lines (base64 of random bytes, as a log would
 * be), written a block at a time.
 * @returns {{ file: string, bytes: number }}
 */
function catFile(bytes) {
  const file = path.join(os.tmpdir(), `tsb-bench-cat-${process.pid}.txt`);
  const fd = fs.openSync(file, 'w');
  const block = 1024 * 1024;
  try {
    for (let written = 0; written < bytes;) {
      const size = Math.min(block, bytes - written);
      // 76 characters and a line feed per 57 random bytes, the last line cut.
      const text = crypto.randomBytes(Math.ceil(size / 77) * 57).toString('base64');
      const lines = text.match(/.{1,76}/g).join('\n');
      written += fs.writeSync(fd, lines.slice(0, size - 1) + '\n');
    }
  } finally {
    fs.closeSync(fd);
  }
  return { file, bytes };
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  const cat = catFile(options['cat-mb'] * 1e6);
  const kinds = ['web', 'peer', ...(options['raw-relay'] ? ['peer+relay'] : []), ...(options.before ? ['before'] : [])];
  const results = Object.fromEntries(kinds.map((kind) => [kind, []]));
  try {
    for (let r = 0; r < options.rounds; r++) {
      // Each kind goes first in turn.
      for (const kind of kinds.map((_, i) => kinds[(i + r) % kinds.length])) {
        const result = await round(kind, options, cat);
        results[kind].push(result);
        console.error(`... web server ${r + 1}/${options.rounds} ${kind}: ${JSON.stringify(result)}`);
      }
    }
  } finally {
    fs.rmSync(cat.file, { force: true });
  }
  process.stdout.write(JSON.stringify(results) + '\n');
}

if (process.argv[2] === '--typist') typistProcess();
else main().catch((error) => {
  console.error(error);
  process.exit(1);
});
