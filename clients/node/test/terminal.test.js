'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('child_process');
const crypto = require('crypto');
const path = require('path');

const { spawn } = require('..');
const { brokerPath, watch, endAll, pollUntil } = require('./support');

test.after(endAll);

const TIMEOUT = { timeout: 30000 };
const quietShell = { brokerPath, env: { ...process.env, PS1: '$ ' } };

test('echo through a real shell, then exit', TIMEOUT, async () => {
  const terminal = spawn('sh', [], quietShell);
  const seen = watch(terminal);
  assert.equal(terminal.pid, 0, 'no pid before the ready event');
  const pid = await terminal.ready;
  assert.ok(pid > 0 && terminal.pid === pid);
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
    { name: 'kill(SIGTERM) goes through the broker', file: 'sleep', args: ['30'], kill: ['SIGTERM'], expect: { exitCode: 0, signal: 15, reason: 'signal:15' } },
    { name: 'kill before ready waits for the pid', file: 'sleep', args: ['30'], killAtOnce: ['SIGKILL'], expect: { exitCode: 0, signal: 9, reason: 'signal:9' } }
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const terminal = spawn(c.file, c.args, { brokerPath });
      const seen = watch(terminal);
      if (c.killAtOnce) terminal.kill(...c.killAtOnce);
      await terminal.ready;
      if (c.kill) terminal.kill(...c.kill);
      assert.deepEqual(await seen.waitForExit(), c.expect);
    });
  }
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
  assert.throws(() => terminal.resize(0, 10), RangeError);
  terminal.write('exit\n');
  await seen.waitForExit();
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

test('the broker\'s diagnostics reach onError, and its failure the exit event', TIMEOUT, async () => {
  const terminal = spawn('sh', [], { brokerPath, cwd: '/nonexistent-directory' });
  const seen = watch(terminal);
  await assert.rejects(terminal.ready);
  const exit = await seen.waitForExit();
  assert.deepEqual(exit, { exitCode: 1, signal: 0, reason: 'broker-failed' });
  assert.ok(seen.errors.some((line) => /failed to spawn PTY child/.test(line)), seen.errors.join('\n'));
});

test('a missing broker or launcher is an error at spawn', async (t) => {
  const cases = [
    { name: 'option', options: { brokerPath: '/nonexistent/broker' }, message: /brokerPath/ },
    { name: 'environment', options: { env: { TERMINAL_STREAM_BROKER: '/nonexistent/broker' } }, message: /TERMINAL_STREAM_BROKER/ },
    { name: 'PATH', options: { env: { PATH: '/nonexistent' } }, message: /PATH/ },
    { name: 'launcher', options: { launcher: ['no-such-launcher-here'] }, message: /launcher/ }
  ];
  for (const c of cases) {
    await t.test(c.name, () => {
      assert.throws(() => spawn('sh', [], c.options), (error) => error.code === 'ENOENT' && c.message.test(error.message));
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
  const args = ['-c', 'printf "%s|" "$PWD" "$TERM" "$@"', 'sh', 'two words', "it's", '$HOME'];
  for (const l of launchers) {
    await t.test(l.name, async () => {
      const terminal = spawn('sh', args, { brokerPath, cwd: '/tmp', name: 'vt100', ...l.options });
      const seen = watch(terminal);
      assert.ok((await terminal.ready) > 0);
      assert.deepEqual(await seen.waitForExit(), { exitCode: 0, signal: 0, reason: 'exited' });
      assert.equal(seen.text, "/tmp|vt100|two words|it's|$HOME|");
    });
  }
});

test('the shells of a program that exits are hung up, not left running', TIMEOUT, async () => {
  // An interactive shell ignores the SIGTERM that the end of the broker's input brings.
  const program = `
    const { spawn } = require(${JSON.stringify(path.join(__dirname, '..'))});
    spawn('sh', ['-i'], { brokerPath: ${JSON.stringify(brokerPath)} }).ready.then((pid) => {
      console.log(pid);
      process.exit(0);
    });`;
  const child = childProcess.spawn(process.execPath, ['-e', program], { stdio: ['ignore', 'pipe', 'inherit'] });
  let output = '';
  child.stdout.on('data', (chunk) => { output += chunk; });
  await new Promise((resolve) => child.on('close', resolve));
  const shellPid = Number(output.trim());
  assert.ok(shellPid > 0, `no pid printed: ${JSON.stringify(output)}`);
  const alive = () => {
    try {
      process.kill(shellPid, 0);
      return true;
    } catch {
      return false;
    }
  };
  try {
    await pollUntil(() => !alive(), `shell ${shellPid} to end`);
  } finally {
    if (alive()) process.kill(shellPid, 'SIGKILL');
  }
});
