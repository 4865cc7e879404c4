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

const DATA_PREFIX = '{"data_b64":"';
const DATA_REST = /^,"seq":(\d+),(?:"ts":(\d+),)?"type":"data"}$/;

/**
 * A data event line as the broker writes it (keys in order), read without
 * parsing its output as JSON; undefined for any other line, which is then
 * parsed as JSON.
 * @param {string} line
 * @returns {{ type: 'data', seq: number, ts?: number, data_b64: string } | undefined}
 */
function dataEventFromLine(line) {
  if (!line.startsWith(DATA_PREFIX)) return undefined;
  const end = line.indexOf('"', DATA_PREFIX.length);
  const rest = end < 0 ? null : DATA_REST.exec(line.slice(end + 1));
  if (!rest) return undefined;
  const event = { type: 'data', seq: Number(rest[1]), data_b64: line.slice(DATA_PREFIX.length, end) };
  if (rest[2] !== undefined) event.ts = Number(rest[2]);
  return event;
}

/** @param {string} base64 @returns {number} the bytes it stands for */
function base64Bytes(base64) {
  const padding = base64.endsWith('==') ? 2 : base64.endsWith('=') ? 1 : 0;
  return Math.floor(base64.length * 3 / 4) - padding;
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

module.exports = { notificationLine, inputLines, exitFromClosed, dataEventFromLine, base64Bytes };
