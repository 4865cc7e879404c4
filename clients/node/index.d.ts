/** A subscription to an event; dispose() ends it. */
export interface IDisposable {
  dispose(): void;
}

/** Subscribes a listener and returns the subscription, as node-pty's events do. */
export type IEvent<T> = (listener: (event: T) => void) => IDisposable;

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

export interface SpawnOptions {
  /** TERM for the shell. Default 'xterm-256color'. */
  name?: string;
  /** Default 80. */
  cols?: number;
  /** Default 24. */
  rows?: number;
  /** The shell's working directory. Default: this process's own; with a launcher, the broker's. */
  cwd?: string;
  /** The broker's (and so the shell's) environment. Default process.env. With a launcher: the launcher's. */
  env?: NodeJS.ProcessEnv;
  /** Decoding of data events. Default 'utf8'; null gives raw Buffers. */
  encoding?: BufferEncoding | null;
  /** The broker binary. Default: TERMINAL_STREAM_BROKER, then 'terminal-stream-broker' on PATH. */
  brokerPath?: string;
  /** A command that carries the broker's standard streams elsewhere, e.g. ['ssh', 'host'], ['kubectl', 'exec', '-i', 'pod', '--']. */
  launcher?: string[];
  /** Quote the broker's command line for a shell on the other side; needed by launchers that join it into one line (ssh). */
  launcherShell?: boolean;
  /** Bytes of output the broker may send ahead of the consumer, when it offers flow control. Default 262144; 0 asks for none. */
  flowWindow?: number;
}

export interface ITerminal {
  /** The shell's process id (on the broker's machine); 0 until the ready event. */
  readonly pid: number;
  /** The process id of the broker (or of the launcher) on this machine. */
  readonly brokerPid: number | undefined;
  readonly cols: number;
  readonly rows: number;
  /** The name of the terminal's foreground process. */
  readonly process: string;
  /** 'window' once the broker has confirmed its flow-control window, else 'stream'. */
  readonly flowControl: 'stream' | 'window';
  /** Resolves with pid at the broker's ready event; rejects if the broker ends before it. */
  readonly ready: Promise<number>;
  readonly onData: IEvent<string | Buffer>;
  readonly onExit: IEvent<IExitEvent>;
  /** The broker's diagnostic lines and failures to run it. */
  readonly onError: IEvent<Error>;
  write(data: string | Buffer): void;
  resize(cols: number, rows: number): void;
  /** Default SIGHUP. SIGTERM, and every signal with a launcher, goes through the broker. */
  kill(signal?: NodeJS.Signals): void;
  pause(): void;
  resume(): void;
}

export declare class Terminal implements ITerminal {
  readonly pid: number;
  readonly brokerPid: number | undefined;
  readonly cols: number;
  readonly rows: number;
  readonly process: string;
  readonly flowControl: 'stream' | 'window';
  readonly ready: Promise<number>;
  onData(listener: (data: string | Buffer) => void): IDisposable;
  onExit(listener: (event: IExitEvent) => void): IDisposable;
  onError(listener: (error: Error) => void): IDisposable;
  write(data: string | Buffer): void;
  resize(cols: number, rows: number): void;
  kill(signal?: NodeJS.Signals): void;
  pause(): void;
  resume(): void;
}

/** Starts file with args in a terminal run by terminal-stream-broker. Throws (code ENOENT) when the broker is missing. */
export declare function spawn(file: string, args?: string[], options?: SpawnOptions): Terminal;
