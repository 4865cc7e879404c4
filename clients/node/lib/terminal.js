'use strict';

const childProcess = require('child_process');
const { EventEmitter } = require('events');
const os = require('os');
const { StringDecoder } = require('string_decoder');

const { LineSplitter } = require('./line-splitter');
const { brokerCommand } = require('./broker-command');
const { DEFAULT_COLS, DEFAULT_ROWS, fitSize } = require('./sizes');
const { notificationLine, inputLines, exitFromClosed } = require('./protocol');
const { foregroundProcessName } = require('./foreground-process');
const { InputGate } = require('./input-gate');

const DEFAULT_FLOW_WINDOW = 262144;
const MAX_FLOW_WINDOW = 268435456;
// Without the broker's window, output waiting for listeners is bounded by
// no longer reading the broker's stdout above this many bytes.
const STREAM_QUEUE_BYTES = 1048576;
// The broker's diagnostics kept to show in the terminal when it fails.
const KEPT_DIAGNOSTICS = 20;
/** The shell when none is given, as node-pty's. */
const DEFAULT_FILE = 'sh';
/**
 * What the program has said about the terminal, in order: each phase keeps
 * what the earlier ones mean. `released`: kill() was called, a pause no
 * longer holds the shell back. `destroyed`: no more output is wanted.
 * `exited`: the exit event has been emitted.
 */
const Phase = Object.freeze({ RUNNING: 0, RELEASED: 1, DESTROYED: 2, EXITED: 3 });
const XOFF = '\x13';
const XON = '\x11';

function checkFlowWindow(value) {
  if (!Number.isInteger(value) || value < 0 || value > MAX_FLOW_WINDOW) {
    throw new RangeError(`flowWindow must be an integer from 0 to ${MAX_FLOW_WINDOW}, not ${value}`);
  }
  return value;
}

function checkName(name) {
  if (name !== undefined && name !== null && typeof name !== 'string') {
    throw new TypeError(`name must be a string (not a ${typeof name})`);
  }
}

/**
 * One shell in a terminal, run by a terminal-stream-broker process.
 * Create it with spawn() (index.js); the shape is that of node-pty's IPty.
 */
class Terminal {
  /** The broker's process id here (with a launcher: the launcher's). */
  brokerPid;
  cols;
  rows;
  /** 'stream' (stdout backpressure) until the broker confirms its window, then 'window'. */
  flowControl = 'stream';
  /** Whether write() of exactly flowControlPause / flowControlResume pauses / resumes instead of typing it. */
  handleFlowControl;
  /** Resolves with the shell's pid at the ready event; rejects if the broker ends before it. */
  ready;

  #file;
  #launched;
  #child;
  #shellPid = 0;
  #decoder;
  #flowWindow;
  #flowControlPause;
  #flowControlResume;
  #events = new EventEmitter();
  #stdoutLines = new LineSplitter();
  #stderrLines = new LineSplitter();
  #diagnostics = [];
  #warned = false;
  #queue = [];
  #queuedBytes = 0;
  #deliveryScheduled = false;
  #paused = false;
  #phase = Phase.RUNNING;
  #deliveredSeq = 0;
  #ackedSeq = 0;
  #unackedBytes = 0;
  #closedEvent;
  #brokerEnd;
  #settleReady;
  #input;

  /**
   * @param {string} [file] default `sh`
   * @param {string[]} [args]
   * @param {import('../index').SpawnOptions} [options]
   */
  constructor(file, args, options) {
    if (file !== undefined && file !== null && typeof file !== 'string') throw new TypeError('file must be a string');
    if (typeof args === 'string') throw new Error('args as a string is not supported on unix.');
    if (args !== undefined && args !== null && !Array.isArray(args)) throw new TypeError('args must be an array of strings');
    file = file || DEFAULT_FILE;
    args = (args || []).map(String);
    options = options || {};
    checkName(options.name);
    this.#file = file;
    this.cols = fitSize('cols', options.cols || DEFAULT_COLS);
    this.rows = fitSize('rows', options.rows || DEFAULT_ROWS);
    this.#flowWindow = checkFlowWindow(options.flowWindow ?? DEFAULT_FLOW_WINDOW);
    this.#launched = Boolean(options.launcher);
    this.handleFlowControl = Boolean(options.handleFlowControl);
    this.#flowControlPause = options.flowControlPause ?? XOFF;
    this.#flowControlResume = options.flowControlResume ?? XON;
    const encoding = options.encoding === undefined ? 'utf8' : options.encoding;
    this.#decoder = encoding === null ? null : new StringDecoder(encoding);
    const command = brokerCommand(file, args, options, { cols: this.cols, rows: this.rows });
    this.ready = new Promise((resolve, reject) => { this.#settleReady = { resolve, reject }; });
    // Nobody need wait for `ready`: its rejection must not count as unhandled.
    this.ready.catch(() => {});
    this.#start(command, options);
  }

  /**
   * The shell's process id once the broker has reported it (`ready`); until
   * then, and always with a launcher, the broker's (the launcher's), whose
   * SIGINT, SIGTERM and SIGHUP end the shell. Never 0.
   */
  get pid() {
    return this.#shellPid && !this.#launched ? this.#shellPid : this.brokerPid;
  }

  /** The name of the foreground process (from /proc; the shell's file name with a launcher or before ready). */
  get process() {
    if (this.#launched || !this.#shellPid) return this.#file;
    return foregroundProcessName(this.#shellPid) ?? this.#file;
  }

  /** @param {(data: string | Buffer) => void} listener called once per read of the terminal */
  onData(listener) { return this.#subscribe('data', listener); }

  /** @param {(event: { exitCode: number, signal: number, reason: string }) => void} listener */
  onExit(listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    return this.#subscribe('exit', (exitCode, signal, event) => listener(event));
  }

  /** @param {(error: Error) => void} listener receives the broker's diagnostics and failures */
  onError(listener) { return this.#subscribe('error', listener); }

  /**
   * node-pty's event-emitter style: 'data' (data), 'exit' (exitCode, signal), 'error' (error).
   * @param {string} event @param {Function} listener
   */
  on(event, listener) { this.#events.on(event, listener); return this; }
  /** @param {string} event @param {Function} listener */
  addListener(event, listener) { return this.on(event, listener); }
  /** @param {string} event @param {Function} listener */
  once(event, listener) { this.#events.once(event, listener); return this; }
  /** @param {string} event @param {Function} listener */
  removeListener(event, listener) { this.#events.removeListener(event, listener); return this; }
  /** @param {string} event @param {Function} listener */
  off(event, listener) { return this.removeListener(event, listener); }
  /** @param {string} [event] */
  removeAllListeners(event) { this.#events.removeAllListeners(event); return this; }
  /** @param {string} event */
  listeners(event) { return this.#events.listeners(event); }

  /** @param {string | Buffer} data typed into the terminal (a string as UTF-8) */
  write(data) {
    if (this.handleFlowControl && typeof data === 'string') {
      if (data === this.#flowControlPause) return this.pause();
      if (data === this.#flowControlResume) return this.resume();
    }
    if (this.#phase < Phase.EXITED) this.#input.write(inputLines(Buffer.isBuffer(data) ? data : Buffer.from(String(data), 'utf8')));
    return undefined;
  }

  /**
   * Sizes are truncated to integers and kept within 1 to 65535; zero, a
   * negative number, NaN and Infinity throw, as with node-pty.
   * @param {number} cols @param {number} rows
   */
  resize(cols, rows) {
    this.cols = fitSize('cols', cols);
    this.rows = fitSize('rows', rows);
    this.#send(notificationLine('terminal.resize', { cols: this.cols, rows: this.rows }));
  }

  /** Does nothing: a terminal on Linux has no scrollback of its own to clear (so does node-pty's). */
  clear() {}

  /**
   * Sends a signal to the shell, SIGHUP by default, through the broker (its
   * terminal.signal), so that it reaches the shell wherever a launcher put
   * it, and never another process that has the shell's old pid. A name the
   * broker does not know costs one error. A paused terminal is released (see
   * pause()).
   * @param {string | number} [signal]
   */
  kill(signal) {
    this.#release();
    if (this.#phase === Phase.EXITED || this.#closedEvent) return;
    this.#send(notificationLine('terminal.signal', { signal: signal || 'SIGHUP' }));
  }

  /**
   * Ends the session for good: no more data events, output not yet
   * delivered is dropped, the shell gets SIGHUP as from a closed terminal,
   * the broker is asked to end the session (terminal.destroy) and its
   * standard input ends. The exit event still comes.
   */
  destroy() {
    if (this.#phase >= Phase.DESTROYED) return;
    this.#enter(Phase.DESTROYED);
    this.kill('SIGHUP');
    // A termination request: should the hang-up not end the shell, the
    // broker's ladder follows (SIGTERM, SIGHUP to its groups, at last
    // SIGKILL). Said explicitly before the end of input, which is the same
    // request, because some transports (an orchestrator's exec channel) do
    // not pass the end of input on to a broker on the other side.
    if (!this.#closedEvent) this.#send(notificationLine('terminal.destroy', {}));
    this.#child.stdin.end();
  }

  /**
   * Stops data events until resume(); the broker, and with it the program,
   * is held back and no output is lost. After kill() or destroy() a pause
   * holds nothing back: output that comes while paused is dropped, so that
   * the shell can end and the exit event come.
   */
  pause() {
    this.#paused = true;
    this.#updateReading();
  }

  /** Delivers what was held back, one data event per turn of the event loop. */
  resume() {
    this.#paused = false;
    this.#updateReading();
    this.#scheduleDelivery();
  }

  #subscribe(event, listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    this.#events.on(event, listener);
    return { dispose: () => this.#events.removeListener(event, listener) };
  }

  #start(command, options) {
    this.#child = childProcess.spawn(command.command, command.args, {
      env: command.env,
      cwd: command.cwd,
      uid: options.uid,
      gid: options.gid,
      stdio: ['pipe', 'pipe', 'pipe']
    });
    this.#child.on('error', (error) => this.#reportError(error));
    if (this.#child.pid === undefined) {
      // The error event, with the cause, comes only on the next tick.
      throw new Error(`could not start ${command.command}`);
    }
    this.brokerPid = this.#child.pid;
    this.#input = new InputGate((line) => this.#send(line));
    this.#child.stdout.setEncoding('utf8');
    this.#child.stderr.setEncoding('utf8');
    this.#child.stdout.on('data', (text) => this.#onStdout(text));
    this.#child.stderr.on('data', (text) => this.#onStderr(text));
    // Writing after the broker has gone fails with EPIPE; the exit event says why it went.
    this.#child.stdin.on('error', () => {});
    this.#child.on('close', (code, signal) => this.#onBrokerClose(code, signal));
    // The size goes here too: a launched broker has it from nowhere else.
    const connect = { cols: this.cols, rows: this.rows };
    if (this.#flowWindow > 0) connect.flow_window = this.#flowWindow;
    this.#send(notificationLine('terminal.connect', connect));
  }

  #send(lines) {
    const stdin = this.#child.stdin;
    if (this.#phase < Phase.EXITED && stdin.writable) stdin.write(lines);
  }

  #onStdout(text) {
    // Nothing queued or on its way before this read: its first data event
    // goes now, in this turn, as node-pty emits a read (no turn of the loop
    // between an echo and its listener); any others in the turns after.
    const idle = this.#queue.length === 0 && !this.#deliveryScheduled;
    for (const line of this.#stdoutLines.push(text)) this.#onEventLine(line);
    if (idle && this.#queue.length > 0) this.#deliverOne();
    else this.#scheduleDelivery();
    this.#updateReading();
  }

  #onStderr(text) {
    for (const line of this.#stderrLines.push(text)) this.#onDiagnostic(line);
  }

  #onDiagnostic(line) {
    this.#diagnostics.push(line);
    if (this.#diagnostics.length > KEPT_DIAGNOSTICS) this.#diagnostics.shift();
    this.#reportError(new Error(line));
  }

  #onEventLine(line) {
    let event;
    try {
      event = JSON.parse(line);
    } catch {
      this.#reportError(new Error(`unreadable event line from the broker: ${line.slice(0, 200)}`));
      return;
    }
    switch (event.type) {
      case 'ready': return this.#onReady(event);
      case 'data': return this.#onData(event);
      case 'flow_control': return this.#onFlowControl(event);
      case 'closed': return this.#onClosed(event);
      case 'pong': return this.#input.confirm(event.nonce);
      default: return undefined; // events of later brokers
    }
  }

  #onReady(event) {
    this.#shellPid = event.pid;
    this.#settleReady.resolve(event.pid);
  }

  #onData(event) {
    const bytes = Buffer.from(event.data_b64, 'base64');
    if (this.#dropsOutput()) {
      this.#consumed(event.seq, bytes.length);
      return;
    }
    this.#queue.push({ seq: event.seq, bytes });
    this.#queuedBytes += bytes.length;
  }

  #onClosed(event) {
    this.#closedEvent = event;
  }

  #onFlowControl(event) {
    this.flowControl = event.window > 0 ? 'window' : 'stream';
    this.#updateReading();
  }

  #dropsOutput() {
    return this.#phase >= Phase.DESTROYED || (this.#phase === Phase.RELEASED && this.#paused);
  }

  #enter(phase) {
    this.#phase = Math.max(this.#phase, phase);
  }

  #release() {
    this.#enter(Phase.RELEASED);
    if (!this.#dropsOutput() || this.#queue.length === 0) return;
    const last = this.#queue[this.#queue.length - 1].seq;
    const bytes = this.#queuedBytes;
    this.#queue = [];
    this.#queuedBytes = 0;
    this.#consumed(last, bytes);
    this.#updateReading();
    this.#scheduleDelivery();
  }

  /**
   * Reads the broker's stdout unless the client itself must hold the broker
   * back: paused or with too much queued, when the broker has no window.
   * With the window the broker holds itself back, and its pongs and closed
   * event must still arrive.
   */
  #updateReading() {
    const stdout = this.#child.stdout;
    const holding = this.flowControl === 'stream' && !this.#dropsOutput() &&
      (this.#paused || this.#queuedBytes > STREAM_QUEUE_BYTES);
    if (holding) stdout.pause();
    else stdout.resume();
  }

  #scheduleDelivery() {
    if (this.#deliveryScheduled || this.#phase === Phase.EXITED) return;
    if (this.#queue.length === 0 && !this.#brokerEnd) return;
    if (this.#paused && !this.#dropsOutput()) return;
    this.#deliveryScheduled = true;
    // One data event per turn of the event loop, as node-pty's reads come: a
    // listener that pauses, or whose consumer answers through the loop, is
    // obeyed before the next one.
    setImmediate(() => {
      this.#deliveryScheduled = false;
      this.#deliverOne();
    });
  }

  #deliverOne() {
    if (this.#paused && !this.#dropsOutput()) return;
    const next = this.#queue.shift();
    if (next) {
      this.#queuedBytes -= next.bytes.length;
      // The program first: the acknowledgement's write is not on the way of an echo.
      this.#emitData(next.bytes);
      this.#consumed(next.seq, next.bytes.length);
      this.#updateReading();
    }
    if (this.#queue.length > 0) this.#scheduleDelivery();
    else if (this.#brokerEnd) this.#finish();
  }

  /**
   * Counts data events up to `seq` as taken by the program; acknowledges
   * them once a quarter of the window is due: while the program takes its
   * output the broker never waits for one (three quarters of its window
   * are left), and a flood costs both sides an acknowledgement per quarter
   * window, not one per read.
   */
  #consumed(seq, bytes) {
    // Never backwards: a listener may have let the queue go (kill()) before this.
    this.#deliveredSeq = Math.max(this.#deliveredSeq, seq);
    this.#unackedBytes += bytes;
    if (this.flowControl !== 'window' || this.#deliveredSeq <= this.#ackedSeq) return;
    if (this.#unackedBytes < this.#flowWindow / 4) return;
    this.#ackedSeq = this.#deliveredSeq;
    this.#unackedBytes = 0;
    this.#send(notificationLine('terminal.ack', { seq: this.#ackedSeq }));
  }

  #emitData(bytes) {
    if (this.#phase >= Phase.DESTROYED) return;
    if (!this.#decoder) {
      this.#events.emit('data', bytes);
      return;
    }
    const text = this.#decoder.write(bytes);
    if (text) this.#events.emit('data', text);
  }

  #reportError(error) {
    if (this.#events.listenerCount('error') > 0) {
      this.#events.emit('error', error);
    } else if (!this.#warned) {
      this.#warned = true;
      process.emitWarning(`${error.message} (further errors of this terminal are dropped: listen with onError)`,
        { type: 'TerminalStreamWarning', code: 'TERMINAL_STREAM_UNHANDLED_ERROR' });
    }
  }

  #onBrokerClose(code, signal) {
    if (this.#brokerEnd) return;
    const rest = this.#stdoutLines.rest();
    if (rest) this.#onEventLine(rest);
    const errorRest = this.#stderrLines.rest();
    if (errorRest) this.#onDiagnostic(errorRest);
    this.#brokerEnd = { code, signal };
    this.#scheduleDelivery();
  }

  #finish() {
    if (this.#phase === Phase.EXITED) return;
    const exit = this.#closedEvent ? exitFromClosed(this.#closedEvent) : this.#brokerFailure();
    const tail = this.#decoder ? this.#decoder.end() : '';
    if (tail && this.#phase < Phase.DESTROYED) this.#events.emit('data', tail);
    this.#enter(Phase.EXITED);
    this.#settleReady.reject(new Error('the broker ended before its ready event'));
    this.#events.emit('exit', exit.exitCode, exit.signal, exit);
  }

  /** The exit event of a broker that ended without saying how the shell ended; its cause is shown as terminal output too. */
  #brokerFailure() {
    const { code, signal } = this.#brokerEnd;
    const how = signal ? `signal ${signal}` : `status ${code}`;
    const summary = `the broker ended without a closed event (${how})`;
    this.#reportError(new Error(summary));
    const lines = this.#diagnostics.length > 0 ? this.#diagnostics.map((line) => line.replace(/^\[[^\]]*\] /, '')) : [summary];
    this.#emitData(Buffer.from(lines.map((line) => `terminal-stream-broker: ${line}\r\n`).join('')));
    return { exitCode: code ?? 1, signal: signal ? os.constants.signals[signal] : 0, reason: 'broker-failed' };
  }
}

module.exports = { Terminal };
