'use strict';

const { isUtf8 } = require('node:buffer');

/**
 * A terminal's output as it is read, cut into chunks of whole UTF-8
 * characters: a character split between two reads waits (at most 3 bytes)
 * for the rest of it. Each chunk is valid UTF-8, as a text frame must be
 * (a browser fails the connection otherwise) and as a replay that starts
 * at any chunk needs; bytes that are not UTF-8 become U+FFFD, as a
 * streaming decoder would make them.
 */
class Utf8Chunks {
  /** @type {Buffer | undefined} the start of a character, read but not yet whole */
  #tail;

  /**
   * @param {Buffer} bytes the next read
   * @returns {Buffer} its whole characters, after what was left of the last read (may be empty)
   */
  take(bytes) {
    let chunk = this.#tail ? Buffer.concat([this.#tail, bytes]) : bytes;
    this.#tail = undefined;
    const whole = incompleteStart(chunk);
    if (whole < chunk.length) {
      // A copy: the read's buffer may be a slice of a larger one, which the tail would keep alive.
      this.#tail = Buffer.from(chunk.subarray(whole));
      chunk = chunk.subarray(0, whole);
    }
    return isUtf8(chunk) ? chunk : Buffer.from(chunk.toString('utf8'));
  }

  /** @returns {Buffer} what is left at the end of the output: a character never finished, as U+FFFD */
  end() {
    const tail = this.#tail;
    this.#tail = undefined;
    return tail ? Buffer.from(tail.toString('utf8')) : Buffer.alloc(0);
  }
}

/**
 * Where a character that the bytes leave unfinished starts: the last lead
 * byte, if fewer bytes follow it than it announces; else the length.
 * @param {Buffer} bytes
 */
function incompleteStart(bytes) {
  const end = bytes.length;
  for (let at = end - 1; at >= 0 && at >= end - 3; at--) {
    const byte = bytes[at];
    if ((byte & 0xc0) === 0x80) continue; // a continuation byte: look further back
    const size = byte >= 0xf0 && byte <= 0xf4 ? 4 : byte >= 0xe0 && byte <= 0xef ? 3 : byte >= 0xc2 && byte <= 0xdf ? 2 : 1;
    return at + size > end ? at : end;
  }
  return end;
}

module.exports = { Utf8Chunks };
