'use strict';

const fs = require('fs');
const path = require('path');
const { DEFAULT_BROKER_NAME, findExecutable, isExecutableFile, resolveBrokerPath, resolveLauncher } = require('./find-executable');
const { DEFAULT_COLS, DEFAULT_ROWS } = require('./sizes');

/** TERM when neither the name option nor the environment gives one (node-pty's default). */
const DEFAULT_NAME = 'xterm';

// They describe the terminal this process runs in, not the new one; like
// node-pty, drop them when the shell gets this process's own environment.
const OUTER_TERMINAL_VARIABLES = ['TMUX', 'TMUX_PANE', 'STY', 'WINDOW', 'WINDOWID', 'TERMCAP', 'COLUMNS', 'LINES'];

// The broker reads its settings from these, before the arguments after
// `--`: left in the environment it runs with, they would replace the
// command, directory and size given here.
const BROKER_VARIABLES = ['TERMINAL_STREAM_CWD', 'TERMINAL_STREAM_COLS', 'TERMINAL_STREAM_ROWS', 'TERMINAL_STREAM_SHELL_CMD_JSON'];

// Runs the shell without the size variables, which the broker must read
// (the size set by a command comes too late for a program that reads it as
// it starts) and passes on with its whole environment.
const ENV_PROGRAM = '/usr/bin/env';
const SIZE_VARIABLES = ['TERMINAL_STREAM_COLS', 'TERMINAL_STREAM_ROWS'];
// Where execvp looks when PATH is not set (confstr's _CS_PATH on glibc).
const DEFAULT_SEARCH_PATH = '/bin:/usr/bin';

/**
 * The shell's environment: what the program gave (default this process's
 * own) with TERM set. The broker passes its whole environment on to the
 * shell, so this is also the broker's.
 * @param {NodeJS.ProcessEnv | undefined} given
 * @param {string | undefined} name
 * @returns {{ env: NodeJS.ProcessEnv, term: string }}
 */
function shellEnvironment(given, name) {
  const env = { ...(given ?? process.env) };
  if (given === undefined || given === process.env) for (const variable of OUTER_TERMINAL_VARIABLES) delete env[variable];
  for (const variable of BROKER_VARIABLES) delete env[variable];
  const term = name || env.TERM || DEFAULT_NAME;
  env.TERM = term;
  return { env, term };
}

/** Quotes one word for a POSIX shell. */
function shellQuote(word) {
  return `'${word.replace(/'/g, `'\\''`)}'`;
}

function isDirectory(dir) {
  try {
    return fs.statSync(dir).isDirectory();
  } catch {
    return false;
  }
}

/**
 * The shell's command for the broker, after `--`. A size other than the
 * broker's default must be in the broker's environment when the shell
 * starts; then the shell is run through `env -u` so that it does not
 * inherit those variables. Only for a program that is there: a missing one
 * is left for the broker to report.
 * @returns {{ args: string[], sizeVariables: Record<string, string> }}
 */
function shellCommandLine(file, args, env, cwd, size) {
  const plain = { args: ['--', file, ...args], sizeVariables: {} };
  if (isDefaultSize(size)) return plain;
  const found = file.includes('/') ? isExecutableFile(path.resolve(cwd, file)) : findExecutable(file, env.PATH ?? DEFAULT_SEARCH_PATH);
  if (!found || !isExecutableFile(ENV_PROGRAM)) return plain;
  return {
    args: ['--', ENV_PROGRAM, ...SIZE_VARIABLES.flatMap((name) => ['-u', name]), '--', file, ...args],
    sizeVariables: { TERMINAL_STREAM_COLS: String(size.cols), TERMINAL_STREAM_ROWS: String(size.rows) }
  };
}

function isDefaultSize(size) {
  return !size || (size.cols === DEFAULT_COLS && size.rows === DEFAULT_ROWS);
}

/**
 * The launcher, then `env NAME=VALUE... broker -- env -u NAME... -- file args`:
 * the broker's settings travel as assignments, and the shell on the other
 * side leaves them behind as the local one does. A program missing there
 * is reported by that `env`, in the terminal.
 */
function launcherCommand(file, args, options, size) {
  const [program, ...launcherArgs] = options.launcher;
  if (typeof program !== 'string' || program === '') throw new TypeError('launcher must be a non-empty array of strings');
  const settings = {};
  if (options.cwd) settings.TERMINAL_STREAM_CWD = options.cwd;
  if (!isDefaultSize(size)) Object.assign(settings, { TERMINAL_STREAM_COLS: String(size.cols), TERMINAL_STREAM_ROWS: String(size.rows) });
  const names = Object.keys(settings);
  const shell = names.length > 0 ? ['env', ...names.flatMap((name) => ['-u', name]), '--', file, ...args] : [file, ...args];
  const assignments = [`TERM=${options.name || DEFAULT_NAME}`, ...names.map((name) => `${name}=${settings[name]}`)];
  let remote = ['env', ...assignments, options.brokerPath || DEFAULT_BROKER_NAME, '--', ...shell];
  if (options.launcherShell) remote = remote.map(shellQuote);
  return { command: resolveLauncher(program), args: [...launcherArgs, ...remote], env: options.env ?? process.env, cwd: undefined };
}

/**
 * What to run. Locally: the broker, started in the shell's directory with
 * the shell's environment, the shell's command after `--`. With a launcher:
 * the launcher followed by `env TERM=... terminal-stream-broker -- file args`,
 * since a transport such as ssh or kubectl carries neither our environment
 * nor our directory. The size also goes in the first notification.
 * @param {string} file
 * @param {string[]} args
 * @param {import('../index').SpawnOptions} options
 * @param {{ cols: number, rows: number }} [size]
 * @returns {{ command: string, args: string[], env: NodeJS.ProcessEnv, cwd: string | undefined }}
 */
function brokerCommand(file, args, options, size) {
  if (options.launcher) return launcherCommand(file, args, options, size);
  const { env } = shellEnvironment(options.env, options.name);
  const cwd = options.cwd ?? process.cwd();
  if (isDirectory(cwd)) {
    const line = shellCommandLine(file, args, env, cwd, size);
    return { command: resolveBrokerPath(options.brokerPath), args: line.args, env: { ...env, ...line.sizeVariables }, cwd };
  }
  // The broker reports a directory it cannot enter and ends with status 1,
  // as node-pty's child does; spawning there would fail before any broker.
  return { command: resolveBrokerPath(options.brokerPath), args: ['--', file, ...args], env: { ...env, TERMINAL_STREAM_CWD: cwd }, cwd: undefined };
}

module.exports = { DEFAULT_NAME, brokerCommand, shellEnvironment, shellQuote };
