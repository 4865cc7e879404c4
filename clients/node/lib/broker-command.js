'use strict';

const fs = require('fs');
const { DEFAULT_BROKER_NAME, resolveBrokerPath, resolveLauncher } = require('./find-executable');

/** TERM when neither the name option nor the environment gives one (node-pty's default). */
const DEFAULT_NAME = 'xterm';

// They describe the terminal this process runs in, not the new one; like
// node-pty, drop them when the shell gets this process's own environment.
const OUTER_TERMINAL_VARIABLES = ['TMUX', 'TMUX_PANE', 'STY', 'WINDOW', 'WINDOWID', 'TERMCAP', 'COLUMNS', 'LINES'];

// The broker reads its settings from these, before the arguments after
// `--`: left in the environment it runs with, they would replace the
// command, directory and size given here.
const BROKER_VARIABLES = ['TERMINAL_STREAM_CWD', 'TERMINAL_STREAM_COLS', 'TERMINAL_STREAM_ROWS', 'TERMINAL_STREAM_SHELL_CMD_JSON'];

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
 * What to run. Locally: the broker, started in the shell's directory with
 * the shell's environment, the shell's command after `--`; the size goes in
 * the first notification. With a launcher: the launcher followed by
 * `env TERM=... terminal-stream-broker -- file args`, since a transport such
 * as ssh or kubectl carries neither our environment nor our directory.
 * @param {string} file
 * @param {string[]} args
 * @param {import('../index').SpawnOptions} options
 * @returns {{ command: string, args: string[], env: NodeJS.ProcessEnv, cwd: string | undefined }}
 */
function brokerCommand(file, args, options) {
  const shellCommand = ['--', file, ...args];
  if (!options.launcher) {
    const { env } = shellEnvironment(options.env, options.name);
    const cwd = options.cwd ?? process.cwd();
    if (isDirectory(cwd)) {
      return { command: resolveBrokerPath(options.brokerPath), args: shellCommand, env, cwd };
    }
    // The broker reports a directory it cannot enter and ends with status 1,
    // as node-pty's child does; spawning there would fail before any broker.
    return { command: resolveBrokerPath(options.brokerPath), args: shellCommand, env: { ...env, TERMINAL_STREAM_CWD: cwd }, cwd: undefined };
  }
  const [program, ...launcherArgs] = options.launcher;
  if (typeof program !== 'string' || program === '') throw new TypeError('launcher must be a non-empty array of strings');
  const assignments = [`TERM=${options.name || DEFAULT_NAME}`];
  if (options.cwd) assignments.push(`TERMINAL_STREAM_CWD=${options.cwd}`);
  let remote = ['env', ...assignments, options.brokerPath || DEFAULT_BROKER_NAME, ...shellCommand];
  if (options.launcherShell) remote = remote.map(shellQuote);
  return { command: resolveLauncher(program), args: [...launcherArgs, ...remote], env: options.env ?? process.env, cwd: undefined };
}

module.exports = { DEFAULT_NAME, brokerCommand, shellEnvironment, shellQuote };
