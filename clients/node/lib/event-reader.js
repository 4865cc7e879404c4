'use strict';

const LF = 0x0a;
const RAW_HEAD = Buffer.from('{"bytes":');
// The longest raw data line: three 20-digit numbers and the fixed text.
const MAX_RAW_LINE = 97;
const RAW_LINE = /^\{"bytes":(\d+),"seq":(\d+),(?:"ts":(\d+),)?"type":"data"\}$/;

/**
 * Cuts the broker's standard output into event lines and raw data events.
 * A data event asked for as raw (`raw_data`) is a line with the count of
 * its bytes, then the bytes themselves: they are taken as they are, never
 * searched for line feeds or decoded. Every other line is handed on as
 * text. A line or an event split across reads comes out whole.
 */
class EventReader {
  /** @type {Buffer[]} the start of a line, or the bytes of a raw event so far */
  #pieces = [];
  #piecesBytes = 0;
  /** @type {{ type: 'data', seq: number, ts?: number, bytes: Buffer | null } | null} */
  #raw = null;
  #rawBytes = 0;

  /**
   * @param {Buffer} chunk the next read of the stream
   * @returns {(string | { type: 'data', seq: number, ts?: number, bytes: Buffer })[]}
   *   the lines (without their LF) and raw data events this read completed
   */
  push(chunk) {
    const out = [];
    let at = 0;
    while (at < chunk.length) {
      if (this.#raw) {
        const take = Math.min(this.#rawBytes - this.#piecesBytes, chunk.length - at);
        this.#keep(chunk.subarray(at, at + take));
        at += take;
        if (this.#piecesBytes === this.#rawBytes) out.push(this.#takeRaw());
        continue;
      }
      const lf = chunk.indexOf(LF, at);
      if (lf < 0) {
        this.#keep(chunk.subarray(at));
        break;
      }
      // A line within one read is read in place; one cut by reads is joined.
      let line = chunk.subarray(at, lf);
      if (this.#piecesBytes > 0) {
        this.#keep(line);
        line = this.#takePieces();
      }
      at = lf + 1;
      this.#line(line, out);
    }
    return out;
  }

  /**
   * What is left when the stream ends: a line it did not end, or the bytes
   * of a raw event cut short (the broker was killed while writing it).
   * @returns {(string | { type: 'data', seq: number, ts?: number, bytes: Buffer })[]}
   */
  rest() {
    if (this.#raw) {
      if (this.#piecesBytes > 0) return [this.#takeRaw()];
      this.#raw = null;
      return [];
    }
    const out = [];
    if (this.#piecesBytes > 0) this.#line(this.#takePieces(), out);
    return out;
  }

  #keep(piece) {
    if (piece.length === 0) return;
    this.#pieces.push(piece);
    this.#piecesBytes += piece.length;
  }

  /**
   * @returns {Buffer} the pieces as one buffer. A single piece stays where it
   * is: a read's buffer is only as long as what it read, so it keeps at most
   * that read alive, and a flood is not copied once more (every copy is
   * memory outside the heap, whose growth makes the collector run).
   */
  #takePieces() {
    const whole = this.#pieces.length === 1 ? this.#pieces[0] : Buffer.concat(this.#pieces, this.#piecesBytes);
    this.#pieces = [];
    this.#piecesBytes = 0;
    return whole;
  }

  #takeRaw() {
    const event = this.#raw;
    event.bytes = this.#takePieces();
    this.#raw = null;
    return event;
  }

  #line(line, out) {
    if (line.length === 0) return;
    if (line.length <= MAX_RAW_LINE && line.subarray(0, RAW_HEAD.length).equals(RAW_HEAD)) {
      const match = RAW_LINE.exec(line.toString('latin1'));
      if (match) {
        this.#raw = { type: 'data', seq: Number(match[2]), bytes: null };
        if (match[3] !== undefined) this.#raw.ts = Number(match[3]);
        this.#rawBytes = Number(match[1]);
        if (this.#rawBytes === 0) out.push(this.#takeRaw());
        return;
      }
    }
    out.push(line.toString('utf8'));
  }
}

module.exports = { EventReader };
