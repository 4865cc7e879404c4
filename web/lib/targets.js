'use strict';

const fs = require('fs');
const path = require('path');

/** The name of the only target when sessions run on this machine. */
const LOCAL_TARGET = 'local';
const NAME_PATTERN = /^[A-Za-z0-9][A-Za-z0-9._-]{0,63}$/;
// Over a launcher the other side's own login shell, whatever it is there.
const REMOTE_DEFAULT_SHELL = ['sh', '-c', 'exec "${SHELL:-/bin/sh}" -l'];

/**
 * @typedef {object} Target where a session runs
 * @property {string} name
 * @property {string[]} [launcher] the transport's command (ssh, docker exec -i, kubectl exec -i): none runs here
 * @property {boolean} [launcherShell] the far side joins the command into one line for a shell (ssh)
 * @property {string} [broker] the broker's path on the far side (default: on its PATH)
 * @property {string[]} [shell] the shell's command
 */

function isStringList(value) {
  return Array.isArray(value) && value.length > 0 && value.every((word) => typeof word === 'string' && word !== '');
}

/** ssh runs the command through a shell on the far side: its words are quoted. */
function runsThroughShell(launcher) {
  return path.basename(launcher[0]) === 'ssh';
}

/** @returns {Target} checked, or throws saying what is wrong */
function checkTarget(name, entry) {
  const where = `target ${JSON.stringify(name)}`;
  if (!NAME_PATTERN.test(name)) throw new Error(`${where}: a name is 1 to 64 letters, digits, '.', '_' or '-'`);
  if (entry === null || typeof entry !== 'object' || Array.isArray(entry)) throw new Error(`${where}: not an object`);
  const known = ['launcher', 'launcherShell', 'broker', 'shell'];
  const unknown = Object.keys(entry).filter((key) => !known.includes(key));
  if (unknown.length > 0) throw new Error(`${where}: unknown ${unknown.join(', ')} (known: ${known.join(', ')})`);
  if (entry.launcher !== undefined && !isStringList(entry.launcher)) throw new Error(`${where}: launcher is a non-empty array of strings`);
  if (entry.shell !== undefined && !isStringList(entry.shell)) throw new Error(`${where}: shell is a non-empty array of strings`);
  if (entry.broker !== undefined && (typeof entry.broker !== 'string' || entry.broker === '')) throw new Error(`${where}: broker is a path`);
  if (entry.launcherShell !== undefined && typeof entry.launcherShell !== 'boolean') throw new Error(`${where}: launcherShell is true or false`);
  if (!entry.launcher && (entry.broker !== undefined || entry.launcherShell !== undefined)) {
    throw new Error(`${where}: broker and launcherShell are for a launcher; here the server's --broker applies`);
  }
  return { name, ...entry };
}

/**
 * The places a server's sessions may run, by name; the first is the
 * default. A page names one of them, never a command.
 */
class Targets {
  /** @type {Map<string, Target>} */
  #byName = new Map();

  /** @param {Target[]} targets */
  constructor(targets) {
    if (targets.length === 0) throw new Error('no target');
    for (const target of targets) this.#byName.set(target.name, target);
  }

  /** @returns {string[]} in the order given, the default first */
  get names() { return [...this.#byName.keys()]; }

  /**
   * The target a page asked for: the default when it named none, undefined
   * when it named one that is not there.
   * @param {string | null | undefined} name
   */
  find(name) {
    if (name === null || name === undefined || name === '') return this.#byName.values().next().value;
    return this.#byName.get(name);
  }

  /**
   * What the client's spawn() needs to start a session there.
   * @param {Target} target
   * @param {{ shell?: string[], spawnOptions?: object }} server the server's shell and spawn options
   * @returns {{ file: string, args: string[], options: object }}
   */
  spawnArguments(target, server) {
    const { brokerPath, ...common } = server.spawnOptions ?? {};
    if (!target.launcher) {
      const [file, ...args] = target.shell ?? server.shell ?? [process.env.SHELL || 'sh'];
      return { file, args, options: { ...common, ...(brokerPath ? { brokerPath } : {}) } };
    }
    // The server's --broker and $SHELL are this machine's paths, not the far side's.
    const [file, ...args] = target.shell ?? server.shell ?? REMOTE_DEFAULT_SHELL;
    const options = {
      ...common,
      launcher: target.launcher,
      launcherShell: target.launcherShell ?? runsThroughShell(target.launcher),
      ...(target.broker ? { brokerPath: target.broker } : {})
    };
    return { file, args, options };
  }
}

/** Sessions here, on this machine: the server's default. */
function localTargets() {
  return new Targets([{ name: LOCAL_TARGET }]);
}

/** Every session through one launcher (`--launcher ssh -T build-host --`), named after its last word. */
function launcherTargets(launcher) {
  if (!isStringList(launcher)) throw new Error('--launcher needs a command, ended by --');
  const last = launcher[launcher.length - 1].replace(/[^A-Za-z0-9._-]/g, '_').replace(/^[^A-Za-z0-9]+/, '').slice(0, 64);
  return new Targets([checkTarget(last || 'remote', { launcher })]);
}

/**
 * Targets from a JSON file: an object of named targets, in the order the
 * page lists them, the first the default, e.g.
 * `{"build-host": {"launcher": ["ssh", "-T", "build-host"]}, "here": {}}`.
 * @param {string} file
 */
function readTargetsFile(file) {
  let parsed;
  try {
    parsed = JSON.parse(fs.readFileSync(file, 'utf8'));
  } catch (error) {
    throw new Error(`--targets ${file}: ${error.message}`);
  }
  if (parsed === null || typeof parsed !== 'object' || Array.isArray(parsed)) {
    throw new Error(`--targets ${file}: an object of named targets is expected`);
  }
  try {
    return new Targets(Object.entries(parsed).map(([name, entry]) => checkTarget(name, entry)));
  } catch (error) {
    throw new Error(`--targets ${file}: ${error.message}`);
  }
}

/**
 * Takes `--launcher CMD ARGS... --` out of the server's arguments, since
 * the launcher's own arguments look like options.
 * @param {string[]} argv
 * @returns {{ launcher: string[] | undefined, rest: string[] }}
 */
function takeLauncherOption(argv) {
  const at = argv.indexOf('--launcher');
  const stop = argv.indexOf('--');
  if (at < 0 || (stop >= 0 && stop < at)) return { launcher: undefined, rest: argv };
  const end = argv.indexOf('--', at + 1);
  if (end < 0) throw new Error('--launcher CMD ARGS... must end with --');
  return { launcher: argv.slice(at + 1, end), rest: [...argv.slice(0, at), ...argv.slice(end + 1)] };
}

module.exports = { LOCAL_TARGET, Targets, localTargets, launcherTargets, readTargetsFile, takeLauncherOption };
