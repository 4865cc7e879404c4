'use strict';

const DEFAULT_COLS = 80;
const DEFAULT_ROWS = 24;
const MAX_SIZE = 65535;

/**
 * A terminal dimension as node-pty takes it: any positive finite number,
 * truncated to an integer and kept within what a terminal can hold (1 to
 * 65535), so that a size computed by division or a huge one never throws.
 * @param {string} name for the error
 * @param {number} value
 * @returns {number}
 * @throws {Error} for zero, a negative number, NaN or Infinity, as node-pty does
 */
function fitSize(name, value) {
  const number = Number(value);
  if (!(number > 0) || number === Infinity) {
    throw new Error(`resizing must be done using positive cols and rows (${name} is ${value})`);
  }
  return Math.min(MAX_SIZE, Math.max(1, Math.trunc(number)));
}

module.exports = { DEFAULT_COLS, DEFAULT_ROWS, MAX_SIZE, fitSize };
