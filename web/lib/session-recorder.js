'use strict';

const crypto = require('crypto');
const fs = require('fs');
const path = require('path');

// Room kept for the note that ends a recording at its size limit.
const NOTE_ROOM = 160;

/** A recording's file name: when it started, where, and a few random letters (never the session's id). */
function recordingName(target, now = new Date()) {
  const when = now.toISOString().replace(/\.\d+Z$/, 'Z').replace(/:/g, '-');
  return `${when}-${target}-${crypto.randomBytes(3).toString('hex')}.cast`;
}

/**
 * One session written as asciicast v2, the format asciinema plays: a header
 * line (version 2, size, start time, TERM and SHELL, the target), then one
 * line per event: `[t, "o", text]` output, `[t, "r", "COLSxROWS"]` a resize,
 * `[t, "i", text]` input (only when asked: input holds passwords).
 *
 * Times are seconds after the start on the broker's clock (its data
 * events' `ts`), so a shell on another machine is recorded at the pace it
 * ran there; resizes and input, which happen here, are put on that clock.
 * Output comes as whole UTF-8 characters (the session joins a character
 * split between two reads of the terminal), decoded here: only a session
 * that is recorded turns its output into text.
 *
 * Lines are written whole, one write at a time in order, so a recording
 * cut short (a crash, a full disk) is valid up to its last line: a failed
 * write is cut back to the last whole line and ends the recording. The
 * file is created with mode 0600 and never replaces another.
 */
class SessionRecorder {
  /** The file's path. */
  path;
  #fd;
  #limit;
  #input;
  #inputDecoder = new TextDecoder('utf-8');
  #size = 0; // bytes of the lines handed to the file, whole
  #pending = [];
  #writing = false;
  #ended = false;
  #closed = false;
  #createdAt = Date.now();
  #startTs; // the start on the broker's clock, from its first time stamp
  #lastMs = 0;
  #brokerTs;
  #brokerTsSeenAt;
  #onClosed;

  /**
   * @param {string} dir created (mode 0700) if missing
   * @param {object} session
   * @param {string} session.target the target's name
   * @param {number} session.cols @param {number} session.rows
   * @param {string} session.term @param {string} session.shell
   * @param {{ limitBytes?: number, input?: boolean }} [options] limitBytes 0: none
   */
  constructor(dir, { target, cols, rows, term, shell }, { limitBytes = 0, input = false } = {}) {
    fs.mkdirSync(dir, { recursive: true, mode: 0o700 });
    this.path = path.join(dir, recordingName(target));
    // 'wx': O_EXCL, never through a link planted at that name.
    this.#fd = fs.openSync(this.path, 'wx', 0o600);
    this.#limit = limitBytes;
    this.#input = input;
    this.closed = new Promise((resolve) => { this.#onClosed = resolve; });
    const header = {
      version: 2, width: cols, height: rows, timestamp: Math.floor(this.#createdAt / 1000),
      env: { SHELL: shell, TERM: term }, target
    };
    this.#add(Buffer.from(JSON.stringify(header) + '\n'));
  }

  /**
   * @param {Buffer} bytes output, whole UTF-8 characters
   * @param {number} [ts] the broker's time stamp of the data event it came from
   */
  output(bytes, ts) {
    if (this.#ended || bytes.length === 0) return;
    const now = Date.now();
    if (Number.isFinite(ts)) {
      // The broker's first time stamp fixes the start on its clock: as long
      // after the start as this output came after the session's creation.
      this.#startTs ??= ts - (now - this.#createdAt);
      this.#brokerTs = ts;
      this.#brokerTsSeenAt = now;
    }
    this.#event(Number.isFinite(ts) ? ts : this.#localTs(), 'o', bytes.toString('utf8'));
  }

  /** @param {number} cols @param {number} rows */
  resize(cols, rows) {
    if (!this.#ended) this.#event(this.#localTs(), 'r', `${cols}x${rows}`);
  }

  /** @param {string} data @param {boolean} [binary] one character per byte (mouse reports) */
  input(data, binary = false) {
    if (this.#ended || !this.#input) return;
    const text = binary ? this.#inputDecoder.decode(Buffer.from(data, 'latin1'), { stream: true }) : data;
    if (text !== '') this.#event(this.#localTs(), 'i', text);
  }

  /** Ends the recording; `closed` resolves once the file is written and closed. */
  close() {
    this.#ended = true;
    this.#closed = true;
    this.#writeNext();
    return this.closed;
  }

  /** Now, on the broker's clock. */
  #localTs() {
    const now = Date.now();
    if (this.#brokerTs === undefined) return (this.#startTs ??= this.#createdAt) + (now - this.#createdAt);
    return this.#brokerTs + (now - this.#brokerTsSeenAt);
  }

  #event(ts, type, text) {
    this.#startTs ??= this.#createdAt;
    // Never back in time: a resize put on the broker's clock from here may come after output that ran ahead.
    this.#lastMs = Math.max(this.#lastMs, ts - this.#startTs);
    const seconds = this.#lastMs / 1000;
    const line = Buffer.from(JSON.stringify([seconds, type, text]) + '\n');
    if (this.#limit > 0 && this.#size + line.length + NOTE_ROOM > this.#limit) {
      const note = `\r\n[recording ended: it reached its size limit of ${this.#limit} bytes]\r\n`;
      this.#add(Buffer.from(JSON.stringify([seconds, 'o', note]) + '\n'));
      this.#ended = true;
      return;
    }
    this.#add(line);
  }

  /** @param {Buffer} bytes whole lines */
  #add(bytes) {
    this.#size += bytes.length;
    this.#pending.push(bytes);
    this.#writeNext();
  }

  // One write at a time, of every whole line waiting: the lines stay in order, and the server's thread never waits for the disk.
  #writeNext() {
    if (this.#writing || this.#fd === undefined) return;
    if (this.#pending.length === 0) {
      if (this.#closed) this.#closeFile();
      return;
    }
    const lines = Buffer.concat(this.#pending);
    this.#pending = [];
    this.#writing = true;
    const written = this.#size - lines.length; // what the file holds before these lines
    writeAll(this.#fd, lines, (error) => {
      this.#writing = false;
      if (error) {
        // Only whole lines stay: a cut one would make the rest unreadable.
        try { fs.ftruncateSync(this.#fd, written); } catch {}
        console.error(`terminal-stream-web: recording ${this.path} ended: ${error.message}`);
        this.#pending = [];
        this.#ended = true;
        this.#closed = true;
      }
      this.#writeNext();
    });
  }

  #closeFile() {
    const fd = this.#fd;
    this.#fd = undefined;
    fs.close(fd, () => this.#onClosed());
  }
}

/** Writes all of `bytes` at the file's end, then calls back (with the error, if one). */
function writeAll(fd, bytes, done) {
  fs.write(fd, bytes, 0, bytes.length, null, (error, count) => {
    if (error) done(error);
    else if (count < bytes.length) writeAll(fd, bytes.subarray(count), done);
    else done();
  });
}

module.exports = { SessionRecorder, recordingName };
