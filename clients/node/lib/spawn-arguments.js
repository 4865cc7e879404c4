'use strict';

const { DEFAULT_COLS, DEFAULT_ROWS, fitSize } = require('./sizes');

/** The shell when none is given, as node-pty's. */
const DEFAULT_FILE = 'sh';
const DEFAULT_FLOW_WINDOW = 262144;
const MAX_FLOW_WINDOW = 268435456;
const XOFF = '\x13';
const XON = '\x11';

/**
 * spawn()'s arguments checked as node-pty checks them, with the defaults
 * filled in.
 * @param {unknown} file @param {unknown} args
 * @param {import('../index').SpawnOptions} [options]
 * @throws {TypeError | RangeError | Error} for an argument of the wrong kind
 */
function spawnArguments(file, args, options) {
  if (file !== undefined && file !== null && typeof file !== 'string') throw new TypeError('file must be a string');
  if (typeof args === 'string') throw new Error('args as a string is not supported on unix.');
  if (args !== undefined && args !== null && !Array.isArray(args)) throw new TypeError('args must be an array of strings');
  options = options || {};
  const name = options.name;
  if (name !== undefined && name !== null && typeof name !== 'string') {
    throw new TypeError(`name must be a string (not a ${typeof name})`);
  }
  const encoding = options.encoding === undefined ? 'utf8' : options.encoding;
  return {
    file: file || DEFAULT_FILE,
    args: (args || []).map(String),
    options,
    cols: fitSize('cols', options.cols || DEFAULT_COLS),
    rows: fitSize('rows', options.rows || DEFAULT_ROWS),
    flowWindow: checkFlowWindow(options.flowWindow ?? DEFAULT_FLOW_WINDOW),
    handleFlowControl: Boolean(options.handleFlowControl),
    flowControlPause: options.flowControlPause ?? XOFF,
    flowControlResume: options.flowControlResume ?? XON,
    encoding
  };
}

function checkFlowWindow(value) {
  if (!Number.isInteger(value) || value < 0 || value > MAX_FLOW_WINDOW) {
    throw new RangeError(`flowWindow must be an integer from 0 to ${MAX_FLOW_WINDOW}, not ${value}`);
  }
  return value;
}

module.exports = { spawnArguments };
