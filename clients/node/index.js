'use strict';

const { Terminal } = require('./lib/terminal');

/**
 * Starts a shell in a terminal through terminal-stream-broker, in the shape
 * of node-pty's spawn.
 * @param {string} [file] the shell program (looked up on PATH by the broker); default `sh`
 * @param {string[]} [args]
 * @param {import('./index').SpawnOptions} [options]
 * @returns {Terminal}
 * @throws {Error} with code ENOENT when the broker (or the launcher) is missing
 */
function spawn(file, args, options) {
  return new Terminal(file, args, options);
}

module.exports = { spawn, Terminal };
