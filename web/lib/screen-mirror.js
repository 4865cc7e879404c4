'use strict';

const path = require('node:path');
const { Worker } = require('node:worker_threads');
const { plainTail, plainLineFeeds } = require('./plain-text');

// An escape sequence longer than this is not carried over into a snapshot.
const MAX_UNFINISHED_CHARS = 4096;

// Output is handed to the parser thread in batches: once the session's
// output has paused for QUIET_MS (if it is more than a few lines), once
// MAX_HELD_BYTES are held, and before a snapshot. A burst of output is then
// parsed after it, as one write, instead of beside it on the cores the page
// needs to draw it. A session that has shown no more than a prompt and a
// few commands has no headless terminal at all (most of what an idle
// session would cost): what it has written is parsed when a page asks for
// the screen.
const QUIET_MS = 100;
const QUIET_HANDOVER_BYTES = 16384;
// A flood is handed over in batches of this much: enough that plain text
// is mostly skipped (see plain-text.js), little enough that joining a
// batch for the thread is a short pause for the server, and that forty
// flooding sessions do not hold hundreds of megabytes between them.
const MAX_HELD_BYTES = 1024 * 1024;
// The mirror may fall this far behind before the shell is held back for it
// (terminal-session.js); it parses at a low priority.
const MAX_PENDING_BYTES = 16 * 1024 * 1024;

/**
 * Whether an escape sequence (from its ESC on) is complete, so that what
 * follows it is parsed from the ground state.
 * @param {string} sequence starts with ESC
 */
function sequenceFinished(sequence) {
  if (/[\x18\x1a]/.test(sequence)) return true; // CAN and SUB cancel a sequence
  const kind = sequence[1];
  if (kind === undefined) return false;
  if (kind === '[') return /[\x40-\x7e]/.test(sequence.slice(2));
  if (kind === ']') return sequence.includes('\x07', 2);
  // DCS, SOS, PM and APC end with ST (ESC \), whose ESC would be the last one.
  if ('PX^_'.includes(kind)) return false;
  return /^[\x20-\x2f]*[\x30-\x7e]/.test(sequence.slice(1));
}

/**
 * The escape sequence left unfinished at the end of the output so far, given
 * the one left unfinished before `data` ('' when the output ends in the
 * ground state).
 * @param {string} before
 * @param {string} data
 */
function unfinishedSequence(before, data) {
  const escape = data.lastIndexOf('\x1b');
  // Without an ESC, text goes on whatever state the output was in.
  if (escape < 0 && before === '') return '';
  const sequence = escape >= 0 ? data.slice(escape) : before + data;
  if (sequenceFinished(sequence) || sequence.length > MAX_UNFINISHED_CHARS) return '';
  return sequence;
}

/**
 * The thread that parses for every mirror of the process (started when the
 * first output is handed over). It holds the process open only while it
 * owes an answer (a parse or a snapshot), as a socket waiting for data
 * would.
 */
const parser = {
  /** @type {Worker | undefined} */
  worker: undefined,
  nextId: 1,
  owed: 0,
  /** @type {Map<number, ScreenMirror>} */
  mirrors: new Map(),
  /** @type {((bytes: number) => void)[]} */
  heapAnswers: [],

  /** @param {ScreenMirror} mirror @returns {number} its id */
  add(mirror) {
    const id = this.nextId++;
    this.mirrors.set(id, mirror);
    return id;
  },

  /** @param {object} message @param {ArrayBuffer[]} [transfer] moved to the thread, not copied */
  post(message, transfer) {
    if (!this.worker) this.start();
    this.worker.postMessage(message, transfer);
  },

  /** @param {number} change answers owed, more or fewer */
  owe(change) {
    const before = this.owed;
    this.owed += change;
    if (before === 0 && this.owed > 0) this.worker?.ref();
    else if (before > 0 && this.owed === 0) this.worker?.unref();
  },

  start() {
    const worker = new Worker(path.join(__dirname, 'screen-mirror-worker.js'));
    worker.on('message', (message) => {
      if (message.type === 'heap') this.heapAnswers.shift()?.(message.bytes);
      else this.mirrors.get(message.id)?.receive(message);
    });
    worker.on('error', (error) => console.error(`screen mirror: ${error.stack ?? error}`));
    worker.on('exit', () => {
      // Only on a fault: the mirrors lose their screens but not their sessions.
      this.worker = undefined;
      this.owed = 0;
      for (const mirror of this.mirrors.values()) mirror.lost();
    });
    if (this.owed === 0) worker.unref();
    this.worker = worker;
  },
};

/**
 * A headless xterm.js fed with a session's output, so that a page that has
 * nothing of it (a reloaded tab) can be given the screen as it is: normal and
 * alternate screens, cursor, modes and some scrollback. It answers no query
 * (nobody listens to its data events). The terminal itself lives on the
 * parser thread; this is its handle on the server's thread.
 */
class ScreenMirror {
  #id;
  #cols;
  #rows;
  #pendingBytes = 0;
  #alternate = false;
  #writtenSeq = 0;
  /** @type {{ bytes: number, onParsed: () => void }[]} writes not parsed yet (held or handed over), oldest first */
  #writes = [];
  /** @type {(Buffer | { cols: number, rows: number })[]} writes and sizes not handed to the parser thread yet */
  #held = [];
  /** @type {number[]} the line feeds of each write held, kept while all of it is plain */
  #heldLineFeeds = [];
  #heldWrites = 0;
  #heldBytes = 0;
  // Whether all that is held is plain text (plain-text.js), and whether the
  // parser thread, once it has parsed all that was handed over (#batch),
  // may skip plain text from there: then the plain text held is cut here,
  // and only what it would keep is copied to it. #mixedBatch: the last
  // batch handed over that was not all plain (what the thread says of any
  // batch since holds for the latest too: plain text changes no state).
  #heldPlain = true;
  #batch = 0;
  #mixedBatch = 0;
  // A new headless terminal is in its ground state, its scroll region the
  // whole screen: a session's first flood is cut before it is ever parsed.
  #skipsPlain = true;
  #lastWriteAt = 0;
  /** @type {NodeJS.Timeout | undefined} */
  #quietTimer;
  /** @type {Map<number, (snapshot: { seq: number, data: string }) => void>} */
  #snapshots = new Map();
  #nextRequest = 1;
  #disposed = false;
  #lost = false;
  #scrollback;
  #initialSize;
  // The headless terminal is made with the first output handed over.
  #created = false;

  /**
   * @param {number} cols
   * @param {number} rows
   * @param {number} scrollback lines kept above the screen
   */
  constructor(cols, rows, scrollback) {
    this.#cols = cols;
    this.#rows = rows;
    this.#initialSize = { cols, rows };
    this.#scrollback = scrollback;
    this.#id = parser.add(this);
  }

  /** Bytes written but not parsed yet. */
  get pendingBytes() { return this.#pendingBytes; }

  get cols() { return this.#cols; }
  get rows() { return this.#rows; }

  /** Whether a full-screen program has the alternate screen (as far as parsed). */
  get alternateScreen() { return this.#alternate; }

  /**
   * @param {number} seq the output message's number
   * @param {Buffer} data whole UTF-8 characters, not to be changed afterwards
   * @param {() => void} onParsed called once parsed, as pendingBytes drops
   */
  write(seq, data, onParsed) {
    if (this.#disposed) return;
    this.#writtenSeq = seq;
    if (this.#lost) return; // nothing is parsed any more
    this.#pendingBytes += data.length;
    this.#writes.push({ bytes: data.length, onParsed });
    this.#held.push(data);
    if (this.#heldPlain) {
      const lineFeeds = plainLineFeeds(data);
      this.#heldPlain = lineFeeds >= 0;
      this.#heldLineFeeds.push(lineFeeds);
    }
    this.#heldWrites += 1;
    this.#heldBytes += data.length;
    this.#lastWriteAt = performance.now();
    if (this.#heldBytes >= MAX_HELD_BYTES) {
      if (!this.#cutHeld()) this.#handOver();
    } else if (this.#heldBytes >= QUIET_HANDOVER_BYTES) this.#quietTimer ??= setTimeout(() => this.#onQuietTimer(), QUIET_MS);
  }

  /** @param {number} cols @param {number} rows */
  resize(cols, rows) {
    this.#cols = cols;
    this.#rows = rows;
    if (this.#lost) return;
    this.#heldPlain = false;
    // In order with the output: what was written at the old size is parsed
    // at it. Of sizes with no output between them only the last is kept: a
    // page's 20,000 resizes are then one resize of the headless terminal
    // (each makes every line anew), and hold nothing here.
    const last = this.#held.length - 1;
    if (last >= 0 && !Buffer.isBuffer(this.#held[last])) this.#held[last] = { cols, rows };
    else this.#held.push({ cols, rows });
  }

  /**
   * The screen once everything written so far is parsed, as output that
   * rebuilds it on an empty terminal, and the seq it stands for. A sequence
   * left unfinished comes last, so that the next message completes it on
   * the page as it did here.
   * @returns {Promise<{ seq: number, data: string }>}
   */
  snapshot() {
    return new Promise((resolve) => {
      if (this.#lost) {
        resolve(this.#blank());
        return;
      }
      this.#handOver();
      this.#create();
      const request = this.#nextRequest++;
      this.#snapshots.set(request, resolve);
      parser.owe(1);
      parser.post({ type: 'snapshot', id: this.#id, request });
    });
  }

  dispose() {
    if (this.#disposed) return;
    this.#disposed = true;
    clearTimeout(this.#quietTimer);
    parser.mirrors.delete(this.#id);
    parser.owe(-(this.#writes.length - this.#heldWrites + this.#snapshots.size));
    if (!this.#lost && this.#created) parser.post({ type: 'dispose', id: this.#id });
  }

  /** A report from the parser thread. @param {any} message */
  receive(message) {
    this.#alternate = message.alternate;
    if (message.type === 'parsed') {
      if (message.batch >= this.#mixedBatch) this.#skipsPlain = message.skipsPlain;
      const done = this.#writes.splice(0, message.count);
      parser.owe(-done.length);
      for (const { bytes, onParsed } of done) {
        this.#pendingBytes -= bytes;
        onParsed();
      }
    } else if (message.type === 'snapshot') {
      const resolve = this.#snapshots.get(message.request);
      if (this.#snapshots.delete(message.request)) parser.owe(-1);
      resolve?.({ seq: message.seq, data: message.data });
    }
  }

  /** The parser thread has gone: what was pending is let go, snapshots are blank. */
  lost() {
    this.#lost = true;
    this.#alternate = false;
    clearTimeout(this.#quietTimer);
    this.#held = [];
    this.#heldLineFeeds = [];
    this.#heldWrites = 0;
    this.#heldBytes = 0;
    for (const { bytes, onParsed } of this.#writes.splice(0)) {
      this.#pendingBytes -= bytes;
      onParsed();
    }
    for (const resolve of this.#snapshots.values()) resolve(this.#blank());
    this.#snapshots.clear();
  }

  #onQuietTimer() {
    this.#quietTimer = undefined;
    const quietFor = performance.now() - this.#lastWriteAt;
    if (quietFor >= QUIET_MS) this.#handOver();
    else this.#quietTimer = setTimeout(() => this.#onQuietTimer(), QUIET_MS - quietFor);
  }

  /**
   * A plain flood is cut here as it comes, not handed over: only its last
   * lines can show, so the parser thread is given them once the output
   * pauses or a page asks for the screen, and never parses (nor this thread
   * copies) the rest. The writes cut count as parsed.
   * @returns {boolean} whether what was held is cut to its tail
   */
  #cutHeld() {
    if (!this.#heldPlain || !this.#skipsPlain) return false;
    const tail = plainTail(this.#held, this.#heldLineFeeds, 2 * this.#rows + this.#scrollback);
    if (tail === undefined) return false;
    this.#held = [tail];
    this.#heldLineFeeds = [plainLineFeeds(tail)];
    this.#heldBytes = tail.length;
    const cut = this.#writes.splice(this.#writes.length - this.#heldWrites);
    this.#heldWrites = 0;
    for (const { bytes, onParsed } of cut) {
      this.#pendingBytes -= bytes;
      onParsed();
    }
    return true;
  }

  /**
   * Gives the parser thread what is held: consecutive writes as one, sizes
   * between them. The writes' bytes are joined into memory of their own,
   * which moves to the thread instead of being copied.
   */
  #handOver() {
    if (this.#held.length === 0 || this.#lost) return;
    clearTimeout(this.#quietTimer);
    this.#quietTimer = undefined;
    this.#create();
    const plain = this.#heldPlain;
    const tail = plain && this.#skipsPlain ? plainTail(this.#held, this.#heldLineFeeds, 2 * this.#rows + this.#scrollback) : undefined;
    if (tail !== undefined) this.#held = [tail];
    const parts = [];
    let text = [];
    for (const item of this.#held) {
      if (Buffer.isBuffer(item)) {
        text.push(item);
        continue;
      }
      if (text.length > 0) parts.push(joined(text));
      text = [];
      parts.push(item);
    }
    if (text.length > 0) parts.push(joined(text));
    const count = this.#heldWrites;
    this.#held = [];
    this.#heldLineFeeds = [];
    this.#heldPlain = true;
    this.#heldWrites = 0;
    this.#heldBytes = 0;
    this.#batch += 1;
    // Plain text leaves the parser as it found it: after a plain batch the
    // next may be cut as this one was, without waiting for the thread to
    // say so (under a flood it is behind, and each batch was copied whole).
    this.#skipsPlain &&= plain;
    if (!plain) this.#mixedBatch = this.#batch;
    parser.owe(count);
    const transfer = parts.filter((part) => part instanceof Uint8Array).map((part) => part.buffer);
    parser.post({ type: 'write', id: this.#id, seq: this.#writtenSeq, count, parts, batch: this.#batch }, transfer);
  }

  /** The headless terminal, at the size the session began with: every size since is held in order. */
  #create() {
    if (this.#created) return;
    this.#created = true;
    parser.post({ type: 'create', id: this.#id, ...this.#initialSize, scrollback: this.#scrollback });
  }

  /** A cleared screen standing for everything written. */
  #blank() {
    return { seq: this.#writtenSeq, data: '\x1bc' };
  }
}

/**
 * Buffers joined over an ArrayBuffer of their own (never a slice of a
 * shared pool), so that it can be transferred.
 * @param {Buffer[]} buffers
 */
function joined(buffers) {
  let length = 0;
  for (const buffer of buffers) length += buffer.length;
  const bytes = Buffer.allocUnsafeSlow(length); // not zeroed: every byte is written below
  let at = 0;
  for (const buffer of buffers) {
    bytes.set(buffer, at);
    at += buffer.length;
  }
  return bytes;
}

/**
 * The parser thread's heap (used and external bytes), after a collection
 * where the thread can ask for one: what the mirrors of the process cost.
 * For the server's memory benchmark. 0 while the thread has not started.
 * @returns {Promise<number>}
 */
function parserHeapBytes() {
  if (!parser.worker) return Promise.resolve(0);
  return new Promise((resolve) => {
    parser.heapAnswers.push(resolve);
    parser.worker.postMessage({ type: 'heap' });
  });
}

module.exports = { ScreenMirror, unfinishedSequence, parserHeapBytes, MAX_PENDING_BYTES };
