'use strict';

const { Terminal } = require('./lib/terminal');

/**
 * Starts a shell in a terminal through terminal-stream-broker, in the shape
 * of node-pty's spawn.
 * @param {string} file the shell program (looked up on PATH by the broker)
 * @param {string[]} [args]
 * @param {import('./index').SpawnOptions} [options]
 * @returns {Terminal}
 * @throws {Error} with code ENOENT when the broker (or the launcher) is missing
 */
function spawn(file, args = [], options = {}) {
  if (typeof file !== 'string' || file === '') throw new TypeError('file must be a non-empty string');
  if (!Array.isArray(args)) throw new TypeError('args must be an array of strings');
  return new Terminal(file, args.map(String), options);
}

module.exports = { spawn, Terminal };
