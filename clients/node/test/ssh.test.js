'use strict';

// Shells on another machine: the client over `ssh -T` to a real sshd that
// this test starts (see ssh-host.js), with the broker installed there from
// the build's Debian package.

const test = require('node:test');
const assert = require('node:assert/strict');

const { spawn } = require('..');
const { brokerPath, watch, endAll, pollUntil } = require('./support');
const { sshSkipReason, startSshHost } = require('./ssh-host');

const skip = sshSkipReason();
if (skip) console.log(`# skipped: ${skip}`);
const TIMEOUT = { timeout: 60000, skip };

let host;
test.before(async () => {
  if (skip) return;
  host = await startSshHost({ brokerPath });
  if (host.fallback) console.log(`# ${host.fallback}`);
});
test.after(() => {
  endAll();
  if (host) host.stop();
});

/** A shell on the far side; `env` does not travel over ssh, so the prompt is sh's own for root. */
function remote(file, args, options = {}) {
  return spawn(file, args, { launcher: host.launcher, launcherShell: true, ...options });
}

/** Waits until nothing runs below the far side's sshd: no session, broker or shell. */
function farSideEmpties(what) {
  return pollUntil(() => host.farProcesses().length === 0, `${what}; still there: ${JSON.stringify(host.farProcesses())}`, 15000);
}

test('over ssh -T: echo, resize, and the shell\'s exit status', TIMEOUT, async () => {
  const terminal = remote('sh', ['-i'], { cols: 90, rows: 30 });
  const seen = watch(terminal);
  await terminal.ready;
  terminal.write('echo hel""lo\n');
  await seen.waitForText(/(^|\s)hello\r\n/);
  terminal.write('stty size\n');
  await seen.waitForText(/30 90\r\n/);
  terminal.resize(123, 41);
  terminal.write('stty size\n');
  await seen.waitForText(/41 123\r\n/);
  terminal.write('exit 7\n');
  assert.deepEqual(await seen.waitForExit(), { exitCode: 7, signal: 0, reason: 'exited' });
  await farSideEmpties('the far side to end with the session');
});

test('kill(SIGINT) over ssh reaches the far shell\'s process', TIMEOUT, async () => {
  const terminal = remote('sleep', ['300']);
  const seen = watch(terminal);
  const farPid = await terminal.ready;
  assert.ok(host.farProcesses().some((found) => found.pid === farPid && /^sleep 300/.test(found.command)),
    `the ready event names the far side's sleep (pid ${farPid})`);
  terminal.kill('SIGINT');
  assert.deepEqual(await seen.waitForExit(), { exitCode: 0, signal: 2, reason: 'signal:2' });
});

test('a killed ssh is reported as broker-failed, and the far side ends its shell', TIMEOUT, async () => {
  const terminal = remote('sh', ['-i']);
  const seen = watch(terminal);
  const farPid = await terminal.ready;
  assert.ok(host.farProcesses().some((found) => found.pid === farPid), 'the far shell runs');
  process.kill(terminal.brokerPid, 'SIGKILL');
  assert.deepEqual(await seen.waitForExit(), { exitCode: 1, signal: 9, reason: 'broker-failed' });
  assert.ok(seen.errors.some((message) => /without a closed event \(signal SIGKILL\)/.test(message)), seen.errors.join('\n'));
  // sshd sees the connection go and ends the broker's stdin; the broker's
  // ladder ends the interactive shell, which ignores SIGTERM.
  await farSideEmpties('the broker and shell on the far side to end');
});

test('ssh\'s own failure reaches onError, with its exit status', TIMEOUT, async () => {
  // This run's host key is not in an empty known-hosts file: ssh refuses.
  const launcher = host.launcher.map((arg) => arg.replace(/^UserKnownHostsFile=.*/, 'UserKnownHostsFile=/dev/null'));
  const terminal = spawn('sh', [], { launcher, launcherShell: true });
  const seen = watch(terminal);
  assert.deepEqual(await seen.waitForExit(), { exitCode: 255, signal: 0, reason: 'broker-failed' });
  assert.ok(seen.errors.some((message) => /Host key verification failed/.test(message)), seen.errors.join('\n'));
  assert.match(seen.text, /Host key verification failed/, 'the cause is shown in the terminal too');
});

// A transport that never passes on the end of its standard input, as an
// exec channel of some container orchestrators does: it forwards input and
// output, and holds the far side's stdin open until the far side ends.
const HOLDING_TRANSPORT = `
const child = require('child_process').spawn(process.argv[1], process.argv.slice(2), { stdio: ['pipe', 'inherit', 'inherit'] });
process.stdin.on('data', (data) => child.stdin.write(data));
process.stdin.on('end', () => {});
child.stdin.on('error', () => {});
child.on('exit', (code, signal) => process.exit(signal ? 128 : code));
`;

test('destroy() ends the far side even through a transport that keeps stdin open', TIMEOUT, async () => {
  const launcher = [process.execPath, '-e', HOLDING_TRANSPORT, ...host.launcher];
  // The hang-up alone does not end this shell: only the broker's ladder does.
  const terminal = remote('sh', ['-c', 'trap "" HUP; echo started; sleep 300'], { launcher });
  const seen = watch(terminal);
  await terminal.ready;
  await pollUntil(() => host.farProcesses().some((found) => /^sleep 300/.test(found.command)), 'the far sleep');
  terminal.destroy();
  const exit = await seen.waitForExit(20000);
  assert.notEqual(exit.reason, 'broker-failed', 'the broker\'s closed line came back');
  await farSideEmpties('the far side to end');
});
