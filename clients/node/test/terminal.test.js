'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

const { spawn } = require('..');
const { brokerPath, watch, endAll, pollUntil } = require('./support');

test.after(endAll);

const TIMEOUT = { timeout: 30000 };
const quietShell = { brokerPath, env: { ...process.env, PS1: '$ ' } };

test('echo through a real shell, then exit', TIMEOUT, async () => {
  const terminal = spawn('sh', [], quietShell);
  const seen = watch(terminal);
  assert.ok(terminal.pid > 0 && terminal.pid === terminal.brokerPid, 'the broker\'s pid before the ready event');
  const pid = await terminal.ready;
  assert.ok(pid > 0 && terminal.pid === pid && pid !== terminal.brokerPid);
  terminal.write('echo hel""lo\n');
  // The shell's prompt may come before or after the echo of what was typed.
  await seen.waitForText(/(^|\s)hello\r\n/);
  terminal.write('exit\n');
  assert.deepEqual(await seen.waitForExit(), { exitCode: 0, signal: 0, reason: 'exited' });
});

test('a character split between two reads arrives whole', TIMEOUT, async () => {
  // The euro sign is E2 82 AC; the pause makes the broker read its halves apart.
  const script = "printf '\\342'; sleep 0.3; printf '\\202\\254'";
  const raw = watch(spawn('sh', ['-c', script], { brokerPath, encoding: null }));
  const text = watch(spawn('sh', ['-c', script], { brokerPath }));
  await Promise.all([raw.waitForExit(), text.waitForExit()]);
  assert.ok(raw.chunks.length >= 2, `expected the halves in two data events, saw ${raw.chunks.length}`);
  assert.deepEqual(Buffer.concat(raw.chunks), Buffer.from('€'));
  assert.equal(text.text, '€');
});

test('exit codes and signals reach the exit event', TIMEOUT, async (t) => {
  const cases = [
    { name: 'exit status', file: 'sh', args: ['-c', 'exit 7'], expect: { exitCode: 7, signal: 0, reason: 'exited' } },
    { name: 'killed by a signal', file: 'sh', args: ['-c', 'kill -9 $$'], expect: { exitCode: 0, signal: 9, reason: 'signal:9' } },
    { name: 'kill() sends SIGHUP', file: 'sleep', args: ['30'], kill: [], expect: { exitCode: 0, signal: 1, reason: 'signal:1' } },
    { name: 'kill(SIGTERM)', file: 'sleep', args: ['30'], kill: ['SIGTERM'], expect: { exitCode: 0, signal: 15, reason: 'signal:15' } },
    { name: 'kill(SIGINT) through a launcher', file: 'sleep', args: ['30'], options: { launcher: ['env'] }, kill: ['SIGINT'], expect: { exitCode: 0, signal: 2, reason: 'signal:2' } },
    { name: 'kill before ready waits for the pid', file: 'sleep', args: ['30'], killAtOnce: ['SIGKILL'], expect: { exitCode: 0, signal: 9, reason: 'signal:9' } }
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const terminal = spawn(c.file, c.args, { brokerPath, ...c.options });
      const seen = watch(terminal);
      if (c.killAtOnce) terminal.kill(...c.killAtOnce);
      await terminal.ready;
      if (c.kill) terminal.kill(...c.kill);
      assert.deepEqual(await seen.waitForExit(), c.expect);
    });
  }
});

test('a signal sent to pid right after spawn ends the session, not this process', TIMEOUT, async () => {
  // Before the shell has started, pid is the broker's (or, for an instant, its
  // process before exec): SIGTERM ends the session either way.
  const terminal = spawn('sleep', ['30'], { brokerPath });
  const seen = watch(terminal);
  assert.ok(terminal.pid > 0);
  process.kill(terminal.pid, 'SIGTERM');
  assert.equal((await seen.waitForExit()).signal, 15);
});

test('resize is seen by stty size', TIMEOUT, async () => {
  const terminal = spawn('sh', [], { ...quietShell, cols: 90, rows: 20 });
  const seen = watch(terminal);
  terminal.write('stty size\n');
  await seen.waitForText(/(^|\s)20 90\r\n/);
  terminal.resize(132, 43);
  assert.deepEqual([terminal.cols, terminal.rows], [132, 43]);
  terminal.write('stty size\n');
  await seen.waitForText(/(^|\s)43 132\r\n/);
  // As node-pty: fractions are cut, too large is the largest, only what cannot be a size throws.
  terminal.resize(100.7, 70000);
  assert.deepEqual([terminal.cols, terminal.rows], [100, 65535]);
  for (const bad of [0, -1, NaN, Infinity]) assert.throws(() => terminal.resize(bad, 10), /positive/);
  terminal.write('stty size\n');
  await seen.waitForText(/(^|\s)65535 100\r\n/);
  terminal.write('exit\n');
  await seen.waitForExit();
});

test('a program sees its size as it starts', TIMEOUT, async () => {
  // stty is exec'd at once: a size set by a command after the start would come too late.
  const sizes = Array.from({ length: 20 }, (_, n) => (n % 2 ? { cols: 100, rows: 30 } : { cols: 80, rows: 24 }));
  const seen = sizes.map((size) => watch(spawn('stty', ['size'], { brokerPath, ...size })));
  await Promise.all(seen.map((s) => s.waitForExit()));
  assert.deepEqual(seen.map((s) => s.text), sizes.map(({ cols, rows }) => `${rows} ${cols}\r\n`));
});

test('a 2 MB paste reaches the program intact', TIMEOUT, async () => {
  const size = 2 * 1024 * 1024;
  const script = `stty raw -echo; echo READY; head -c ${size} | sha256sum`;
  const terminal = spawn('sh', ['-c', script], { brokerPath });
  const seen = watch(terminal);
  await seen.waitForText(/READY/);
  // Random text with multi-byte characters, which the pieces of a long write may cut.
  const pasted = Buffer.from(Array.from({ length: size / 8 }, () => crypto.randomBytes(3).toString('hex') + 'é').join(''));
  assert.equal(pasted.length, size);
  terminal.write(pasted.toString('utf8'));
  const digest = crypto.createHash('sha256').update(pasted).digest('hex');
  await seen.waitForText(new RegExp(digest));
  await seen.waitForExit();
});

test('all output is delivered before the exit event', TIMEOUT, async () => {
  const count = 3000000;
  const terminal = spawn('sh', ['-c', `head -c ${count} /dev/zero | tr '\\0' x; printf END; exit 5`], { brokerPath });
  let textAtExit = '';
  const seen = watch(terminal);
  terminal.onExit(() => { textAtExit = seen.text; });
  assert.deepEqual(await seen.waitForExit(), { exitCode: 5, signal: 0, reason: 'exited' });
  assert.equal(textAtExit.length, count + 3);
  assert.ok(textAtExit.endsWith('xEND'));
});

test('a launch failure shows in the terminal before the exit event', TIMEOUT, async (t) => {
  const cases = [
    { name: 'missing program', file: '/nonexistent/program', options: {} },
    { name: 'missing directory', file: 'sh', options: { cwd: '/nonexistent-directory' } }
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const terminal = spawn(c.file, [], { brokerPath, ...c.options });
      const seen = watch(terminal);
      await assert.rejects(terminal.ready);
      assert.deepEqual(await seen.waitForExit(), { exitCode: 1, signal: 0, reason: 'broker-failed' });
      assert.match(seen.text, /^terminal-stream-broker: .*No such file or directory.*\r\n$/);
      assert.ok(seen.errors.some((line) => /No such file or directory/.test(line)), seen.errors.join('\n'));
    });
  }
});

test('an error nobody listens for becomes one process warning', TIMEOUT, async () => {
  const warnings = [];
  const onWarning = (warning) => { if (warning.code === 'TERMINAL_STREAM_UNHANDLED_ERROR') warnings.push(warning); };
  process.on('warning', onWarning);
  try {
    const terminal = spawn('sh', [], { brokerPath, cwd: '/nonexistent-directory' });
    await new Promise((resolve) => terminal.onExit(resolve));
    // Warnings are emitted on the next tick.
    await new Promise((resolve) => setImmediate(resolve));
  } finally {
    process.off('warning', onWarning);
  }
  assert.equal(warnings.length, 1, 'two errors (the diagnostic and the failure), one warning');
  assert.match(warnings[0].message, /No such file or directory/);
});

test('the broker is found through this process\'s environment, the shell gets the program\'s', TIMEOUT, async (t) => {
  const cases = [
    { name: 'no TERM given', env: { FOO: 'bar' }, expect: ['FOO=bar', 'TERM=xterm'] },
    { name: 'TERM from env', env: { TERM: 'vt100' }, expect: ['TERM=vt100'] },
    { name: 'name wins', env: { TERM: 'vt100', A: '1' }, term: 'xterm-256color', expect: ['A=1', 'TERM=xterm-256color'] }
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      // No brokerPath, and an environment without PATH or TERMINAL_STREAM_BROKER.
      const terminal = spawn('/usr/bin/env', [], { env: c.env, name: c.term, cols: 100, rows: 30 });
      const seen = watch(terminal);
      await seen.waitForExit();
      assert.deepEqual(seen.text.split('\r\n').filter(Boolean).sort(), c.expect);
    });
  }
});

test('a missing broker or launcher is an error at spawn', async (t) => {
  const cases = [
    { name: 'option', options: { brokerPath: '/nonexistent/broker' }, message: /brokerPath/ },
    { name: 'environment', processEnv: { TERMINAL_STREAM_BROKER: '/nonexistent/broker' }, message: /TERMINAL_STREAM_BROKER/ },
    { name: 'PATH', processEnv: { TERMINAL_STREAM_BROKER: undefined, PATH: '/nonexistent' }, message: /PATH/ },
    { name: 'launcher', options: { launcher: ['no-such-launcher-here'] }, message: /launcher/ }
  ];
  for (const c of cases) {
    await t.test(c.name, () => {
      const saved = { ...process.env };
      try {
        for (const [name, value] of Object.entries(c.processEnv ?? {})) {
          if (value === undefined) delete process.env[name];
          else process.env[name] = value;
        }
        assert.throws(() => spawn('sh', [], c.options), (error) => error.code === 'ENOENT' && c.message.test(error.message));
      } finally {
        for (const name of Object.keys(c.processEnv ?? {})) process.env[name] = saved[name];
      }
    });
  }
});

test('a launcher carries the broker, its settings and awkward arguments', TIMEOUT, async (t) => {
  const launchers = [
    // Passes the command on as it is, as `kubectl exec -i POD --` does.
    { name: 'argument vector', options: { launcher: ['env'] } },
    // Joins the command into one line for a shell, as ssh does.
    { name: 'shell line', options: { launcher: ['sh', '-c', 'exec sh -c "$*"', 'ssh'], launcherShell: true } }
  ];
  const args = ['-c', 'printf "%s|" "$PWD" "$TERM" "$(stty size)" "${TERMINAL_STREAM_CWD-none}" "$@"', 'sh', 'two words', "it's", '$HOME'];
  for (const l of launchers) {
    await t.test(l.name, async () => {
      const terminal = spawn('sh', args, { brokerPath, cwd: '/tmp', name: 'vt100', cols: 100, rows: 30, ...l.options });
      const seen = watch(terminal);
      assert.ok((await terminal.ready) > 0);
      assert.deepEqual(await seen.waitForExit(), { exitCode: 0, signal: 0, reason: 'exited' });
      assert.equal(seen.text, "/tmp|vt100|30 100|none|two words|it's|$HOME|");
    });
  }
});

test('a program that dies, however, leaves no broker and no shell behind', { timeout: 90000 }, async (t) => {
  // The broker sees the end of its standard input and ends the shell, even
  // an interactive one that ignores SIGTERM.
  const program = `
    const { spawn } = require(${JSON.stringify(path.join(__dirname, '..'))});
    const terminal = spawn('bash', ['--norc', '--noprofile', '-i'], { brokerPath: ${JSON.stringify(brokerPath)} });
    terminal.ready.then((pid) => {
      console.log(terminal.brokerPid, pid);
      if (process.argv[1] === 'exit') process.exit(0);
    });`;
  for (const death of ['exit', 'SIGKILL', 'SIGTERM', 'SIGINT', 'SIGHUP']) {
    await t.test(death, async () => {
      const child = childProcess.spawn(process.execPath, ['-e', program, death], { stdio: ['ignore', 'pipe', 'inherit'] });
      const closed = new Promise((resolve) => child.on('close', resolve));
      let output = '';
      child.stdout.on('data', (chunk) => { output += chunk; });
      await pollUntil(() => output.includes('\n'), 'the program to print its pids');
      const pids = output.trim().split(' ').map(Number);
      assert.ok(pids.length === 2 && pids.every((pid) => pid > 0), `pids printed: ${JSON.stringify(output)}`);
      if (death !== 'exit') child.kill(death);
      await closed;
      try {
        await pollUntil(() => pids.every(gone), 'the broker and bash to end', 8000);
      } finally {
        for (const pid of pids.filter((pid) => !gone(pid))) process.kill(pid, 'SIGKILL');
      }
    });
  }
});

test('a ^C at the program\'s own terminal reaches the program, not its terminals', TIMEOUT, async () => {
  // The program handles SIGINT, as an editor or a REPL does, and then uses
  // its terminal: the ^C must not have ended the session behind it.
  const program = `
    const { spawn } = require(${JSON.stringify(path.join(__dirname, '..'))});
    const terminal = spawn('sh', [], { brokerPath: ${JSON.stringify(brokerPath)}, env: { ...process.env, PS1: '$ ' } });
    let output = '';
    terminal.onData((data) => {
      output += data;
      if (/(^|\\s)alive\\r\\n/.test(output)) { console.log('alive'); process.exit(0); }
    });
    terminal.onExit(() => { console.log('ended'); process.exit(1); });
    // A second later: a broker that the ^C reached has ended the shell by then.
    process.on('SIGINT', () => terminal.write('sleep 1; echo al""ive\\n'));
    terminal.ready.then(() => console.log('ready'));`;
  // A process group of its own, as a shell gives the command it runs.
  const child = childProcess.spawn(process.execPath, ['-e', program], { detached: true, stdio: ['ignore', 'pipe', 'inherit'] });
  const closed = new Promise((resolve) => child.on('close', resolve));
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  try {
    await pollUntil(() => output.includes('ready'), 'the terminal to be ready');
    process.kill(-child.pid, 'SIGINT');
    await closed;
    assert.equal(output.trim().split('\n').pop(), 'alive');
  } finally {
    try {
      if (child.exitCode === null) process.kill(-child.pid, 'SIGKILL');
    } catch {
      // it ended meanwhile
    }
  }
});

test('a 6 MiB paste with the default window comes back whole from cat', { timeout: 60000 }, async () => {
  const size = 6 * 1048576;
  const terminal = spawn('sh', ['-c', 'stty raw -echo; echo READY; exec cat'], { brokerPath, encoding: null });
  const seen = watch(terminal);
  await pollUntil(() => Buffer.concat(seen.chunks).includes('READY\n'), 'the terminal in raw mode');
  const skip = seen.bytes;
  const pasted = crypto.randomBytes(size);
  terminal.write(pasted);
  await pollUntil(() => seen.bytes >= skip + size, `${size} bytes back`, 50000);
  const back = Buffer.concat(seen.chunks).subarray(skip);
  assert.equal(back.length, size);
  assert.ok(back.equals(pasted), 'the bytes that came back differ from those pasted');
  terminal.kill();
  await seen.waitForExit();
});

/** No process, or a zombie that nobody has reaped yet. */
function gone(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].startsWith('Z');
  } catch {
    return true;
  }
}
