'use strict';

const childProcess = require('child_process');
const os = require('os');
const { StringDecoder } = require('string_decoder');

const { Listeners } = require('./listeners');
const { LineSplitter } = require('./line-splitter');
const { DEFAULT_COLS, DEFAULT_ROWS, brokerCommand } = require('./broker-command');
const { notificationLine, inputLines, exitFromClosed } = require('./protocol');
const { foregroundProcessName } = require('./foreground-process');
const { hangUpAtExit } = require('./hang-up-at-exit');

const DEFAULT_FLOW_WINDOW = 262144;
const MAX_FLOW_WINDOW = 268435456;
const MAX_SIZE = 65535;

function checkSize(name, value) {
  if (!Number.isInteger(value) || value < 1 || value > MAX_SIZE) {
    throw new RangeError(`${name} must be an integer from 1 to ${MAX_SIZE}, not ${value}`);
  }
  return value;
}

function checkFlowWindow(value) {
  if (!Number.isInteger(value) || value < 0 || value > MAX_FLOW_WINDOW) {
    throw new RangeError(`flowWindow must be an integer from 0 to ${MAX_FLOW_WINDOW}, not ${value}`);
  }
  return value;
}

/**
 * One shell in a terminal, run by a terminal-stream-broker process.
 * Create it with spawn() (index.js); the shape is that of node-pty's IPty.
 */
class Terminal {
  /** The shell's process id from the broker's ready event; 0 until then (see `ready`). */
  pid = 0;
  /** The broker's process id here (with a launcher: the launcher's). */
  brokerPid;
  cols;
  rows;
  /** 'stream' (stdout backpressure) until the broker confirms its window, then 'window'. */
  flowControl = 'stream';
  /** Resolves with the shell's pid at the ready event; rejects if the broker ends before it. */
  ready;

  #file;
  #launched;
  #child;
  #decoder;
  #flowWindow;
  #dataListeners = new Listeners();
  #exitListeners = new Listeners();
  #errorListeners = new Listeners();
  #stdoutLines = new LineSplitter();
  #stderrLines = new LineSplitter();
  #queue = [];
  #paused = false;
  #delivering = false;
  #deliveredSeq = 0;
  #ackedSeq = 0;
  #closedEvent;
  #brokerEnd;
  #exited = false;
  #pendingSignal;
  #settleReady;
  #forgetAtExit = () => {};

  constructor(file, args = [], options = {}) {
    this.#file = file;
    this.cols = checkSize('cols', options.cols ?? DEFAULT_COLS);
    this.rows = checkSize('rows', options.rows ?? DEFAULT_ROWS);
    this.#flowWindow = checkFlowWindow(options.flowWindow ?? DEFAULT_FLOW_WINDOW);
    this.#launched = Boolean(options.launcher);
    const encoding = options.encoding === undefined ? 'utf8' : options.encoding;
    this.#decoder = encoding === null ? null : new StringDecoder(encoding);
    const cwd = options.cwd ?? (options.launcher ? undefined : process.cwd());
    const command = brokerCommand(file, args, { ...options, cols: this.cols, rows: this.rows, cwd });
    this.ready = new Promise((resolve, reject) => { this.#settleReady = { resolve, reject }; });
    // Nobody need wait for `ready`: its rejection must not count as unhandled.
    this.ready.catch(() => {});
    this.#start(command);
  }

  /** The name of the foreground process (from /proc; the shell's file name with a launcher or before ready). */
  get process() {
    if (this.#launched || !this.pid) return this.#file;
    return foregroundProcessName(this.pid) ?? this.#file;
  }

  /** @param {(data: string | Buffer) => void} listener */
  onData(listener) { return this.#dataListeners.add(listener); }

  /** @param {(event: { exitCode: number, signal: number, reason: string }) => void} listener */
  onExit(listener) { return this.#exitListeners.add(listener); }

  /** @param {(error: Error) => void} listener receives the broker's diagnostics and failures */
  onError(listener) { return this.#errorListeners.add(listener); }

  /** @param {string | Buffer} data typed into the terminal (a string as UTF-8) */
  write(data) {
    this.#send(inputLines(Buffer.isBuffer(data) ? data : Buffer.from(String(data), 'utf8')));
  }

  /** @param {number} cols @param {number} rows */
  resize(cols, rows) {
    checkSize('cols', cols);
    checkSize('rows', rows);
    this.cols = cols;
    this.rows = rows;
    this.#send(notificationLine('terminal.resize', { cols, rows }));
  }

  /**
   * Ends the shell. SIGTERM goes through the broker; other signals are sent
   * to the shell's pid from here (after the ready event). With a launcher the
   * shell may be on another machine, so every signal becomes the broker's
   * SIGTERM.
   * @param {string} [signal] default SIGHUP, as a closed terminal sends
   */
  kill(signal = 'SIGHUP') {
    // Once the broker has reported the end, the shell's pid may be another process's.
    if (this.#exited || this.#closedEvent) return;
    if (signal === 'SIGTERM' || this.#launched) {
      this.#send(notificationLine('terminal.destroy', {}));
    } else if (this.pid) {
      this.#signalShell(signal);
    } else {
      this.#pendingSignal = signal;
    }
  }

  /** Stops data events until resume(); the broker is held back, no output is lost. */
  pause() {
    this.#paused = true;
    if (this.flowControl === 'stream') this.#child.stdout.pause();
  }

  resume() {
    this.#paused = false;
    this.#child.stdout.resume();
    this.#deliver();
  }

  #start(command) {
    this.#child = childProcess.spawn(command.command, command.args, {
      env: command.env,
      stdio: ['pipe', 'pipe', 'pipe']
    });
    this.brokerPid = this.#child.pid;
    this.#child.stdout.setEncoding('utf8');
    this.#child.stderr.setEncoding('utf8');
    this.#child.stdout.on('data', (text) => this.#onStdout(text));
    this.#child.stderr.on('data', (text) => this.#onStderr(text));
    // Writing after the broker has gone fails with EPIPE; the exit event says why it went.
    this.#child.stdin.on('error', () => {});
    this.#child.on('error', (error) => this.#onSpawnError(error));
    this.#child.on('close', (code, signal) => this.#onBrokerClose(code, signal));
    if (this.#flowWindow > 0) this.#send(notificationLine('terminal.connect', { flow_window: this.#flowWindow }));
  }

  #send(lines) {
    const stdin = this.#child.stdin;
    if (!this.#exited && stdin.writable) stdin.write(lines);
  }

  #signalShell(signal) {
    try {
      process.kill(this.pid, signal);
    } catch (error) {
      if (error.code !== 'ESRCH') this.#reportError(error);
    }
  }

  #onStdout(text) {
    for (const line of this.#stdoutLines.push(text)) this.#onEventLine(line);
    this.#deliver();
  }

  #onStderr(text) {
    for (const line of this.#stderrLines.push(text)) this.#reportError(new Error(line));
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
      case 'data': return this.#queue.push({ seq: event.seq, bytes: Buffer.from(event.data_b64, 'base64') });
      case 'flow_control': return this.#onFlowControl(event);
      case 'closed': return this.#onClosed(event);
      default: return undefined; // pong, and events of later brokers
    }
  }

  #onReady(event) {
    this.pid = event.pid;
    this.#settleReady.resolve(event.pid);
    if (this.#pendingSignal) this.#signalShell(this.#pendingSignal);
    if (!this.#launched) this.#forgetAtExit = hangUpAtExit(() => this.#signalShell('SIGHUP'));
  }

  #onClosed(event) {
    this.#closedEvent = event;
    this.#forgetAtExit();
  }

  #onFlowControl(event) {
    this.flowControl = event.window > 0 ? 'window' : 'stream';
    // The broker holds itself back now: keep reading its stdout, so that its
    // pongs and closed event still arrive while the consumer is paused.
    if (this.flowControl === 'window') this.#child.stdout.resume();
  }

  /** Hands queued output to the data listeners unless paused, acknowledges it, and ends when all is out. */
  #deliver() {
    if (this.#delivering) return; // a listener called resume(): the running loop goes on
    this.#delivering = true;
    try {
      while (!this.#paused && this.#queue.length > 0) {
        const { seq, bytes } = this.#queue.shift();
        this.#deliveredSeq = seq;
        this.#emitData(bytes);
      }
    } finally {
      this.#delivering = false;
    }
    this.#acknowledge();
    if (!this.#paused && this.#queue.length === 0 && this.#brokerEnd) this.#finish();
  }

  #acknowledge() {
    if (this.flowControl !== 'window' || this.#deliveredSeq <= this.#ackedSeq) return;
    this.#ackedSeq = this.#deliveredSeq;
    this.#send(notificationLine('terminal.ack', { seq: this.#ackedSeq }));
  }

  #emitData(bytes) {
    if (!this.#decoder) return this.#dataListeners.fire(bytes);
    const text = this.#decoder.write(bytes);
    if (text) this.#dataListeners.fire(text);
    return undefined;
  }

  #reportError(error) {
    this.#errorListeners.fire(error);
  }

  #onSpawnError(error) {
    this.#reportError(error);
    // A broker that could not be started never closes its streams.
    if (this.#child.pid === undefined) this.#onBrokerClose(null, null);
  }

  #onBrokerClose(code, signal) {
    if (this.#brokerEnd) return;
    const rest = this.#stdoutLines.rest();
    if (rest) this.#onEventLine(rest);
    const errorRest = this.#stderrLines.rest();
    if (errorRest) this.#reportError(new Error(errorRest));
    this.#brokerEnd = { code, signal };
    this.#deliver();
  }

  #finish() {
    if (this.#exited) return;
    this.#exited = true;
    this.#forgetAtExit();
    const tail = this.#decoder ? this.#decoder.end() : '';
    if (tail) this.#dataListeners.fire(tail);
    this.#settleReady.reject(new Error('the broker ended before its ready event'));
    this.#exitListeners.fire(this.#closedEvent ? exitFromClosed(this.#closedEvent) : this.#brokerFailure());
  }

  #brokerFailure() {
    const { code, signal } = this.#brokerEnd;
    const how = signal ? `signal ${signal}` : `status ${code}`;
    this.#reportError(new Error(`the broker ended without a closed event (${how})`));
    return { exitCode: code ?? 0, signal: signal ? os.constants.signals[signal] : 0, reason: 'broker-failed' };
  }
}

module.exports = { Terminal };
