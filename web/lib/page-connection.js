'use strict';

// The page acknowledges each frame of output once xterm.js has processed it
// (its write callback). A frame joins the messages that are due, up to
// MAX_FRAME_BYTES. At most MAX_FRAMES_IN_FLIGHT frames and
// MAX_IN_FLIGHT_BYTES are on their way: enough that the page never waits
// for the next frame, few enough that output arriving meanwhile gathers
// into large frames (each costs the page a message, a write and an ack:
// a flood in 4 KiB frames kept the page busier than drawing it), and
// little enough that ^C is not held up behind much. A lone keystroke's echo
// goes at once; a large replay cannot outrun the page either.
const MAX_FRAME_BYTES = 131072;
const MAX_FRAMES_IN_FLIGHT = 4;
const MAX_IN_FLIGHT_BYTES = MAX_FRAMES_IN_FLIGHT * MAX_FRAME_BYTES;

/**
 * Output goes to the page as a text message of its own: the seq in decimal,
 * a colon, then the output as it is, neither escaped nor parsed as JSON
 * (most of what a page is sent, and line-heavy output grows by a third as
 * a JSON string). Every other message is a JSON object. The frame is made
 * as bytes, the log's messages copied in after the seq: the output is never
 * a string here. They are whole UTF-8 characters, so the frame is valid
 * UTF-8, as a text message must be.
 * @param {number} seq the seq of the last message in the frame
 * @param {Buffer[]} messages
 * @param {number} bytes their length together
 */
function outputFrame(seq, messages, bytes) {
  const head = `${seq}:`;
  const frame = Buffer.allocUnsafe(head.length + bytes);
  let at = frame.write(head, 0, 'latin1');
  for (const data of messages) at += data.copy(frame, at);
  return frame;
}

/**
 * A message from the server as an object: output frames as
 * {type: 'output', seq, data}. For the server's own Node.js clients (tests,
 * benchmarks); the page reads them the same way.
 * @param {string | Buffer} raw
 */
function parseServerMessage(raw) {
  const text = raw.toString();
  if (text.startsWith('{')) return JSON.parse(text);
  const colon = text.indexOf(':');
  return { type: 'output', seq: Number(text.slice(0, colon)), data: text.slice(colon + 1) };
}

/**
 * One page's WebSocket, attached to a session: what it has been sent and
 * what it has confirmed. Output goes out in the log's order from one cursor,
 * so a replay and live output never interleave and nothing goes twice.
 *
 * Phases: 'preparing' (the page has been told about the session, its screen
 * is being made ready), 'relaying' (output flows), 'closed' (by close(), or
 * the socket is no longer open: the socket owns that half of the state, as
 * nothing can be sent on it any more).
 */
class PageConnection {
  /** The last seq the page has confirmed writing; undefined while preparing. */
  ackedSeq;
  #socket;
  #relaying = false;
  #closed = false;
  #nextSeq = 0;
  #resumeEnd = 0;
  #resumedSent = true;
  #inFlight = [];
  #inFlightBytes = 0;

  /** @param {import('ws').WebSocket} socket */
  constructor(socket) {
    this.#socket = socket;
  }

  get socket() { return this.#socket; }

  /** @returns {'preparing' | 'relaying' | 'closed'} */
  get phase() {
    if (this.#closed || this.#socket.readyState !== this.#socket.OPEN) return 'closed';
    return this.#relaying ? 'relaying' : 'preparing';
  }

  /** @param {object} message sent as one JSON text, if the socket is still open */
  send(message) {
    this.#sendText(JSON.stringify(message));
  }

  /**
   * Starts output after `seq`, which the page already has. On a resume, once
   * every message up to `resumeEnd` is out, the page is told that the
   * catching up is over.
   * @param {number} seq
   * @param {number} [resumeEnd] undefined for a new session
   */
  startAfter(seq, resumeEnd) {
    this.#relaying = true;
    this.ackedSeq = seq;
    this.#nextSeq = seq + 1;
    this.#resumeEnd = resumeEnd ?? 0;
    this.#resumedSent = resumeEnd === undefined;
  }

  /** Sends a snapshot of the screen, which stands for every message up to its seq. */
  sendSnapshot({ seq, data }) {
    this.send({ type: 'snapshot', seq, data });
    this.#track(seq, Buffer.byteLength(data));
  }

  /**
   * Sends the log's messages the page has not been sent, while the page
   * keeps up: each frame joins consecutive messages and carries the seq of
   * its last. The missed output of a resume and live output never share one.
   * @param {import('./output-log').OutputLog} log
   */
  pump(log) {
    if (this.phase !== 'relaying') return;
    for (;;) {
      if (!this.#resumedSent && this.#nextSeq > this.#resumeEnd) {
        this.#resumedSent = true;
        this.send({ type: 'resumed' });
      }
      if (this.#nextSeq > log.lastSeq || this.#inFlight.length >= MAX_FRAMES_IN_FLIGHT ||
          this.#inFlightBytes >= MAX_IN_FLIGHT_BYTES) return;
      const last = this.#resumedSent ? log.lastSeq : this.#resumeEnd;
      let { seq, data } = log.message(this.#nextSeq);
      const messages = [data];
      let bytes = data.length;
      while (seq < last && bytes + log.message(seq + 1).data.length <= MAX_FRAME_BYTES) {
        data = log.message(++seq).data;
        messages.push(data);
        bytes += data.length;
      }
      this.#nextSeq = seq + 1;
      if (this.#socket.readyState === this.#socket.OPEN) this.#socket.send(outputFrame(seq, messages, bytes), { binary: false });
      this.#track(seq, bytes);
    }
  }

  /** Whether every message of the log has been sent. */
  caughtUp(log) {
    return this.phase === 'relaying' && this.#nextSeq > log.lastSeq;
  }

  /**
   * Whether output the page has not been sent is gone from the log: only
   * a page that does not pace the session (a viewer) can fall that far
   * behind.
   */
  lostIn(log) {
    return this.phase === 'relaying' && !log.holdsAfter(this.#nextSeq - 1);
  }

  /** Whether the page has confirmed everything it was sent. */
  get idle() { return this.#inFlight.length === 0; }

  /** Bytes the page has not confirmed: sent, or still to send. */
  backlogBytes(log) {
    if (this.phase !== 'relaying') return 0;
    return this.#inFlightBytes + log.bytesAfter(this.#nextSeq - 1);
  }

  /** @param {number} seq the page has written every message up to it */
  acknowledge(seq) {
    if (this.phase !== 'relaying' || seq < this.ackedSeq || seq >= this.#nextSeq) return;
    this.ackedSeq = seq;
    while (this.#inFlight.length > 0 && this.#inFlight[0].seq <= seq) {
      this.#inFlightBytes -= this.#inFlight.shift().bytes;
    }
  }

  /** @param {number} code @param {string} reason */
  close(code, reason) {
    this.#closed = true;
    this.#socket.close(code, reason);
  }

  #sendText(text) {
    if (this.#socket.readyState === this.#socket.OPEN) this.#socket.send(text);
  }

  #track(seq, bytes) {
    this.#inFlight.push({ seq, bytes });
    this.#inFlightBytes += bytes;
  }
}

module.exports = { PageConnection, parseServerMessage, MAX_FRAME_BYTES, MAX_FRAMES_IN_FLIGHT, MAX_IN_FLIGHT_BYTES };
