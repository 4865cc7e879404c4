'use strict';

// A real container engine for the tests of shells in containers: Debian's
// dockerd, started as root with its data, its state, its socket and its
// containers' control groups all of its own (never the machine's docker
// socket, never a network: no bridge, no iptables, containers with
// --network none); images imported from root file systems that the test
// assembles (the broker from the Debian package that the build makes, a
// shell and the few programs the tests use, with their libraries). Everything
// lives in a temporary directory; stop() removes the containers, ends the
// daemon and everything it started, and removes the directory. What a killed
// run left behind is removed by the next.

const childProcess = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { setTimeout: delay } = require('timers/promises');
const { run, tryRun, killAll, commandLine, buildBrokerPackage } = require('./host-support');

// Debian's, by path: another docker client may come first on PATH.
const DOCKER = '/usr/bin/docker';
const DOCKERD = '/usr/sbin/dockerd';
const READY_DEADLINE_MS = 60000;
const STOP_DEADLINE_MS = 20000;
// A docker command that the daemon does not answer fails instead of holding the test.
const COMMAND_DEADLINE_MS = 60000;
const RUN_PREFIX = 'tsb-docker-';
// What the containers hold besides the broker: what the tests run in them
// and what the client's launcher line runs there (env).
const PROGRAMS = ['sh', 'env', 'sleep', 'stty', 'cat'];

/** Why a dockerd cannot be started here, or undefined when it can: only a machine where it cannot (not root) skips. */
function containerSkipReason() {
  if (process.getuid() !== 0) return 'the container tests start their own dockerd, which needs root';
  return undefined;
}

function sleepSync(ms) {
  Atomics.wait(new Int32Array(new SharedArrayBuffer(4)), 0, 0, ms);
}

const alive = (pid) => fs.existsSync(`/proc/${pid}`);

function parents() {
  const found = new Map();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      found.set(Number(entry), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch {
      // gone meanwhile
    }
  }
  return found;
}

/** The given processes and every process whose parent chain leads to one of them. */
function withDescendants(roots) {
  const parentOf = parents();
  const set = new Set(roots);
  const below = (pid) => {
    for (let parent = parentOf.get(pid); parent; parent = parentOf.get(parent)) if (set.has(parent)) return true;
    return false;
  };
  return [...set, ...[...parentOf.keys()].filter((pid) => !set.has(pid) && below(pid))];
}

/** Where the control group hierarchies are mounted. */
function cgroupRoots() {
  return fs.readFileSync('/proc/self/mounts', 'utf8').split('\n').map((line) => line.split(' '))
    .filter(([, , type]) => type === 'cgroup' || type === 'cgroup2').map(([, mountPoint]) => mountPoint);
}

/** The directories of this run's control group in every hierarchy, deepest first. */
function cgroupDirs(name) {
  const dirs = [];
  const walk = (dir) => {
    let entries;
    try {
      entries = fs.readdirSync(dir, { withFileTypes: true });
    } catch {
      return;
    }
    for (const entry of entries) if (entry.isDirectory()) walk(path.join(dir, entry.name));
    dirs.push(dir);
  };
  for (const root of cgroupRoots()) walk(path.join(root, name));
  return dirs;
}

function cgroupPids(dirs) {
  return dirs.flatMap((dir) => {
    try {
      return fs.readFileSync(path.join(dir, 'cgroup.procs'), 'utf8').split('\n').filter(Boolean).map(Number);
    } catch {
      return [];
    }
  });
}

/**
 * Ends whatever a run started and removes its traces: the daemon, its
 * containerd and the shims (their command lines name the run's directory),
 * the containers' processes (below the shims, and in the run's control
 * groups), the mounts the daemon made under the directory, the control
 * groups, the directory.
 */
function removeRun(dir, cgroupName) {
  const groups = cgroupDirs(cgroupName);
  const started = fs.readdirSync('/proc').filter((pid) => /^\d+$/.test(pid) && (commandLine(pid) ?? '').includes(dir)).map(Number);
  killAll(withDescendants([...started, ...cgroupPids(groups)]).filter((pid) => pid !== process.pid));
  const mounts = fs.readFileSync('/proc/self/mountinfo', 'utf8').split('\n')
    .map((line) => line.split(' ')[4]).filter((point) => point && point.startsWith(`${dir}/`));
  for (const point of mounts.sort((a, b) => b.length - a.length)) tryRun('umount', ['-l', point]);
  const deadline = Date.now() + 5000;
  for (const group of groups) {
    // A killed process leaves its control group a moment after the signal.
    while (fs.existsSync(group) && !tryRmdir(group) && Date.now() < deadline) sleepSync(20);
  }
  fs.rmSync(dir, { recursive: true, force: true });
}

function tryRmdir(dir) {
  try {
    fs.rmdirSync(dir);
    return true;
  } catch {
    return false;
  }
}

/** What earlier runs left when they were killed outright (their process is gone). */
function removeAbandonedRuns() {
  const dead = (pid) => !alive(pid);
  for (const name of fs.readdirSync(os.tmpdir())) {
    const match = new RegExp(`^${RUN_PREFIX}(\\d+)-`).exec(name);
    if (match && dead(match[1])) removeRun(path.join(os.tmpdir(), name), `${RUN_PREFIX}${match[1]}`);
  }
  const groups = new Set(cgroupRoots().flatMap((root) => fs.readdirSync(root)));
  for (const name of groups) {
    const match = new RegExp(`^${RUN_PREFIX}(\\d+)$`).exec(name);
    // Its directory is gone already: only the control groups and their processes are left.
    if (match && dead(match[1])) removeRun(path.join(os.tmpdir(), `${name}-gone`), name);
  }
}

/** The Debian package that the broker's build directory makes (cpack -G DEB, as scripts/check-install.sh does). */
/** The shared libraries a program loads, with the loader, as ldd finds them here. */
function libraries(program) {
  return [...run('ldd', [program]).matchAll(/(\/\S+) \(0x[0-9a-f]+\)/g)].map((match) => match[1]);
}

function copyInto(rootfs, file, to = file) {
  const target = path.join(rootfs, to);
  fs.mkdirSync(path.dirname(target), { recursive: true });
  fs.copyFileSync(fs.realpathSync(file), target);
  fs.chmodSync(target, fs.statSync(file).mode & 0o7777);
}

/** A root file system with PROGRAMS in /usr/bin (and /bin) and their libraries at the paths ldd gives. */
function assembleRootfs(rootfs) {
  for (const dir of ['usr/bin', 'etc', 'tmp', 'root', 'proc', 'sys', 'dev']) fs.mkdirSync(path.join(rootfs, dir), { recursive: true });
  fs.symlinkSync('usr/bin', path.join(rootfs, 'bin'));
  for (const name of PROGRAMS) {
    const found = ['/usr/bin', '/bin'].map((dir) => path.join(dir, name)).find((file) => fs.existsSync(file));
    if (!found) throw new Error(`${name} is not in /usr/bin or /bin`);
    copyInto(rootfs, found, path.join('usr/bin', name));
    for (const library of libraries(found)) copyInto(rootfs, library);
  }
  fs.writeFileSync(path.join(rootfs, 'etc/passwd'), 'root:x:0:0:root:/root:/bin/sh\n');
}

function importImage(docker, rootfs, tarFile, name) {
  run('tar', ['-C', rootfs, '-cf', tarFile, '.']);
  run(DOCKER, [...docker, 'import', tarFile, name], { timeout: COMMAND_DEADLINE_MS });
  fs.rmSync(tarFile);
}

function startDaemon(host) {
  const { dir } = host;
  fs.writeFileSync(path.join(dir, 'daemon.json'), '{}\n');
  const log = fs.openSync(path.join(dir, 'dockerd.log'), 'a');
  host.dockerd = childProcess.spawn(DOCKERD, [
    '--config-file', path.join(dir, 'daemon.json'),
    '--data-root', path.join(dir, 'data'),
    '--exec-root', path.join(dir, 'exec'),
    '--pidfile', path.join(dir, 'dockerd.pid'),
    '-H', `unix://${host.socket}`,
    '--storage-driver=vfs', '--iptables=false', '--ip-masq=false', '--bridge=none',
    `--cgroup-parent=/${host.cgroupName}`
  ], {
    stdio: ['ignore', log, log],
    // Debian's containerd, runc and docker-init, whatever else PATH holds.
    env: { ...process.env, PATH: '/usr/sbin:/usr/bin:/sbin:/bin' }
  });
  fs.closeSync(log);
  host.dockerd.on('exit', (code, signal) => { host.dockerdEnd = signal ? `signal ${signal}` : `status ${code}`; });
  host.dockerd.on('error', (error) => { host.dockerdEnd = error.message; });
}

async function waitUntilServing(host, docker) {
  const deadline = Date.now() + READY_DEADLINE_MS;
  for (;;) {
    try {
      run(DOCKER, [...docker, 'version', '--format', '{{.Server.Version}}'], { timeout: 5000 });
      return;
    } catch (error) {
      if (host.dockerdEnd || Date.now() > deadline) {
        const why = host.dockerdEnd ? `dockerd ended (${host.dockerdEnd})` : `no answer within ${READY_DEADLINE_MS / 1000} s`;
        const log = fs.existsSync(path.join(host.dir, 'dockerd.log')) ? fs.readFileSync(path.join(host.dir, 'dockerd.log'), 'utf8') : '';
        throw new Error(`the test dockerd cannot start: ${why}; last client error: ${error.stderr || error.message}\n` +
          `dockerd log:\n${log.split('\n').slice(-30).join('\n')}`);
      }
    }
    await delay(100);
  }
}

/**
 * Starts a dockerd and imports two images: `broker` (the broker from the
 * package, the shell and PROGRAMS) and `bare` (the same without the broker).
 * @param {{ brokerPath: string }} options the broker whose build directory makes the package
 */
async function startContainerHost({ brokerPath }) {
  for (const file of [DOCKER, DOCKERD]) {
    if (!fs.existsSync(file)) throw new Error(`${file} is missing: scripts/install-container-deps.sh installs docker.io`);
  }
  removeAbandonedRuns();
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), `${RUN_PREFIX}${process.pid}-`));
  const host = { dir, socket: path.join(dir, 'docker.sock'), cgroupName: `${RUN_PREFIX}${process.pid}`, stopped: false, containers: 0 };
  process.once('exit', () => stopSync(host));
  // A test run stopped from outside cleans up too, then dies of its signal.
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
    process.once(signal, () => {
      stopSync(host);
      process.kill(process.pid, signal);
    });
  }
  const docker = ['-H', `unix://${host.socket}`];
  const dockerRun = (...args) => run(DOCKER, [...docker, ...args], { timeout: COMMAND_DEADLINE_MS });
  try {
    startDaemon(host);
    await waitUntilServing(host, docker);
    const rootfs = path.join(dir, 'rootfs');
    assembleRootfs(rootfs);
    importImage(docker, rootfs, path.join(dir, 'rootfs.tar'), 'tsb-bare');
    run('dpkg-deb', ['-x', buildBrokerPackage(brokerPath, dir), rootfs]);
    const broker = path.join(rootfs, 'usr/bin/terminal-stream-broker');
    if (!fs.existsSync(broker)) throw new Error('the package holds no usr/bin/terminal-stream-broker');
    for (const library of libraries(broker)) if (!fs.existsSync(path.join(rootfs, library))) copyInto(rootfs, library);
    importImage(docker, rootfs, path.join(dir, 'rootfs.tar'), 'tsb-broker');
    fs.rmSync(rootfs, { recursive: true });
  } catch (error) {
    stopSync(host);
    throw error;
  }
  return {
    /** The docker client and its options up to the command: this run's daemon, never the machine's. */
    docker: [DOCKER, ...docker],
    /** This run's directory (daemon data and state, socket, log), removed by stop(). */
    dir,
    /** The transport into a container, before the broker's command line. */
    launcher: (container) => [DOCKER, ...docker, 'exec', '-i', container],
    /** Runs the docker client on this run's daemon and returns its standard output. */
    run: dockerRun,
    /**
     * Starts a container of `image` ('broker' or 'bare'), its only process
     * docker's init with a sleep, without a network; returns its name.
     */
    startContainer: (image = 'broker') => {
      const name = `tsb-${image}-${++host.containers}`;
      dockerRun('run', '-d', '--init', '--network', 'none', '--name', name, `tsb-${image}`, 'sleep', 'infinity');
      return name;
    },
    /** The container's processes as `docker top` lists them, each with its pid inside the container. */
    processes: (container) => dockerRun('top', container, '-eo', 'pid,args').split('\n').slice(1).filter(Boolean)
      .map((line) => {
        const [, pid, command] = /^\s*(\d+)\s+(.*)$/.exec(line);
        return { pid: Number(pid), innerPid: innerPid(pid), command };
      }),
    log: () => fs.readFileSync(path.join(dir, 'dockerd.log'), 'utf8'),
    stop: () => stopSync(host)
  };
}

/** A process's pid in the innermost pid namespace it belongs to (the container's). */
function innerPid(pid) {
  try {
    const line = fs.readFileSync(`/proc/${pid}/status`, 'utf8').split('\n').find((entry) => entry.startsWith('NSpid:'));
    return Number(line.trim().split(/\s+/).pop());
  } catch {
    return undefined;
  }
}

/**
 * Removes the containers through the daemon, lets it end, then ends
 * whatever is left and removes every trace. Synchronous, so that it also
 * runs at exit.
 */
function stopSync(host) {
  if (host.stopped) return;
  host.stopped = true;
  const pid = host.dockerd?.pid;
  if (pid && !host.dockerdEnd) {
    const docker = [DOCKER, '-H', `unix://${host.socket}`];
    try {
      const ids = run(docker[0], [...docker.slice(1), 'ps', '-aq'], { timeout: 10000 }).split('\n').filter(Boolean);
      if (ids.length > 0) run(docker[0], [...docker.slice(1), 'rm', '-f', ...ids], { timeout: 30000 });
    } catch {
      // the forced clean-up below ends them
    }
    try {
      process.kill(pid, 'SIGTERM');
    } catch {
      // already gone
    }
    const deadline = Date.now() + STOP_DEADLINE_MS;
    while (alive(pid) && commandLine(pid) !== undefined && Date.now() < deadline) sleepSync(50);
  }
  removeRun(host.dir, host.cgroupName);
}

module.exports = { containerSkipReason, startContainerHost };
