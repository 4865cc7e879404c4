'use strict';

const { DEFAULT_BROKER_NAME, resolveBrokerPath, checkLauncher } = require('./find-executable');

const DEFAULT_NAME = 'xterm-256color';
const DEFAULT_COLS = 80;
const DEFAULT_ROWS = 24;

/**
 * The broker's configuration as environment variables: the broker reads
 * nothing else.
 * @param {string} file the shell program
 * @param {string[]} args its arguments
 * @param {{ name?: string, cols: number, rows: number, cwd?: string }} options
 * @returns {Record<string, string>}
 */
function brokerSettings(file, args, options) {
  const settings = {
    TERM: options.name || DEFAULT_NAME,
    TERMINAL_STREAM_COLS: String(options.cols),
    TERMINAL_STREAM_ROWS: String(options.rows),
    TERMINAL_STREAM_SHELL_CMD_JSON: JSON.stringify([file, ...args])
  };
  if (options.cwd) settings.TERMINAL_STREAM_CWD = options.cwd;
  return settings;
}

/** Quotes one word for a POSIX shell. */
function shellQuote(word) {
  return `'${word.replace(/'/g, `'\\''`)}'`;
}

/**
 * What to run: the broker itself with its settings in its environment, or,
 * with a launcher, the launcher followed by `env NAME=VALUE ... broker`, since
 * a transport such as ssh or kubectl does not carry our environment across.
 * @returns {{ command: string, args: string[], env: NodeJS.ProcessEnv }}
 */
function brokerCommand(file, args, options) {
  const env = options.env || process.env;
  const settings = brokerSettings(file, args, options);
  if (!options.launcher) {
    return { command: resolveBrokerPath(options.brokerPath, env), args: [], env: { ...env, ...settings } };
  }
  const [program, ...launcherArgs] = options.launcher;
  if (typeof program !== 'string' || program === '') throw new TypeError('launcher must be a non-empty array of strings');
  checkLauncher(program, env);
  const assignments = Object.entries(settings).map(([name, value]) => `${name}=${value}`);
  let remote = ['env', ...assignments, options.brokerPath || DEFAULT_BROKER_NAME];
  if (options.launcherShell) remote = remote.map(shellQuote);
  return { command: program, args: [...launcherArgs, ...remote], env };
}

module.exports = { DEFAULT_COLS, DEFAULT_ROWS, brokerCommand, shellQuote };
