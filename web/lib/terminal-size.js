'use strict';

// The largest terminal a session takes, whatever a page asks for (on its
// WebSocket's address or in a resize): 500 columns by 200 rows, more than a
// full 8K screen shows in a readable font. A larger size is clamped to it
// (the shell sees the clamped size; the page is told the maximum and fits
// its terminal within it). Without it one page's 65535x65535 made the
// server's headless copy of the screen allocate gigabytes.
const MAX_COLS = 500;
const MAX_ROWS = 200;

// The cells the screen mirror keeps for the normal screen and its
// scrollback together (12 bytes each in xterm.js: 3 MiB). A wide terminal
// gets fewer lines of scrollback rather than more memory; the alternate
// screen adds at most MAX_COLS * MAX_ROWS cells more.
const MIRROR_MAX_CELLS = 256 * 1024;

/**
 * A column or row count as the page may send it: an integer from 1 to 65535
 * (the broker's range). Anything else is not a size.
 * @param {unknown} value
 */
function validSize(value) {
  return Number.isInteger(value) && value >= 1 && value <= 65535;
}

/**
 * The size a session takes for the one asked: each count at most its maximum.
 * @param {number} cols @param {number} rows valid sizes
 */
function clampSize(cols, rows) {
  return { cols: Math.min(cols, MAX_COLS), rows: Math.min(rows, MAX_ROWS) };
}

/**
 * Lines of scrollback the screen mirror keeps at a size: as asked, unless
 * the scrollback and the screen would hold more than MIRROR_MAX_CELLS.
 * @param {number} scrollback lines asked for @param {number} cols @param {number} rows
 */
function mirrorScrollback(scrollback, cols, rows) {
  return Math.max(0, Math.min(scrollback, Math.floor(MIRROR_MAX_CELLS / cols) - rows));
}

module.exports = { MAX_COLS, MAX_ROWS, MIRROR_MAX_CELLS, validSize, clampSize, mirrorScrollback };
