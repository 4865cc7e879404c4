'use strict';

// The flood figure with a real renderer: how long ^C takes to reach the
// screen of a peer that renders through xterm.js (headless) at a bound rate,
// and stops reading while too much waits to be rendered.
//
// The shell runs `yes` until ^C, then prints a marker (the "prompt"). The
// consumer reads the terminal's output into a queue and renders it event by
// event through @xterm/headless, no faster than RATE bytes per second (a
// browser terminal's speed). It stops reading while HIGH bytes or more wait
// to be rendered and reads again below LOW. One run, one of three ways:
//
//   broker          the broker, flow control off
//   broker-window   the broker with a flow window of WINDOW bytes, one
//                   terminal.ack per data event once it is rendered
//   node-pty        node-pty, pause()/resume() at the same marks
//
//   node flood_xterm.js --mode MODE [--broker PATH] [--seconds 2]
//
// Prints one JSON line: ms (^C to the marker rendered), after (bytes
// rendered in between), peak (most bytes read and not yet rendered), flood
// (bytes read during the flood), rate (bytes rendered per second during the
// flood), pauses (times reading stopped), held (bytes waiting to be
// rendered when ^C was typed), readMs (^C to the marker read), resumeMs
// (^C to the first time reading resumed after it).

const { spawn } = require('child_process');
const { Terminal } = require('@xterm/headless');

const RATE = 10e6;
const HIGH = 512 * 1000;
const LOW = 128 * 1000;
const WINDOW = 262144;
const MARK = 'PROMPT-MARK';
// The shell ignores SIGINT and `yes` gets it back, so ^C ends only `yes`;
// the marker then proves that everything before it has been rendered.
// `read go` holds the flood until the consumer is set up. Output
// processing is off (-opost), so the terminal produces far faster than the
// peer renders.
const SCRIPT = `stty -echo -opost; read go; trap '' INT; (trap - INT; exec yes); echo ${MARK}; exec cat >/dev/null`;

function parseArgs(argv) {
  const options = { mode: 'broker', broker: null, seconds: 2 };
  for (let i = 0; i < argv.length; i += 2) {
    const key = argv[i].replace(/^--/, '');
    options[key] = key === 'seconds' ? Number(argv[i + 1]) : argv[i + 1];
  }
  return options;
}

const now = () => performance.now();

/** The source of terminal bytes: the broker over its JSON lines, or node-pty. */
class BrokerSource {
  constructor(brokerPath, onData) {
    this.child = spawn(brokerPath, ['--', 'sh', '-c', SCRIPT], { stdio: ['pipe', 'pipe', 'inherit'] });
    this.pending = '';
    this.events = [];
    this.waiters = [];
    this.child.stdout.setEncoding('latin1');
    this.child.stdout.on('data', (text) => {
      const lines = (this.pending + text).split('\n');
      this.pending = lines.pop();
      for (const line of lines) {
        if (line.startsWith('{"data_b64":"')) {
          const end = line.indexOf('"', 13);
          const seq = Number(line.slice(line.indexOf('"seq":', end) + 6).split(',', 1)[0]);
          onData(Buffer.from(line.slice(13, end), 'base64'), seq);
        } else {
          const event = JSON.parse(line);
          this.events.push(event);
          this.waiters = this.waiters.filter((w) => !(w.type === event.type && (w.resolve(event), true)));
        }
      }
    });
    this.exited = new Promise((resolve) => this.child.on('exit', resolve));
  }

  event(type) {
    const seen = this.events.find((e) => e.type === type);
    if (seen) return Promise.resolve(seen);
    return new Promise((resolve) => this.waiters.push({ type, resolve }));
  }

  command(method, params) {
    this.child.stdin.write(JSON.stringify({ jsonrpc: '2.0', method, params }) + '\n');
  }

  async start(windowed) {
    await this.event('ready');
    if (windowed) {
      this.command('terminal.connect', { flow_window: WINDOW });
      await this.event('flow_control');
    }
  }

  write(bytes) { this.command('terminal.input', { data_b64: Buffer.from(bytes, 'latin1').toString('base64') }); }
  ack(seq) { this.command('terminal.ack', { seq }); }
  pause() { this.child.stdout.pause(); }
  resume() { this.child.stdout.resume(); }
  async end() {
    this.child.stdin.end();
    this.resume();
    await this.exited;
  }
}

class NodePtySource {
  constructor(onData) {
    const pty = require('node-pty');
    this.pty = pty.spawn('sh', ['-c', SCRIPT], { cols: 80, rows: 24, encoding: null, env: process.env });
    this.pty.onData((bytes) => onData(bytes, 0));
    this.exited = new Promise((resolve) => this.pty.onExit(resolve));
  }

  async start() {}
  write(bytes) { this.pty.write(bytes); }
  ack() {}
  pause() { this.pty.pause(); }
  resume() { this.pty.resume(); }
  async end() {
    this.resume();
    this.pty.kill();
    await this.exited;
  }
}

/** Renders queued output through xterm.js, at most RATE bytes per second. */
class Consumer {
  constructor() {
    this.terminal = new Terminal({ cols: 80, rows: 24, allowProposedApi: true });
    this.queue = [];
    this.held = 0;
    this.peak = 0;
    this.rendered = 0;
    this.timer = null;
    this.clock = 0; // when the rendering budget allows the next event to end
    this.paused = false;
    this.pauses = 0;
    this.tail = '';
    this.markerAt = null;
    this.readTail = '';
    this.markerReadAt = null; // when the marker was read (not yet rendered)
    this.resumes = []; // when reading resumed
    this.renderedAtMarker = 0;
    this.source = null;
  }

  take(bytes, seq) {
    const text = this.readTail + bytes.toString('latin1');
    if (this.markerReadAt === null && text.includes(MARK)) this.markerReadAt = now();
    this.readTail = text.slice(-MARK.length);
    this.queue.push({ bytes, seq });
    this.held += bytes.length;
    if (this.held > this.peak) this.peak = this.held;
    if (!this.paused && this.held >= HIGH) {
      this.paused = true;
      this.pauses++;
      this.source.pause();
    }
    if (!this.timer) this.pump();
  }

  // Hands xterm.js every queued event whose turn has come: event by event
  // would cost a timer turn of xterm.js's write buffer each. An event counts
  // as rendered once xterm.js has parsed it and its time at RATE is over.
  pump() {
    this.timer = null;
    while (this.queue.length > 0 && this.clock <= now() + 1) {
      const { bytes, seq } = this.queue.shift();
      this.clock = Math.max(this.clock, now()) + (bytes.length / RATE) * 1e3;
      const end = this.clock;
      this.terminal.write(bytes, () => {
        const wait = end - now();
        if (wait > 1) setTimeout(() => this.done(bytes, seq), wait);
        else this.done(bytes, seq);
      });
    }
    if (this.queue.length > 0 && !this.timer) this.timer = setTimeout(() => this.pump(), this.clock - now());
  }

  done(bytes, seq) {
    this.held -= bytes.length;
    this.rendered += bytes.length;
    const text = this.tail + bytes.toString('latin1');
    if (this.markerAt === null && text.includes(MARK)) {
      this.markerAt = now();
      this.renderedAtMarker = this.rendered;
    }
    this.tail = text.slice(-MARK.length);
    if (seq) this.source.ack(seq);
    if (this.paused && this.held < LOW) {
      this.paused = false;
      this.resumes.push(now());
      this.source.resume();
    }
  }
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  const consumer = new Consumer();
  const onData = (bytes, seq) => consumer.take(bytes, seq);
  const source = options.mode === 'node-pty' ? new NodePtySource(onData) : new BrokerSource(options.broker, onData);
  consumer.source = source;
  await source.start(options.mode === 'broker-window');

  source.write('go\n');
  const floodStart = now();
  await new Promise((resolve) => setTimeout(resolve, options.seconds * 1e3));
  const flood = consumer.rendered + consumer.held;
  const renderedInFlood = consumer.rendered;
  const floodEnd = now();
  source.write('\x03');
  const interrupted = now();
  const renderedBefore = consumer.rendered;
  const heldBefore = consumer.held;
  const deadline = interrupted + 60e3;
  while (consumer.markerAt === null) {
    if (now() > deadline) throw new Error(`${options.mode}: the marker never came`);
    await new Promise((resolve) => setTimeout(resolve, 5));
  }
  await source.end();
  process.stdout.write(JSON.stringify({
    mode: options.mode,
    ms: consumer.markerAt - interrupted,
    after: consumer.renderedAtMarker - renderedBefore,
    peak: consumer.peak,
    flood,
    rate: renderedInFlood / ((floodEnd - floodStart) / 1e3),
    pauses: consumer.pauses,
    held: heldBefore,
    readMs: consumer.markerReadAt - interrupted,
    resumeMs: (consumer.resumes.find((at) => at > interrupted) ?? NaN) - interrupted
  }) + '\n');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
