'use strict';

// Inputs are sent in pieces of this many bytes, so that a large paste
// becomes lines of a modest size that the broker can interleave with others.
const INPUT_PIECE_BYTES = 65536;

/**
 * One JSON-RPC 2.0 notification line for the broker's standard input.
 * @param {string} method
 * @param {object} params
 */
function notificationLine(method, params) {
  return JSON.stringify({ jsonrpc: '2.0', method, params }) + '\n';
}

/**
 * @param {Buffer} bytes what to type
 * @returns {string[]} terminal.input lines
 */
function inputLines(bytes) {
  const lines = [];
  for (let start = 0; start < bytes.length; start += INPUT_PIECE_BYTES) {
    const piece = bytes.subarray(start, start + INPUT_PIECE_BYTES);
    lines.push(notificationLine('terminal.input', { data_b64: piece.toString('base64') }));
  }
  return lines;
}

/**
 * The exit event from the broker's closed event, in node-pty's terms: a shell
 * ended by a signal has exitCode 0 and the signal's number.
 * @param {{ exit_code: number | null, reason: string }} closed
 */
function exitFromClosed(closed) {
  const match = /^signal:(\d+)$/.exec(closed.reason);
  return { exitCode: closed.exit_code ?? 0, signal: match ? Number(match[1]) : 0, reason: closed.reason };
}

module.exports = { notificationLine, inputLines, exitFromClosed };
