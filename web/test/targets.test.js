'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const os = require('os');
const path = require('path');

const { localTargets, launcherTargets, readTargetsFile, takeLauncherOption } = require('../lib/targets');

test('--launcher CMD ARGS... -- is taken out of the server\'s arguments', () => {
  const cases = [
    { argv: ['--port', '0', '--launcher', 'ssh', '-T', '-p', '2222', 'build-host', '--', '--grace', '0', '--', 'bash'],
      launcher: ['ssh', '-T', '-p', '2222', 'build-host'], rest: ['--port', '0', '--grace', '0', '--', 'bash'] },
    { argv: ['--port', '0', '--', 'bash', '--launcher'], launcher: undefined, rest: ['--port', '0', '--', 'bash', '--launcher'] },
    { argv: ['--launcher', 'ssh', 'host'], error: /must end with --/ }
  ];
  for (const c of cases) {
    if (c.error) assert.throws(() => takeLauncherOption(c.argv), c.error);
    else assert.deepEqual(takeLauncherOption(c.argv), { launcher: c.launcher, rest: c.rest });
  }
});

test('targets file: names checked, the page picks by name only, each target spawns where it says', () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-targets-'));
  const write = (content) => {
    const file = path.join(dir, 'targets.json');
    fs.writeFileSync(file, typeof content === 'string' ? content : JSON.stringify(content));
    return file;
  };
  try {
    const bad = [
      ['{', /--targets .*JSON/],
      [[], /an object of named targets/],
      [{}, /no target/],
      [{ 'a b': {} }, /a name is/],
      [{ h: { launcher: 'ssh h' } }, /launcher is a non-empty array/],
      [{ h: { launcher: ['ssh', 'h'], command: ['rm'] } }, /unknown command/],
      [{ h: { broker: '/x' } }, /broker and launcherShell are for a launcher/]
    ];
    for (const [content, error] of bad) assert.throws(() => readTargetsFile(write(content)), error, JSON.stringify(content));

    const targets = readTargetsFile(write({
      'build-host': { launcher: ['/usr/bin/ssh', '-T', 'build-host'], broker: '/opt/tsb/terminal-stream-broker' },
      pod: { launcher: ['kubectl', 'exec', '-i', 'my-pod', '--'], shell: ['bash'] },
      here: {}
    }));
    assert.deepEqual(targets.names, ['build-host', 'pod', 'here']);
    assert.equal(targets.find(undefined).name, 'build-host', 'the first is the default');
    assert.equal(targets.find('nowhere'), undefined);
    assert.equal(targets.find('constructor'), undefined);

    const server = { shell: undefined, spawnOptions: { brokerPath: '/here/terminal-stream-broker', env: { A: '1' } } };
    const ssh = targets.spawnArguments(targets.find('build-host'), server);
    assert.equal(ssh.file, 'sh', 'the far side\'s own login shell by default');
    assert.deepEqual(ssh.options, { env: { A: '1' }, launcher: ['/usr/bin/ssh', '-T', 'build-host'], launcherShell: true, brokerPath: '/opt/tsb/terminal-stream-broker' });
    const pod = targets.spawnArguments(targets.find('pod'), server);
    assert.deepEqual([pod.file, pod.args, pod.options.launcherShell, pod.options.brokerPath], ['bash', [], false, undefined],
      'this machine\'s broker path never goes to the far side');
    const here = targets.spawnArguments(targets.find('here'), { ...server, shell: ['zsh', '-l'] });
    assert.deepEqual(here, { file: 'zsh', args: ['-l'], options: server.spawnOptions });
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});

test('one launcher, or none: a single target', () => {
  assert.deepEqual(launcherTargets(['ssh', '-T', 'build-host']).names, ['build-host']);
  assert.deepEqual(launcherTargets(['docker', 'exec', '-i', 'web-1']).names, ['web-1']);
  assert.deepEqual(localTargets().names, ['local']);
});
