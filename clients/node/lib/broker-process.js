'use strict';

const childProcess = require('child_process');
const os = require('os');

const { EventReader } = require('./event-reader');
const { LineSplitter } = require('./line-splitter');
const { notificationLine, inputLines, exitFromClosed, dataEventFromLine } = require('./protocol');
const { InputGate } = require('./input-gate');
const { foregroundProcessName } = require('./foreground-process');

// The broker's diagnostics kept to show in the terminal when it fails.
const KEPT_DIAGNOSTICS = 20;
// The broker is asked to join the reads that find output ready one after
// another into data events of up to this many bytes: a flood then costs
// this process a line, a decode and a delivery per 16 KiB instead of per
// read of 4 KiB or so (a web server relaying ten floods spent a third less
// CPU). Events of 64 KiB made an echo under floods wait longer.
const MERGE_READS_BYTES = 16384;

/**
 * The broker's process and its three pipes: commands written to its stdin
 * (input through an InputGate), its event lines read from stdout, its
 * diagnostics from stderr. It answers the events about the process itself
 * (ready, pong, closed) and hands the output's (data, flow_control) on, one
 * read at a time.
 */
class BrokerProcess {
  /** The broker's process id here (with a launcher: the launcher's). */
  pid;
  /** Resolves with the shell's pid at the ready event; rejects if the broker ends before it. */
  ready;

  #child;
  #launched;
  #hooks;
  #input;
  #stdoutEvents = new EventReader();
  #stderrLines = new LineSplitter();
  #diagnostics = [];
  #shellPid = 0;
  #settleReady;
  #closedEvent;
  #end;
  #finished = false;

  /**
   * @param {{ command: string, args: string[], env: object, cwd?: string }} command
   * @param {{ uid?: number, gid?: number, launcher?: string[] }} options
   * @param {{ read(events: object[]): void, ended(events: object[]): void, error(error: Error): void }} hooks
   *   read: the output events of one read of stdout; ended: the broker's
   *   streams have closed, with the events of a last line it did not end
   * @throws {Error} when the broker cannot be started
   */
  constructor(command, options, hooks) {
    this.#hooks = hooks;
    this.#launched = Boolean(options.launcher);
    this.ready = new Promise((resolve, reject) => { this.#settleReady = { resolve, reject }; });
    // Nobody need wait for `ready`: its rejection must not count as unhandled.
    this.ready.catch(() => {});
    this.#child = childProcess.spawn(command.command, command.args, {
      env: command.env,
      cwd: command.cwd,
      uid: options.uid,
      gid: options.gid,
      // A session of its own, as node-pty gives its shells. A ^C typed at the
      // program's own terminal signals the program's process group, and
      // would end every terminal the program has open, even one that
      // handles ^C itself. And where the scheduler groups processes by
      // session, flooding brokers would share the program's CPU instead of
      // each having its own. When the program goes, its broker sees stdin
      // close and ends the session all the same. A launcher (ssh) stays in
      // the program's session: it may ask for a password at its terminal.
      detached: !options.launcher,
      stdio: ['pipe', 'pipe', 'pipe']
    });
    this.#child.on('error', (error) => hooks.error(error));
    if (this.#child.pid === undefined) {
      // The error event, with the cause, comes only on the next tick.
      throw new Error(`could not start ${command.command}`);
    }
    this.pid = this.#child.pid;
    this.#input = new InputGate((line) => this.send(line));
    this.#child.stderr.setEncoding('utf8');
    this.#child.stdout.on('data', (chunk) => hooks.read(this.#events(this.#stdoutEvents.push(chunk))));
    this.#child.stderr.on('data', (text) => this.#stderrLines.push(text).forEach((line) => this.#onDiagnostic(line)));
    // Writing after the broker has gone fails with EPIPE; the exit event says why it went.
    this.#child.stdin.on('error', () => {});
    this.#child.on('close', (code, signal) => this.#onClose(code, signal));
  }

  /**
   * The shell's process id once the broker has reported it (`ready`); until
   * then, and always with a launcher, the broker's (the launcher's).
   */
  get localPid() { return this.#shellPid && !this.#launched ? this.#shellPid : this.pid; }

  /** @returns {string | undefined} the terminal's foreground process, when /proc here can tell */
  foregroundName() {
    return this.#launched || !this.#shellPid ? undefined : foregroundProcessName(this.#shellPid);
  }

  /**
   * The session's first command.
   * @param {{ cols: number, rows: number }} size
   * @param {number} flowWindow 0: no window asked for
   */
  connect(size, flowWindow) {
    // The size goes here too: a launched broker has it from nowhere else.
    const connect = { cols: size.cols, rows: size.rows };
    if (flowWindow > 0) connect.flow_window = flowWindow;
    connect.merge_reads = MERGE_READS_BYTES;
    // Output as the bytes themselves after each data line, not as Base64
    // in it: reading a flood costs this process about a third of what
    // cutting the lines and decoding the Base64 did. Not through a launcher,
    // whose transport this side does not know to carry every byte value.
    if (!this.#launched) connect.raw_data = true;
    this.send(notificationLine('terminal.connect', connect));
  }

  /** @param {string} lines whole command lines */
  send(lines) {
    const stdin = this.#child.stdin;
    if (!this.#finished && stdin.writable) stdin.write(lines);
  }

  /** Characters of typed input held here because the program has not read what came before. */
  get heldInputChars() { return this.#input.heldChars; }

  /** @param {Buffer} bytes typed into the terminal */
  input(bytes) {
    if (!this.#finished) this.#input.write(inputLines(bytes));
  }

  /** @param {{ cols: number, rows: number }} size */
  resize(size) {
    this.send(notificationLine('terminal.resize', size));
  }

  /** @param {boolean} reading whether to read the broker's stdout (not reading holds it back) */
  setReading(reading) {
    if (reading) this.#child.stdout.resume();
    else this.#child.stdout.pause();
  }

  /** @param {string | number} signal for the shell, unless it has ended */
  signal(signal) {
    if (this.#finished || this.#closedEvent) return;
    this.send(notificationLine('terminal.signal', { signal }));
  }

  /** Asks the broker to end the session, and ends its input. */
  destroy() {
    // A termination request: should the hang-up not end the shell, the
    // broker's ladder follows (SIGTERM, SIGHUP to its groups, at last
    // SIGKILL). Said explicitly before the end of input, which is the same
    // request, because some transports (an orchestrator's exec channel) do
    // not pass the end of input on to a broker on the other side.
    if (!this.#closedEvent) this.send(notificationLine('terminal.destroy', {}));
    this.#child.stdin.end();
  }

  /**
   * After the broker has ended and its output is delivered: how the shell
   * ended and, from a broker that did not say, the failure to show. Nothing
   * is sent to the broker after this.
   * @returns {{ exit: { exitCode: number, signal: number, reason: string },
   *   failure?: { summary: string, text: string } }}
   */
  finish() {
    this.#finished = true;
    this.#settleReady.reject(new Error('the broker ended before its ready event'));
    if (this.#closedEvent) return { exit: exitFromClosed(this.#closedEvent) };
    const { code, signal } = this.#end;
    const how = signal ? `signal ${signal}` : `status ${code}`;
    const summary = `the broker ended without a closed event (${how})`;
    const lines = this.#diagnostics.length > 0 ? this.#diagnostics.map((line) => line.replace(/^\[[^\]]*\] /, '')) : [summary];
    return {
      exit: { exitCode: code ?? 1, signal: signal ? os.constants.signals[signal] : 0, reason: 'broker-failed' },
      failure: { summary, text: lines.map((line) => `terminal-stream-broker: ${line}\r\n`).join('') }
    };
  }

  /** The output events among these lines and raw data events; the others are answered here. */
  #events(lines) {
    const output = [];
    for (const line of lines) {
      const event = typeof line === 'string' ? this.#parse(line) : line;
      switch (event?.type) {
        case 'data': case 'flow_control': output.push(event); break;
        case 'ready': this.#shellPid = event.pid; this.#settleReady.resolve(event.pid); break;
        case 'closed': this.#closedEvent = event; break;
        case 'pong': this.#input.confirm(event.nonce); break;
        default: break; // events of later brokers
      }
    }
    return output;
  }

  #parse(line) {
    // Most lines are output: read without JSON.parse (their Base64 is
    // decoded as the queue takes them, output-flow.js).
    const data = dataEventFromLine(line);
    if (data) return data;
    try {
      return JSON.parse(line);
    } catch {
      this.#hooks.error(new Error(`unreadable event line from the broker: ${line.slice(0, 200)}`));
      return undefined;
    }
  }

  #onDiagnostic(line) {
    this.#diagnostics.push(line);
    if (this.#diagnostics.length > KEPT_DIAGNOSTICS) this.#diagnostics.shift();
    this.#hooks.error(new Error(line));
  }

  #onClose(code, signal) {
    if (this.#end) return;
    const events = this.#events(this.#stdoutEvents.rest());
    const errorRest = this.#stderrLines.rest();
    if (errorRest) this.#onDiagnostic(errorRest);
    this.#end = { code, signal };
    this.#hooks.ended(events);
  }
}

module.exports = { BrokerProcess };
