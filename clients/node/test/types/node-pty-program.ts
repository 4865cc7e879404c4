// A program written against node-pty's declarations, with only its import
// changed. It is compiled (tsc --noEmit, strict), never run.
import * as os from 'os';
import * as pty from 'terminal-stream-client';

const shell = os.platform() === 'win32' ? 'powershell.exe' : 'bash';
const encoding: string = process.env.PTY_ENCODING || 'utf8';

const options: pty.IPtyForkOptions = {
  name: 'xterm-color',
  cols: 80,
  rows: 30,
  cwd: process.env.HOME,
  env: process.env,
  encoding,
  handleFlowControl: true,
  flowControlPause: '\x13',
  flowControlResume: '\x11',
  uid: 1000,
  gid: 1000
};
const base: pty.IBasePtyForkOptions = options;
const windows: pty.IWindowsPtyForkOptions = { ...base, useConpty: false };

const ptyProcess: pty.IPty = pty.spawn(shell, [], options);
const other = pty.spawn(shell, [], windows);
const fallback = pty.spawn(undefined as unknown as string, [], {});

// Listeners typed as node-pty types them.
const dataEvent: pty.IEvent<string> = ptyProcess.onData;
const exitEvent: pty.IEvent<{ exitCode: number, signal?: number }> = ptyProcess.onExit;
const subscription: pty.IDisposable = dataEvent((data: string) => {
  process.stdout.write(data.trim());
});
subscription.dispose();
exitEvent(({ exitCode, signal }) => console.log(exitCode, signal));
ptyProcess.onData((data) => console.log(data.length, data.toUpperCase()));
ptyProcess.onExit((e) => console.log(e.exitCode, e.signal ?? 0));

// The older event-emitter style.
ptyProcess.on('data', (data: string) => console.log(data.trim()));
ptyProcess.on('exit', (code: number, signal?: number) => console.log(code, signal));
other.once('exit', () => other.destroy());
const listener = (data: string): void => console.log(data);
other.on('data', listener);
other.removeListener('data', listener);

ptyProcess.write('ls\r');
ptyProcess.write(Buffer.from('pwd\r'));
ptyProcess.resize(100, 40);
ptyProcess.clear();
ptyProcess.handleFlowControl = false;
ptyProcess.pause();
ptyProcess.resume();
const signal: string = process.argv[2] || 'SIGTERM';
ptyProcess.kill(signal);
ptyProcess.kill();
fallback.destroy();

const described: string = `${ptyProcess.pid} ${ptyProcess.cols}x${ptyProcess.rows} ${ptyProcess.process}`;
console.log(described);

// A class of the program's own that holds a terminal.
class Session {
  private readonly term: pty.IPty;
  constructor(term: pty.IPty) { this.term = term; }
  get pid(): number { return this.term.pid; }
}
console.log(new Session(new pty.Terminal(shell, ['-l'], { cols: 10 })).pid);
