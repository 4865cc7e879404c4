/// <reference types="node" />

/** A subscription to an event; dispose() ends it. */
export interface IDisposable {
  dispose(): void;
}

/** Subscribes a listener and returns the subscription, as node-pty's events do. */
export interface IEvent<T> {
  (listener: (e: T) => any): IDisposable;
}

export interface IExitEvent {
  /** The shell's exit status; 0 when a signal ended it (see signal). */
  exitCode: number;
  /** The number of the signal that ended the shell, 0 if none. */
  signal: number;
  /**
   * The broker's reason: 'exited', 'terminated' (it asked the shell to end),
   * 'signal:N'; or 'broker-failed' when the broker ended without saying how
   * the shell ended (exitCode and signal are then the broker's own).
   */
  reason: string;
}

/** node-pty's options. */
export interface IBasePtyForkOptions {
  /** TERM for the shell. Default: env's TERM, else 'xterm'. */
  name?: string;
  /** Default 80. Cut to an integer, at most 65535. */
  cols?: number;
  /** Default 24. Cut to an integer, at most 65535. */
  rows?: number;
  /** The shell's working directory. Default: this process's own; with a launcher, the broker's. */
  cwd?: string;
  /** The shell's environment (TERM is added). Default process.env less the outer terminal's variables. */
  env?: { [key: string]: string | undefined };
  /** Decoding of data events. Default 'utf8'; null gives raw Buffers. */
  encoding?: string | null;
  /** Whether write() of exactly flowControlPause / flowControlResume pauses / resumes output instead of typing it. */
  handleFlowControl?: boolean;
  /** Default XOFF ('\x13'). */
  flowControlPause?: string;
  /** Default XON ('\x11'). */
  flowControlResume?: string;
}

export interface IPtyForkOptions extends IBasePtyForkOptions {
  /** The user id the broker (and so the shell) runs as. */
  uid?: number;
  /** The group id the broker (and so the shell) runs as. */
  gid?: number;
}

/** Accepted for programs written for both systems; the Windows options do nothing here. */
export interface IWindowsPtyForkOptions extends IBasePtyForkOptions {
  useConpty?: boolean;
  useConptyDll?: boolean;
  conptyInheritCursor?: boolean;
}

/** node-pty's options and the broker's own. */
export interface SpawnOptions extends IPtyForkOptions {
  /** The broker binary. Default: TERMINAL_STREAM_BROKER, then 'terminal-stream-broker' on PATH (this process's environment). */
  brokerPath?: string;
  /** A command that carries the broker's standard streams elsewhere, e.g. ['ssh', 'host'], ['kubectl', 'exec', '-i', 'pod', '--']. */
  launcher?: string[];
  /** Quote the broker's command line for a shell on the other side; needed by launchers that join it into one line (ssh). */
  launcherShell?: boolean;
  /** Bytes of output the broker may send ahead of the consumer, when it offers flow control. Default 262144; 0 asks for none. */
  flowWindow?: number;
}

/** A terminal, in node-pty's shape. Data is a string, or a Buffer when the encoding is null. */
export interface IPty {
  /** The shell's pid once the broker has reported it; until then (and with a launcher) the broker's. Never 0. */
  readonly pid: number;
  readonly cols: number;
  readonly rows: number;
  /** The name of the terminal's foreground process. */
  readonly process: string;
  handleFlowControl: boolean;
  /** One event per read of the terminal. */
  readonly onData: IEvent<string>;
  readonly onExit: IEvent<IExitEvent>;
  on(event: 'data', listener: (data: string) => void): void;
  on(event: 'exit', listener: (exitCode: number, signal?: number) => void): void;
  /** Fractions are cut, sizes above 65535 become 65535; zero, negatives, NaN and Infinity throw. */
  resize(columns: number, rows: number): void;
  /** Does nothing, as node-pty on Linux. */
  clear(): void;
  write(data: string | Buffer): void;
  /** Default SIGHUP. */
  kill(signal?: string): void;
  pause(): void;
  resume(): void;
}

export type PtyEventName = 'data' | 'exit' | 'error';

/** The members of IPty, written once there. */
export interface Terminal extends IPty {}

export declare class Terminal {
  /** As spawn(). */
  constructor(file?: string, args?: string[] | string, options?: SpawnOptions | IWindowsPtyForkOptions);
  /** The process id of the broker (or of the launcher) on this machine. */
  readonly brokerPid: number;
  /** The broker's time stamp (ms since the epoch, its machine's clock) of the data event the latest data came from; undefined before any. */
  readonly outputTs: number | undefined;
  /** 'window' once the broker has confirmed its flow-control window, else 'stream'. */
  readonly flowControl: 'stream' | 'window';
  /** Typed input waiting in this process (characters as sent to the broker) while the program does not read. */
  readonly inputBacklog: number;
  /** Resolves with the shell's pid at the broker's ready event; rejects if the broker ends before it. */
  readonly ready: Promise<number>;
  /** The broker's diagnostic lines and failures to run it. */
  readonly onError: IEvent<Error>;
  on(event: 'error', listener: (error: Error) => void): this;
  on(event: PtyEventName, listener: (...args: any[]) => void): this;
  addListener(event: PtyEventName, listener: (...args: any[]) => void): this;
  once(event: PtyEventName, listener: (...args: any[]) => void): this;
  removeListener(event: PtyEventName, listener: (...args: any[]) => void): this;
  off(event: PtyEventName, listener: (...args: any[]) => void): this;
  removeAllListeners(event?: PtyEventName): this;
  listeners(event: PtyEventName): Function[];
  /** Ends the session: drops output not yet delivered, hangs up the shell; the exit event still comes. */
  destroy(): void;
}

/**
 * Starts file (default 'sh') with args in a terminal run by
 * terminal-stream-broker. Throws (code ENOENT) when the broker is missing.
 */
export declare function spawn(file?: string, args?: string[] | string, options?: SpawnOptions | IWindowsPtyForkOptions): Terminal;
