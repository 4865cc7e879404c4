'use strict';

// What the test hosts (ssh-host.js, container-host.js) share: running a
// command, killing a set of processes, reading a command line, and the
// broker's Debian package made from the build directory.

const childProcess = require('child_process');
const fs = require('fs');
const path = require('path');

function run(command, args, options = {}) {
  return childProcess.execFileSync(command, args, { encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'], ...options });
}

function tryRun(command, args, options) {
  try {
    run(command, args, options);
    return true;
  } catch {
    return false;
  }
}

function killAll(pids) {
  for (const pid of pids) {
    try {
      process.kill(pid, 'SIGKILL');
    } catch {
      // already gone
    }
  }
}

/** The command line of a process, or undefined once it is gone (or a zombie). */
function commandLine(pid) {
  try {
    const text = fs.readFileSync(`/proc/${pid}/cmdline`, 'utf8');
    return text ? text.split('\0').filter(Boolean).join(' ') : undefined;
  } catch {
    return undefined;
  }
}

/**
 * The Debian package the broker's build directory makes (cpack -G DEB, as
 * scripts/check-install.sh does), written under `dir`.
 * @returns {string} the path of the .deb
 */
function buildBrokerPackage(brokerPath, dir) {
  const buildDir = path.dirname(fs.realpathSync(brokerPath));
  if (!fs.existsSync(path.join(buildDir, 'CPackConfig.cmake'))) {
    throw new Error(`${buildDir} is not a CMake build directory: the test hosts install the broker from the package it makes`);
  }
  const packageDir = path.join(dir, 'package');
  run('cpack', ['-G', 'DEB', '-B', packageDir], { cwd: buildDir });
  const deb = fs.readdirSync(packageDir).find((name) => name.endsWith('.deb'));
  if (!deb) throw new Error('cpack made no .deb');
  return path.join(packageDir, deb);
}

module.exports = { run, tryRun, killAll, commandLine, buildBrokerPackage };
