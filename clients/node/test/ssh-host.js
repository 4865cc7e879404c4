'use strict';

// A real OpenSSH server for the tests of shells on another machine: sshd,
// started as root in a network namespace of its own (a veth pair gives it an
// address), else on a free loopback port; a host key and a user key made for
// the run; and the broker installed from the Debian package that the build
// makes, extracted into a prefix that the sessions' PATH reaches. Everything
// lives in a temporary directory, and stop() ends every process the server
// started and removes the namespace, the link and the directory.

const childProcess = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { setTimeout: delay } = require('timers/promises');
const { run, tryRun, killAll, commandLine, buildBrokerPackage } = require('./host-support');

const SSHD = '/usr/sbin/sshd';
const READY_DEADLINE_MS = 20000;

/**
 * Why an sshd cannot be started here, or undefined when it can. Only a
 * machine where it cannot (not root) skips; a missing sshd is a failure, as
 * scripts/install-js-deps.sh installs it.
 */
function sshSkipReason() {
  if (process.getuid() !== 0) return 'the ssh tests start their own sshd, which needs root';
  return undefined;
}

/**
 * The broker from the Debian package its build directory makes (cpack -G
 * DEB, as scripts/check-install.sh does), extracted under `root`.
 * @returns {string} the bin directory that holds it
 */
function installBrokerPackage(brokerPath, dir) {
  const deb = buildBrokerPackage(brokerPath, dir);
  const root = path.join(dir, 'root');
  run('dpkg-deb', ['-x', deb, root]);
  const bin = path.join(root, 'usr', 'bin');
  if (!fs.existsSync(path.join(bin, 'terminal-stream-broker'))) throw new Error(`${deb} holds no usr/bin/terminal-stream-broker`);
  return bin;
}

/**
 * A network namespace with one veth pair, named after this process and a
 * random number: the sshd listens on the namespace's side, at an address of
 * a /30 that no interface of this machine has yet.
 */
function createNamespace() {
  const id = `${process.pid}-${crypto.randomInt(100)}`;
  const names = { namespace: `tsb-ssh-${id}`, hostLink: `tsbh${id}`, farLink: `tsbf${id}` };
  const used = run('ip', ['-4', '-o', 'addr', 'show']);
  let subnet;
  do subnet = `10.${crypto.randomInt(200, 250)}.${crypto.randomInt(256)}`; while (used.includes(` ${subnet}.`));
  const hostAddress = `${subnet}.${4 * crypto.randomInt(64) + 1}`;
  const farAddress = hostAddress.replace(/\d+$/, (last) => String(Number(last) + 1));
  run('ip', ['netns', 'add', names.namespace]);
  const inside = (...args) => run('ip', ['netns', 'exec', names.namespace, 'ip', ...args]);
  try {
    run('ip', ['link', 'add', names.hostLink, 'type', 'veth', 'peer', 'name', names.farLink]);
    run('ip', ['link', 'set', names.farLink, 'netns', names.namespace]);
    run('ip', ['addr', 'add', `${hostAddress}/30`, 'dev', names.hostLink]);
    run('ip', ['link', 'set', names.hostLink, 'up']);
    inside('link', 'set', 'lo', 'up');
    inside('addr', 'add', `${farAddress}/30`, 'dev', names.farLink);
    inside('link', 'set', names.farLink, 'up');
  } catch (error) {
    removeNamespace(names);
    throw error;
  }
  return { ...names, address: farAddress };
}

/**
 * What earlier runs left when they were killed outright (their process is
 * gone): their namespaces with whatever runs there, their sshd and ssh
 * processes (found by their directory on the command line), their directories.
 */
function removeAbandonedRuns() {
  const dead = (pid) => !fs.existsSync(`/proc/${pid}`);
  for (const line of tryRun('ip', ['netns', 'list']) ? run('ip', ['netns', 'list']).split('\n') : []) {
    const match = /^(tsb-ssh-(\d+)-(\d+))\b/.exec(line);
    if (!match || !dead(match[2])) continue;
    killAll(namespacePids(match[1]));
    removeNamespace({ namespace: match[1], hostLink: `tsbh${match[2]}-${match[3]}` });
  }
  for (const name of fs.readdirSync(os.tmpdir())) {
    const match = /^tsb-ssh-(\d+)-/.exec(name);
    if (!match || !dead(match[1])) continue;
    const dir = path.join(os.tmpdir(), name);
    killAll(fs.readdirSync('/proc').filter((pid) => /^\d+$/.test(pid) && (commandLine(pid) ?? '').includes(dir)).map(Number));
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

function namespacePids(namespace) {
  try {
    return run('ip', ['netns', 'pids', namespace]).split(/\s+/).filter(Boolean).map(Number);
  } catch {
    return []; // the namespace is already gone
  }
}

function removeNamespace(names) {
  // Deleting one end of a veth pair deletes both; the namespace's end goes with the namespace.
  tryRun('ip', ['link', 'del', names.hostLink]);
  tryRun('ip', ['netns', 'del', names.namespace]);
}

function freeLoopbackPort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

/** The processes whose parent chain leads to `ancestor`, from /proc. */
function descendants(ancestor) {
  const parents = new Map();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      parents.set(Number(entry), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch {
      // gone meanwhile
    }
  }
  const found = [];
  const isBelow = (pid) => {
    for (let parent = parents.get(pid); parent; parent = parents.get(parent)) if (parent === ancestor) return true;
    return false;
  };
  for (const pid of parents.keys()) if (isBelow(pid)) found.push(pid);
  return found;
}

function rootPasswordLocked() {
  try {
    const entry = fs.readFileSync('/etc/shadow', 'utf8').split('\n').find((line) => line.startsWith('root:'));
    return entry !== undefined && entry.split(':')[1].startsWith('!');
  } catch {
    return false;
  }
}

function sshdConfig(dir, listen, binDir) {
  return [
    `ListenAddress ${listen}`,
    `HostKey ${dir}/host_key`,
    `PidFile ${dir}/sshd.pid`,
    `AuthorizedKeysFile ${dir}/authorized_keys`,
    'PermitRootLogin prohibit-password',
    'PubkeyAuthentication yes',
    'PasswordAuthentication no',
    'KbdInteractiveAuthentication no',
    // Without PAM, sshd refuses an account whose password is locked ('!',
    // as Debian leaves root without a password); with PAM, session modules
    // that a container forbids (pam_loginuid) refuse every login.
    `UsePAM ${rootPasswordLocked() ? 'yes' : 'no'}`,
    // The keys are in a temporary directory under the world-writable /tmp.
    'StrictModes no',
    'PrintMotd no',
    'PrintLastLog no',
    'LogLevel VERBOSE',
    // The sessions find the packaged broker first, as they would find /usr/bin's.
    `SetEnv PATH=${binDir}:/usr/local/bin:/usr/bin:/bin`,
    ''
  ].join('\n');
}

/**
 * Starts an sshd and returns how to reach it.
 * @param {{ brokerPath: string }} options the broker whose build directory makes the package
 */
async function startSshHost({ brokerPath }) {
  if (!fs.existsSync(SSHD)) throw new Error(`${SSHD} is missing: scripts/install-js-deps.sh installs openssh-server`);
  removeAbandonedRuns();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `tsb-ssh-${process.pid}-`));
  const host = { dir, namespace: undefined, sshd: undefined, stopped: false };
  process.once('exit', () => stopSync(host));
  // A test run stopped from outside cleans up too, then dies of its signal.
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.once(signal, () => {
      stopSync(host);
      process.kill(process.pid, signal);
    });
  }
  try {
    const binDir = installBrokerPackage(brokerPath, dir);
    run('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-C', 'tsb-test-host', '-f', `${dir}/host_key`]);
    run('ssh-keygen', ['-q', '-t', 'ed25519', '-N', '', '-C', 'tsb-test-user', '-f', `${dir}/user_key`]);
    fs.copyFileSync(`${dir}/user_key.pub`, `${dir}/authorized_keys`);
    // sshd wants its privilege separation directory, which a system without the ssh service lacks.
    fs.mkdirSync('/run/sshd', { recursive: true, mode: 0o755 });

    let listen;
    let target;
    let prefix = [];
    try {
      host.namespace = createNamespace();
      listen = `${host.namespace.address}:22`;
      target = { address: host.namespace.address, port: 22 };
      prefix = ['ip', 'netns', 'exec', host.namespace.namespace];
    } catch (error) {
      host.namespace = undefined;
      const port = await freeLoopbackPort();
      listen = `127.0.0.1:${port}`;
      target = { address: '127.0.0.1', port };
      host.fallback = `no network namespace (${error.message.split('\n')[0]}): sshd on 127.0.0.1:${port}`;
    }
    fs.writeFileSync(`${dir}/sshd_config`, sshdConfig(dir, listen, binDir));
    const hostKey = fs.readFileSync(`${dir}/host_key.pub`, 'utf8').split(' ').slice(0, 2).join(' ');
    const knownName = target.port === 22 ? target.address : `[${target.address}]:${target.port}`;
    fs.writeFileSync(`${dir}/known_hosts`, `${knownName} ${hostKey}\n`);

    const log = fs.openSync(`${dir}/sshd.log`, 'a');
    const command = [...prefix, SSHD, '-D', '-e', '-f', `${dir}/sshd_config`];
    host.sshd = childProcess.spawn(command[0], command.slice(1), { stdio: ['ignore', log, log] });
    fs.closeSync(log);
    host.sshd.on('exit', () => { host.sshdExited = true; });

    // Everything a session needs: this run's key and known host, nothing of ~/.ssh.
    const sshArgs = [
      '-F', '/dev/null', '-T', '-p', String(target.port), '-i', `${dir}/user_key`,
      '-o', 'IdentitiesOnly=yes', '-o', 'BatchMode=yes', '-o', 'StrictHostKeyChecking=yes',
      '-o', `UserKnownHostsFile=${dir}/known_hosts`, '-o', 'GlobalKnownHostsFile=/dev/null',
      '-o', 'LogLevel=ERROR', '-o', 'ConnectTimeout=10', `root@${target.address}`
    ];
    const api = {
      /** ssh and its options up to the host: a launcher, or a command's prefix. */
      launcher: ['ssh', ...sshArgs],
      address: target.address,
      /** This run's directory (keys, config, log), removed by stop(). */
      dir,
      /** How the server was reached: undefined in a namespace, else why not. */
      fallback: host.fallback,
      /** Runs one command on the far side and returns its standard output. */
      exec: (remoteCommand) => run('ssh', [...sshArgs, remoteCommand]),
      /** The processes on the far side below the listening sshd (sessions, brokers, shells), with their command lines. */
      farProcesses: () => descendants(host.sshd.pid)
        .map((pid) => ({ pid, command: commandLine(pid) }))
        .filter((found) => found.command !== undefined),
      log: () => fs.readFileSync(`${dir}/sshd.log`, 'utf8'),
      stop: () => stopSync(host)
    };
    await waitUntilServing(api, host);
    return api;
  } catch (error) {
    stopSync(host);
    throw error;
  }
}

async function waitUntilServing(api, host) {
  const deadline = Date.now() + READY_DEADLINE_MS;
  for (;;) {
    try {
      if (api.exec('command -v terminal-stream-broker').trim()) return;
    } catch (error) {
      if (host.sshdExited || Date.now() > deadline) {
        throw new Error(`the test sshd does not serve: ${error.message}\nsshd log:\n${api.log()}`);
      }
    }
    await delay(100);
  }
}

/**
 * Ends the sshd and everything below it (sessions, brokers, shells: on the
 * far side of a lost connection they may still be ending), removes the
 * namespace and the directory. Synchronous, so that it also runs at exit.
 */
function stopSync(host) {
  if (host.stopped) return;
  host.stopped = true;
  if (host.sshd && host.sshd.pid) killAll([...descendants(host.sshd.pid), host.sshd.pid]);
  if (host.namespace) {
    // Whatever still runs in the namespace was started there by this run.
    killAll(namespacePids(host.namespace.namespace));
    removeNamespace(host.namespace);
  }
  fs.rmSync(host.dir, { recursive: true, force: true });
}

module.exports = { sshSkipReason, startSshHost, commandLine };
