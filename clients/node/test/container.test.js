'use strict';

// Shells in containers: the client over `docker exec -i` into a container of
// a real dockerd that this test starts (see container-host.js), the broker
// installed in the image from the build's Debian package.

const test = require('node:test');
const assert = require('node:assert/strict');

const { spawn } = require('..');
const { brokerPath, watch, endAll, pollUntil } = require('./support');
const { containerSkipReason, startContainerHost } = require('./container-host');

const skip = containerSkipReason();
if (skip) console.log(`# skipped: ${skip}`);
const TIMEOUT = { timeout: 60000, skip };

let host;
let container;
let idle;

test.before(async () => {
  if (skip) return;
  host = await startContainerHost({ brokerPath });
  container = host.startContainer();
  idle = commands(container);
});
// A failed test's sessions end with it, or the next test's check that the
// container is empty fails for them too.
test.afterEach(endAll);
test.after(() => {
  endAll();
  host?.stop();
});

const commands = (name) => host.processes(name).map((found) => found.command).sort();

/** A shell in the container; the launcher line sets TERM and the size there. */
function inContainer(file, args, options = {}) {
  return spawn(file, args, { launcher: host.launcher(options.container ?? container), ...options });
}

/** Waits until the container runs only what it ran before any session: its init and sleep. */
function containerEmpties(what, name = container) {
  return pollUntil(() => String(commands(name)) === String(idle), `${what}; docker top: ${JSON.stringify(commands(name))}`);
}

test('over docker exec -i: echo, the size at start and after a resize, the exit status, nothing left', TIMEOUT, async () => {
  const terminal = inContainer('sh', ['-i'], { cols: 90, rows: 30 });
  const seen = watch(terminal);
  const shellPid = await terminal.ready;
  assert.ok(host.processes(container).some((found) => found.innerPid === shellPid && found.command === 'sh -i'),
    `the ready event names the shell in the container: ${JSON.stringify(host.processes(container))}`);
  terminal.write('echo hel""lo\n');
  await seen.waitForText(/(^|\s)hello\r\n/);
  // Typed before the shell's prompt, a command's echo comes first and its
  // output follows the prompt on the same line ("stty size\r\n# 41 123").
  terminal.write('stty size\n');
  await seen.waitForText(/(^|\s)30 90\r\n/);
  terminal.resize(123, 41);
  terminal.write('stty size\n');
  await seen.waitForText(/(^|\s)41 123\r\n/);
  terminal.write('exit 7\n');
  assert.deepEqual(await seen.waitForExit(), { exitCode: 7, signal: 0, reason: 'exited' });
  await containerEmpties('the session to leave the container');
});

test('kill(SIGINT) reaches the sleep in the container; destroy() ends a shell there', TIMEOUT, async () => {
  const sleeper = inContainer('sleep', ['300']);
  const slept = watch(sleeper);
  const sleepPid = await sleeper.ready;
  assert.ok(host.processes(container).some((found) => found.innerPid === sleepPid && found.command === 'sleep 300'),
    `the ready event names the sleep in the container: ${JSON.stringify(host.processes(container))}`);
  sleeper.kill('SIGINT');
  assert.deepEqual(await slept.waitForExit(), { exitCode: 0, signal: 2, reason: 'signal:2' });
  await containerEmpties('the sleep and its broker to end');

  // An interactive shell (it ignores SIGTERM) busy with a child.
  const shell = inContainer('sh', ['-i']);
  const seen = watch(shell);
  await shell.ready;
  shell.write('sleep 300\n');
  await pollUntil(() => commands(container).includes('sleep 300'), 'the sleep in the container');
  shell.destroy();
  const exit = await seen.waitForExit(20000);
  assert.notEqual(exit.reason, 'broker-failed', `the broker's closed line came back: ${seen.errors.join('\n')}`);
  await containerEmpties('the shell, its sleep and the broker to end');
});

test('a killed docker client: broker-failed here, and the session ends in the container', TIMEOUT, async () => {
  const terminal = inContainer('sh', ['-i']);
  const seen = watch(terminal);
  await terminal.ready;
  process.kill(terminal.brokerPid, 'SIGKILL');
  assert.deepEqual(await seen.waitForExit(), { exitCode: 1, signal: 9, reason: 'broker-failed' });
  // The daemon closes the exec's input when its client goes; the broker's
  // ladder ends the interactive shell, which ignores SIGTERM.
  await containerEmpties('the broker and shell in the container to end');
});

test('no broker in the image: broker-failed, with the launcher\'s status and message', TIMEOUT, async () => {
  const bare = host.startContainer('bare');
  const terminal = inContainer('sh', [], { container: bare });
  const seen = watch(terminal);
  const exit = await seen.waitForExit();
  await assert.rejects(terminal.ready, /before its ready event/);
  assert.deepEqual(exit, { exitCode: 127, signal: 0, reason: 'broker-failed' });
  const message = /terminal-stream-broker.*No such file or directory/;
  assert.ok(seen.errors.some((line) => message.test(line)), seen.errors.join('\n'));
  assert.ok(seen.errors.includes('the broker ended without a closed event (status 127)'), seen.errors.join('\n'));
  assert.match(seen.text, message, 'the cause is shown in the terminal too');
});

test('the container stopped under a running session: the lost transport is reported, nothing hangs', TIMEOUT, async () => {
  const doomed = host.startContainer();
  const terminal = inContainer('sh', ['-i'], { container: doomed });
  const seen = watch(terminal);
  await terminal.ready;
  host.run('stop', doomed);
  // The container's end kills the exec'd broker: docker exec gives 128 + SIGKILL.
  assert.deepEqual(await seen.waitForExit(), { exitCode: 137, signal: 0, reason: 'broker-failed' });
  assert.ok(seen.errors.includes('the broker ended without a closed event (status 137)'), seen.errors.join('\n'));
});
