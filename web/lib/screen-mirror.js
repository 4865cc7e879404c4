'use strict';

const { Terminal } = require('@xterm/headless');
const { SerializeAddon } = require('@xterm/addon-serialize');

// An escape sequence longer than this is not carried over into a snapshot.
const MAX_UNFINISHED_CHARS = 4096;

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
 * A headless xterm.js fed with a session's output, so that a page that has
 * nothing of it (a reloaded tab) can be given the screen as it is: normal and
 * alternate screens, cursor, modes and some scrollback. It answers no query
 * (nobody listens to its data events).
 */
class ScreenMirror {
  #terminal;
  #serializer = new SerializeAddon();
  #pendingChars = 0;
  #parsedSeq = 0;
  #unfinished = '';
  #scrollback;

  /**
   * @param {number} cols
   * @param {number} rows
   * @param {number} scrollback lines kept above the screen
   */
  constructor(cols, rows, scrollback) {
    this.#scrollback = scrollback;
    this.#terminal = new Terminal({ cols, rows, scrollback, allowProposedApi: true });
    this.#terminal.loadAddon(this.#serializer);
  }

  /** Characters written but not parsed yet. */
  get pendingChars() { return this.#pendingChars; }

  get cols() { return this.#terminal.cols; }
  get rows() { return this.#terminal.rows; }

  /** Whether a full-screen program has the alternate screen (as far as parsed). */
  get alternateScreen() { return this.#terminal.buffer.active.type === 'alternate'; }

  /**
   * @param {number} seq the output message's number
   * @param {string} data
   * @param {() => void} onParsed called once parsed, as pendingChars drops
   */
  write(seq, data, onParsed) {
    this.#pendingChars += data.length;
    this.#terminal.write(data, () => {
      this.#pendingChars -= data.length;
      this.#parsedSeq = seq;
      this.#unfinished = unfinishedSequence(this.#unfinished, data);
      onParsed();
    });
  }

  /** @param {number} cols @param {number} rows */
  resize(cols, rows) {
    this.#terminal.resize(cols, rows);
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
      this.#terminal.write('', () => {
        const screen = this.#serializer.serialize({ scrollback: this.#scrollback });
        resolve({ seq: this.#parsedSeq, data: screen + this.#unfinished });
      });
    });
  }

  dispose() {
    this.#terminal.dispose();
  }
}

module.exports = { ScreenMirror, unfinishedSequence };
