'use strict';

/**
 * The recent output of one session, kept as the numbered messages the page
 * is sent (seq 1, 2, ...), as bytes: off the JS heap, so that a flood passes
 * through without the collector carrying it. Each message is whole UTF-8
 * characters (utf8-chunks.js). Only whole messages are kept and replayed,
 * so a replay never starts inside a character or an escape sequence: the
 * page's parser goes on from where its own last message left it. Bounded
 * in bytes: the oldest messages go first, except those after `keepAfter`,
 * which an attached page has not yet confirmed.
 */
class OutputLog {
  #entries = [];
  #first = 0; // index in #entries of the oldest message held
  #bytes = 0;
  #total = 0; // bytes of every message so far, for counting backlogs
  #lastSeq = 0;
  #limit;

  /** @param {number} limitBytes */
  constructor(limitBytes) {
    this.#limit = limitBytes;
  }

  /** The number of the newest message; 0 before any. */
  get lastSeq() { return this.#lastSeq; }

  /** The bytes held. */
  get bytes() { return this.#bytes; }

  /**
   * Adds a message, then drops the oldest ones while over the bound.
   * @param {Buffer} data
   * @param {number} keepAfter messages after this seq are kept whatever the bound
   * @returns {number} its seq
   */
  append(data, keepAfter = Infinity) {
    this.#total += data.length;
    this.#entries.push({ seq: ++this.#lastSeq, data, bytesSoFar: this.#total });
    this.#bytes += data.length;
    this.#trim(keepAfter);
    return this.#lastSeq;
  }

  /** Whether every message after `seq` is still held, so that a page that has `seq` can be brought up to date. */
  holdsAfter(seq) {
    return Number.isInteger(seq) && seq >= this.#firstSeq() - 1 && seq <= this.#lastSeq;
  }

  /** @returns {{ seq: number, data: Buffer } | undefined} */
  message(seq) {
    return this.#entries[this.#first + seq - this.#firstSeq()];
  }

  /** The bytes of the messages after `seq` (which must be held, see holdsAfter). */
  bytesAfter(seq) {
    if (seq >= this.#lastSeq) return 0;
    const next = this.message(Math.max(seq + 1, this.#firstSeq()));
    return next ? this.#total - next.bytesSoFar + next.data.length : 0;
  }

  #firstSeq() {
    const oldest = this.#entries[this.#first];
    return oldest ? oldest.seq : this.#lastSeq + 1;
  }

  #trim(keepAfter) {
    while (this.#bytes > this.#limit && this.#first < this.#entries.length &&
           this.#entries[this.#first].seq <= keepAfter) {
      this.#bytes -= this.#entries[this.#first].data.length;
      this.#entries[this.#first++] = undefined;
    }
    // Drop the emptied front now and then rather than shifting at every message.
    if (this.#first > 1024 && this.#first * 2 > this.#entries.length) {
      this.#entries = this.#entries.slice(this.#first);
      this.#first = 0;
    }
  }
}

module.exports = { OutputLog };
