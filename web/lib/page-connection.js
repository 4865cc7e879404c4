'use strict';

// The page acknowledges each output message once xterm.js has processed it
// (its write callback). No more than this many characters are sent ahead of
// the acknowledgements, so a large replay cannot outrun the page either.
const MAX_IN_FLIGHT_CHARS = 131072;

/**
 * One page's WebSocket, attached to a session: what it has been sent and
 * what it has confirmed. Output goes out in the log's order from one cursor,
 * so a replay and live output never interleave and nothing goes twice.
 *
 * Phases: 'preparing' (the page has been told about the session, its screen
 * is being made ready), 'relaying' (output flows), 'closed'.
 */
class PageConnection {
  phase = 'preparing';
  /** The last seq the page has confirmed writing; undefined while preparing. */
  ackedSeq;
  #socket;
  #nextSeq = 0;
  #resumeEnd = 0;
  #resumedSent = true;
  #inFlight = [];
  #inFlightChars = 0;

  /** @param {import('ws').WebSocket} socket */
  constructor(socket) {
    this.#socket = socket;
  }

  get socket() { return this.#socket; }

  /** @param {object} message sent as one JSON text, if the socket is still open */
  send(message) {
    if (this.#socket.readyState === this.#socket.OPEN) this.#socket.send(JSON.stringify(message));
  }

  /**
   * Starts output after `seq`, which the page already has. On a resume, once
   * every message up to `resumeEnd` is out, the page is told that the
   * catching up is over.
   * @param {number} seq
   * @param {number} [resumeEnd] undefined for a new session
   */
  startAfter(seq, resumeEnd) {
    this.phase = 'relaying';
    this.ackedSeq = seq;
    this.#nextSeq = seq + 1;
    this.#resumeEnd = resumeEnd ?? 0;
    this.#resumedSent = resumeEnd === undefined;
  }

  /** Sends a snapshot of the screen, which stands for every message up to its seq. */
  sendSnapshot({ seq, data }) {
    this.send({ type: 'snapshot', seq, data });
    this.#track(seq, data.length);
  }

  /**
   * Sends the log's messages the page has not been sent, while the page
   * keeps up.
   * @param {import('./output-log').OutputLog} log
   */
  pump(log) {
    if (this.phase !== 'relaying') return;
    while (this.#nextSeq <= log.lastSeq && this.#inFlightChars < MAX_IN_FLIGHT_CHARS) {
      const { seq, data } = log.message(this.#nextSeq++);
      this.send({ type: 'output', seq, data });
      this.#track(seq, data.length);
    }
    if (!this.#resumedSent && this.#nextSeq > this.#resumeEnd) {
      this.#resumedSent = true;
      this.send({ type: 'resumed' });
    }
  }

  /** Whether every message of the log has been sent. */
  caughtUp(log) {
    return this.phase === 'relaying' && this.#nextSeq > log.lastSeq;
  }

  /** Characters the page has not confirmed: sent, or still to send. */
  backlogChars(log) {
    if (this.phase !== 'relaying') return 0;
    return this.#inFlightChars + log.charsAfter(this.#nextSeq - 1);
  }

  /** @param {number} seq the page has written every message up to it */
  acknowledge(seq) {
    if (this.phase !== 'relaying' || seq < this.ackedSeq || seq >= this.#nextSeq) return;
    this.ackedSeq = seq;
    while (this.#inFlight.length > 0 && this.#inFlight[0].seq <= seq) {
      this.#inFlightChars -= this.#inFlight.shift().chars;
    }
  }

  /** @param {number} code @param {string} reason */
  close(code, reason) {
    this.phase = 'closed';
    this.#socket.close(code, reason);
  }

  #track(seq, chars) {
    this.#inFlight.push({ seq, chars });
    this.#inFlightChars += chars;
  }
}

module.exports = { PageConnection };
