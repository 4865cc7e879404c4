'use strict';

const fs = require('fs');
const path = require('path');

const DEFAULT_BROKER_NAME = 'terminal-stream-broker';

function isExecutableFile(file) {
  try {
    fs.accessSync(file, fs.constants.X_OK);
    return fs.statSync(file).isFile();
  } catch {
    return false;
  }
}

/**
 * Finds a program as a shell would: a name with a slash is taken as a path,
 * any other name is looked for in the directories of PATH.
 * @param {string} name
 * @param {string | undefined} searchPath the PATH to search
 * @returns {string | undefined} the program's path, or undefined when there is none
 */
function findExecutable(name, searchPath) {
  if (name.includes('/')) return isExecutableFile(name) ? path.resolve(name) : undefined;
  for (const dir of (searchPath || '').split(path.delimiter)) {
    const candidate = path.join(dir || '.', name);
    if (isExecutableFile(candidate)) return candidate;
  }
  return undefined;
}

/**
 * The local broker binary: the option, then TERMINAL_STREAM_BROKER, then the
 * default name on PATH, all from this process's environment (the one given
 * to spawn is the shell's). Throws an error with code ENOENT when it is
 * missing, so that a wrong set-up shows at spawn and not as an exit event later.
 * @param {string | undefined} option
 * @returns {string}
 */
function resolveBrokerPath(option) {
  const env = process.env;
  const name = option || env.TERMINAL_STREAM_BROKER || DEFAULT_BROKER_NAME;
  const found = findExecutable(name, env.PATH);
  if (found) return found;
  const source = option ? 'the brokerPath option' : env.TERMINAL_STREAM_BROKER ? 'TERMINAL_STREAM_BROKER' : 'PATH';
  throw missingProgramError(`terminal-stream-broker not found: "${name}" (from ${source}) is not an executable file; ` +
    'pass brokerPath, set TERMINAL_STREAM_BROKER, or put terminal-stream-broker on PATH');
}

/**
 * The launcher's program, found on this process's PATH (the broker it starts
 * lives on the other side and cannot be checked from here).
 * @param {string} program
 * @returns {string}
 */
function resolveLauncher(program) {
  const found = findExecutable(program, process.env.PATH);
  if (!found) throw missingProgramError(`launcher "${program}" not found: it is not an executable file or not on PATH`);
  return found;
}

function missingProgramError(message) {
  const error = new Error(message);
  error.code = 'ENOENT';
  return error;
}

module.exports = { DEFAULT_BROKER_NAME, isExecutableFile, findExecutable, resolveBrokerPath, resolveLauncher };
