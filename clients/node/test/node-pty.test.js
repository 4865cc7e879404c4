'use strict';

// node-pty's public tests (its unixTerminal and terminal suites), run
// against this client: what a program that moves over relies on. Left out:
// the native internals (pts names, file descriptors, open(), the helper
// binary), the socket's write callback and drain event, and the Windows
// cases. Where a case depended on a fixed delay it waits for the event
// instead; where it read the pid at once it waits for `ready`, as before it
// the pid is the broker's (see the README).
const { describe, it, after } = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('child_process');
const os = require('os');
const path = require('path');

const pty = require('..');
const { Terminal } = pty;
const { watch, endAll, pollUntil } = require('./support');

after(endAll);

const TIMEOUT = { timeout: 30000 };
const CLIENT = JSON.stringify(path.join(__dirname, '..'));
const nodeProgram = (source) => [process.execPath, ['-e', source]];

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch {
    return false;
  }
}

/** Runs a Node program that uses the client; resolves with its output lines once it has printed `ready PID`. */
function runProgram(source) {
  const child = childProcess.spawn(process.execPath, ['-e', source], { stdio: ['ignore', 'pipe', 'inherit'] });
  const lines = [];
  let partial = '';
  let onReady;
  const ready = new Promise((resolve) => { onReady = resolve; });
  child.stdout.setEncoding('utf8');
  child.stdout.on('data', (text) => {
    const pieces = (partial + text).split('\n');
    partial = pieces.pop();
    for (const line of pieces.map((piece) => piece.trim()).filter(Boolean)) {
      if (line.startsWith('ready ')) onReady(Number(line.split(' ')[1]));
      else lines.push(line);
    }
  });
  const closed = new Promise((resolve) => child.on('close', resolve));
  return { child, lines, ready, closed };
}

describe('UnixTerminal', () => {
  describe('PtyForkEncodingOption', () => {
    it('should default to utf8', TIMEOUT, async () => {
      const term = new Terminal('/bin/bash', ['-c', "printf '\\303\\246'"]);
      const data = await new Promise((resolve) => term.on('data', resolve));
      assert.equal(typeof data, 'string');
      assert.equal(data, '\u00E6');
    });
    it('should return a Buffer when encoding is null', TIMEOUT, async () => {
      const term = new Terminal('/bin/bash', ['-c', "printf '\\303\\246'"], { encoding: null });
      const data = await new Promise((resolve) => term.on('data', resolve));
      assert.ok(data instanceof Buffer);
      assert.equal(data[0], 0xC3);
      assert.equal(data[1], 0xA6);
    });
    it('should support other encodings', TIMEOUT, async () => {
      const text = 'test æ!';
      const term = new Terminal(undefined, ['-c', 'echo "' + text + '"'], { encoding: 'base64' });
      let buffer = '';
      term.onData((data) => {
        assert.equal(typeof data, 'string');
        buffer += data;
      });
      await new Promise((resolve) => term.onExit(resolve));
      assert.equal(Buffer.alloc(8, buffer, 'base64').toString().replace('\r', '').replace('\n', ''), text);
    });
  });

  describe('close', () => {
    it('should exit when terminal is destroyed programmatically', TIMEOUT, async () => {
      const term = new Terminal(process.execPath);
      const exit = new Promise((resolve) => term.on('exit', (code, signal) => resolve([code, signal])));
      term.destroy();
      assert.deepEqual(await exit, [0, os.constants.signals.SIGHUP]);
    });
  });

  describe('signals in parent and child', () => {
    const sigintProgram = (childSource) => `
      const pty = require(${CLIENT});
      let parentGotIt = false;
      let ended = false;
      const leave = () => { if (parentGotIt && ended) process.exit(0); };
      process.on('SIGINT', () => { console.log('SIGINT in parent'); parentGotIt = true; leave(); });
      const ptyProcess = pty.spawn(process.execPath, ['-e', ${JSON.stringify(childSource)}], {
        name: 'xterm-color', cols: 80, rows: 30, cwd: process.env.HOME, env: process.env
      });
      let seen = '';
      ptyProcess.on('data', (data) => {
        console.log(data);
        seen += data;
        if (seen.includes('child-ready')) { seen = ''; console.log('ready', ptyProcess.pid); }
      });
      ptyProcess.on('exit', () => { ended = true; leave(); });`;

    it('SIGINT - custom in parent and child', TIMEOUT, async () => {
      const program = runProgram(sigintProgram(
        'process.on("SIGINT", () => { console.log("SIGINT in child"); process.exit(0); }); console.log("child-ready"); setInterval(() => {}, 1000);'));
      const pid = await program.ready;
      process.kill(pid, 'SIGINT');           // SIGINT to child
      program.child.kill('SIGINT');          // SIGINT to parent
      await program.closed;
      assert.ok(program.lines.includes('SIGINT in child'), program.lines.join('|'));
      assert.ok(program.lines.includes('SIGINT in parent'), program.lines.join('|'));
    });
    it('SIGINT - custom in parent, default in child', TIMEOUT, async () => {
      const program = runProgram(sigintProgram(
        'console.log("child-ready"); setTimeout(() => console.log("should not be printed"), 3000);'));
      const pid = await program.ready;
      process.kill(pid, 'SIGINT');
      program.child.kill('SIGINT');
      await program.closed;
      assert.ok(!program.lines.includes('should not be printed'), program.lines.join('|'));
      assert.ok(program.lines.includes('SIGINT in parent'), program.lines.join('|'));
    });
    it('SIGHUP default (child only)', TIMEOUT, async () => {
      const term = new Terminal(...nodeProgram("console.log('ready'); setTimeout(() => console.log('timeout'), 3000);"));
      let buffer = '';
      let seen = '';
      term.on('data', (data) => {
        seen += data;
        if (seen === 'ready\r\n') term.kill();
        else if (seen.startsWith('ready\r\n')) buffer += data;
      });
      const exit = await new Promise((resolve) => term.onExit(resolve));
      assert.equal(buffer, '');
      assert.equal(exit.signal, os.constants.signals.SIGHUP);
    });
    it('SIGUSR1 - custom in parent and child', TIMEOUT, async () => {
      let parentCalls = 0;
      const handler = () => {
        parentCalls += 1;
        process.removeListener('SIGUSR1', handler);
      };
      process.on('SIGUSR1', handler);
      const term = new Terminal(...nodeProgram(
        "process.on('SIGUSR1', () => { console.log('SIGUSR1 in child'); process.exit(0); }); console.log('ready'); setInterval(() => {}, 1000);"));
      let buffer = '';
      let seen = '';
      term.on('data', (data) => {
        seen += data;
        if (seen === 'ready\r\n') {
          process.kill(process.pid, 'SIGUSR1');
          term.kill('SIGUSR1');
        } else if (seen.startsWith('ready\r\n')) {
          buffer += data;
        }
      });
      await new Promise((resolve) => term.on('exit', resolve));
      assert.equal(parentCalls, 1);
      assert.equal(buffer, 'SIGUSR1 in child\r\n');
    });
  });

  describe('spawn', () => {
    it('should not leak pty file descriptors to child processes', TIMEOUT, async () => {
      const ptys = [new Terminal('/bin/bash', ['--norc', '--noprofile'], {}), new Terminal('/bin/bash', ['--norc', '--noprofile'], {})];
      await Promise.all(ptys.map((term) => term.ready));
      const third = watch(new Terminal('/bin/sh', ['-c', 'echo "PTMX_COUNT:$(ls -l /proc/$$/fd/ | grep -c ptmx)"']));
      await third.waitForExit();
      for (const term of ptys) term.kill('SIGKILL');
      assert.match(third.text, /PTMX_COUNT:0\r\n/);
    });
    it('should return the name of the process', TIMEOUT, async () => {
      const term = new Terminal('/bin/echo');
      assert.equal(term.process, '/bin/echo');
      await new Promise((resolve) => term.on('exit', resolve));
    });
    it('should return the name of the sub process', TIMEOUT, async () => {
      const term = new Terminal('bash', ['--norc', '--noprofile', '-i']);
      const seen = watch(term);
      await term.ready;
      term.write('exec 2>/dev/null; sleep 30\r');
      await pollUntil(() => term.process === 'sleep', 'sleep in the foreground');
      term.kill('SIGKILL');
      await seen.waitForExit();
    });
    it('should handle exec() errors', TIMEOUT, async () => {
      const term = new Terminal('/bin/bogus.exe', []);
      const code = await new Promise((resolve) => term.on('exit', resolve));
      assert.equal(code, 1);
    });
    it('should handle chdir() errors', TIMEOUT, async () => {
      const term = new Terminal('/bin/echo', [], { cwd: '/nowhere' });
      const code = await new Promise((resolve) => term.on('exit', resolve));
      assert.equal(code, 1);
    });
    it('should not leak child process', TIMEOUT, async () => {
      const term = new Terminal(...nodeProgram("console.log('ready'); setTimeout(() => console.log('timeout'), 3000);"));
      const seen = watch(term);
      await seen.waitForText(/ready\r\n/);
      const shellPid = await term.ready;
      process.kill(term.pid, 'SIGINT');
      const exit = await seen.waitForExit();
      assert.equal(exit.signal, os.constants.signals.SIGINT);
      await pollUntil(() => !alive(shellPid) && !alive(term.brokerPid), 'the shell and the broker to be gone');
    });
  });
});

describe('Terminal', () => {
  describe('constructor', () => {
    it('should do basic type checks', () => {
      assert.throws(() => new Terminal('a', 'b', { name: {} }), /args as a string is not supported/);
      assert.throws(() => new Terminal('a', [], { name: {} }), /name must be a string \(not a object\)/);
    });
  });

  describe('write basics', () => {
    it('should emit "data"', TIMEOUT, async () => {
      const terminal = pty.spawn();
      const seen = watch(terminal);
      let allTheData = '';
      terminal.on('data', (chunk) => { allTheData += chunk; });
      terminal.write('hello');
      terminal.write('world');
      await seen.waitForText(/helloworld/);
      assert.match(allTheData, /helloworld/);
      terminal.kill('SIGKILL');
      await seen.waitForExit();
    });
  });

  describe('automatic flow control', () => {
    it('should respect ctor flow control options', TIMEOUT, async () => {
      const term = new Terminal('/bin/bash', ['--norc', '--noprofile'], { handleFlowControl: true, flowControlPause: 'PAUSE', flowControlResume: 'RESUME' });
      assert.equal(term.handleFlowControl, true);
      const seen = watch(term);
      await term.ready;
      // The pause and resume strings are obeyed, not typed.
      term.write('PAUSE');
      term.write('echo one$((1+1))\r');
      term.write('RESUME');
      await seen.waitForText(/one2\r\n/);
      term.handleFlowControl = false;
      term.write('echo PAUSE$((1+1))\r');
      await seen.waitForText(/PAUSE2\r\n/);
      assert.doesNotMatch(seen.text.replace(/PAUSE\$/g, '').replace(/PAUSE2/g, ''), /PAUSE|RESUME/);
      term.kill('SIGKILL');
      await seen.waitForExit();
    });
  });

  describe('listeners', () => {
    it('a disposed or removed listener hears nothing more', TIMEOUT, async () => {
      const term = new Terminal('/bin/sh', ['-c', 'echo one; read line; echo two']);
      const seen = watch(term);
      let disposedSaw = '';
      let removedSaw = '';
      let onceCalls = 0;
      const removed = (data) => { removedSaw += data; };
      const subscription = term.onData((data) => { disposedSaw += data; });
      term.on('data', removed);
      term.once('data', () => { onceCalls += 1; });
      await seen.waitForText(/one\r\n/);
      subscription.dispose();
      term.removeListener('data', removed);
      term.write('\r');
      await seen.waitForText(/two\r\n/);
      await seen.waitForExit();
      assert.doesNotMatch(disposedSaw + removedSaw, /two/);
      assert.equal(onceCalls, 1);
    });
  });
});
