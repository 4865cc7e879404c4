'use strict';

const { EventEmitter } = require('events');
const { StringDecoder } = require('string_decoder');

const { brokerCommand } = require('./broker-command');
const { BrokerProcess } = require('./broker-process');
const { OutputFlow } = require('./output-flow');
const { fitSize } = require('./sizes');
const { spawnArguments } = require('./spawn-arguments');

/**
 * One shell in a terminal, run by a terminal-stream-broker process.
 * Create it with spawn() (index.js); the shape is that of node-pty's IPty.
 * This is the front, as node-pty's terminal.ts: events, XON/XOFF, decoding;
 * the process is a BrokerProcess, the output's way to the listeners and
 * the broker's flow control an OutputFlow.
 */
class Terminal {
  /** The broker's process id here (with a launcher: the launcher's). */
  brokerPid;
  cols;
  rows;
  /** Whether write() of exactly flowControlPause / flowControlResume pauses / resumes instead of typing it. */
  handleFlowControl;
  /** Resolves with the shell's pid at the ready event; rejects if the broker ends before it. */
  ready;
  /** The broker's time stamp (ms since the epoch) of the data event the latest data came from. */
  outputTs;

  #file;
  #decoder;
  #flowControlPause;
  #flowControlResume;
  #events = new EventEmitter();
  #warned = false;
  #exited = false;
  #flow;
  #broker;

  /**
   * @param {string} [file] default `sh`
   * @param {string[]} [args]
   * @param {import('../index').SpawnOptions} [options]
   */
  constructor(file, args, options) {
    const given = spawnArguments(file, args, options);
    this.#file = given.file;
    this.cols = given.cols;
    this.rows = given.rows;
    this.handleFlowControl = given.handleFlowControl;
    this.#flowControlPause = given.flowControlPause;
    this.#flowControlResume = given.flowControlResume;
    this.#decoder = given.encoding === null ? null : new StringDecoder(given.encoding);
    const command = brokerCommand(given.file, given.args, given.options, { cols: this.cols, rows: this.rows });
    this.#flow = new OutputFlow(given.flowWindow, {
      deliver: (bytes, ts) => {
        this.outputTs = ts;
        this.#emitData(bytes);
      },
      send: (line) => this.#broker.send(line),
      setReading: (reading) => this.#broker.setReading(reading),
      finish: () => this.#finish()
    });
    this.#broker = new BrokerProcess(command, given.options, {
      read: (events) => this.#flow.takeRead(events),
      ended: (events) => this.#flow.brokerEnded(events),
      error: (error) => this.#reportError(error)
    });
    this.brokerPid = this.#broker.pid;
    this.ready = this.#broker.ready;
    this.#broker.connect({ cols: this.cols, rows: this.rows }, given.flowWindow);
  }

  /**
   * The shell's process id once the broker has reported it (`ready`); until
   * then, and always with a launcher, the broker's (the launcher's), whose
   * SIGINT, SIGTERM and SIGHUP end the shell. Never 0.
   */
  get pid() { return this.#broker.localPid; }

  /** The name of the foreground process (from /proc; the shell's file name with a launcher or before ready). */
  get process() { return this.#broker.foregroundName() ?? this.#file; }

  /** 'stream' (stdout backpressure) until the broker confirms its window, then 'window'. */
  get flowControl() { return this.#flow.mode; }

  /**
   * Typed input waiting in this process, in characters as sent to the
   * broker (Base64 in JSON lines): it grows only while the program on the
   * terminal does not read what was typed before. A caller that takes input
   * from others (a server) bounds its users with it.
   */
  get inputBacklog() { return this.#broker.heldInputChars; }

  /** @param {(data: string | Buffer) => void} listener called once per read of the terminal */
  onData(listener) { return this.#subscribe('data', listener); }

  /** @param {(event: { exitCode: number, signal: number, reason: string }) => void} listener */
  onExit(listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    return this.#subscribe('exit', (exitCode, signal, event) => listener(event));
  }

  /** @param {(error: Error) => void} listener receives the broker's diagnostics and failures */
  onError(listener) { return this.#subscribe('error', listener); }

  // node-pty's event-emitter style: 'data' (data), 'exit' (exitCode, signal), 'error' (error).
  /** @param {string} event @param {Function} listener */
  on(event, listener) { this.#events.on(event, listener); return this; }
  addListener(event, listener) { return this.on(event, listener); }
  once(event, listener) { this.#events.once(event, listener); return this; }
  removeListener(event, listener) { this.#events.removeListener(event, listener); return this; }
  off(event, listener) { return this.removeListener(event, listener); }
  /** @param {string} [event] */
  removeAllListeners(event) { this.#events.removeAllListeners(event); return this; }
  listeners(event) { return this.#events.listeners(event); }

  /** @param {string | Buffer} data typed into the terminal (a string as UTF-8) */
  write(data) {
    if (this.handleFlowControl && typeof data === 'string') {
      if (data === this.#flowControlPause) return this.pause();
      if (data === this.#flowControlResume) return this.resume();
    }
    this.#broker.input(Buffer.isBuffer(data) ? data : Buffer.from(String(data), 'utf8'));
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
    this.#broker.resize({ cols: this.cols, rows: this.rows });
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
    this.#flow.release();
    this.#broker.signal(signal || 'SIGHUP');
  }

  /**
   * Ends the session for good: no more data events, output not yet
   * delivered is dropped, the shell gets SIGHUP as from a closed terminal,
   * the broker is asked to end the session (terminal.destroy) and its
   * standard input ends. The exit event still comes.
   */
  destroy() {
    if (this.#exited || this.#flow.destroyed) return;
    this.#flow.destroy();
    this.kill('SIGHUP');
    this.#broker.destroy();
  }

  /**
   * Stops data events until resume(); the broker, and with it the program,
   * is held back and no output is lost. After kill() or destroy() a pause
   * holds nothing back: output that comes while paused is dropped, so that
   * the shell can end and the exit event come.
   */
  pause() { this.#flow.pause(); }

  /** Delivers what was held back, one data event per turn of the event loop. */
  resume() { this.#flow.resume(); }

  #subscribe(event, listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    this.#events.on(event, listener);
    return { dispose: () => this.#events.removeListener(event, listener) };
  }

  #emitData(bytes) {
    if (this.#flow.destroyed) return;
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

  /** The broker has ended and every data event is delivered: the exit event, once. */
  #finish() {
    if (this.#exited) return;
    const { exit, failure } = this.#broker.finish();
    if (failure) {
      // Its cause is shown as terminal output too.
      this.#reportError(new Error(failure.summary));
      this.#emitData(Buffer.from(failure.text));
    }
    const tail = this.#decoder ? this.#decoder.end() : '';
    if (tail && !this.#flow.destroyed) this.#events.emit('data', tail);
    this.#exited = true;
    this.#events.emit('exit', exit.exitCode, exit.signal, exit);
  }
}

module.exports = { Terminal };
