'use strict';

const fs = require('fs');
const path = require('path');

// The names the server gives its recordings (session-recorder.js): nothing
// else of the directory is listed or served, and no path from a request
// reaches the file system.
const NAME_PATTERN = /^[0-9TZ-]+-[A-Za-z0-9][A-Za-z0-9._-]{0,63}-[0-9a-f]{6}\.cast$/;
// Enough of a file to hold its header line.
const HEADER_BYTES = 4096;

/** The header line of a recording, or undefined when it has none yet. */
function readHeader(file) {
  const fd = fs.openSync(file, 'r');
  try {
    const buffer = Buffer.alloc(HEADER_BYTES);
    const length = fs.readSync(fd, buffer, 0, HEADER_BYTES, 0);
    const end = buffer.subarray(0, length).indexOf(0x0a);
    return end < 0 ? undefined : JSON.parse(buffer.subarray(0, end).toString());
  } catch {
    return undefined;
  } finally {
    fs.closeSync(fd);
  }
}

/**
 * The recordings in `dir`, newest first: name, size in bytes, and from the
 * header the start (seconds since the epoch), the size and the target.
 * @param {string} dir
 */
function listRecordings(dir) {
  let names;
  try {
    names = fs.readdirSync(dir).filter((name) => NAME_PATTERN.test(name));
  } catch {
    return [];
  }
  const recordings = [];
  for (const name of names) {
    const file = path.join(dir, name);
    const header = readHeader(file);
    if (!header) continue;
    const { size } = fs.statSync(file);
    recordings.push({ name, bytes: size, timestamp: header.timestamp, width: header.width, height: header.height, target: header.target });
  }
  return recordings.sort((a, b) => b.timestamp - a.timestamp || (a.name < b.name ? 1 : -1));
}

/** The path of a recording named by a request, or undefined when it names none. */
function recordingPath(dir, name) {
  if (typeof name !== 'string' || !NAME_PATTERN.test(name)) return undefined;
  const file = path.join(dir, name);
  return fs.existsSync(file) ? file : undefined;
}

module.exports = { listRecordings, recordingPath };
