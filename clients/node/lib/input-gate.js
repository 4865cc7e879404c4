'use strict';

const { notificationLine } = require('./protocol');

// The broker holds at most 4 MiB of commands it has not acted on; above
// that it stops reading its standard input until the terminal takes input.
// A paste the program has not yet read would then hold up whatever follows
// it in the pipe: the flow-control acknowledgements above all, and with them
// the output the program must write before it reads more. So input that the
// broker has not confirmed is kept well under that bound: a ping sent after
// input is answered only once every line before it has been taken.
const UNCONFIRMED_BYTES = 1048576;
// A long paste asks for confirmation on its way, so that it goes on flowing.
const PING_EVERY_BYTES = 262144;

/** Passes terminal.input lines to the broker, holding back those above the bound until a pong confirms earlier ones. */
class InputGate {
  #send;
  #held = [];
  #heldChars = 0;
  #sent = 0;
  #confirmed = 0;
  #pinged = 0;
  #nonce = 0;
  /** nonce of each ping not yet answered -> bytes of input sent before it */
  #pings = new Map();

  /** @param {(lines: string) => void} send writes whole lines to the broker's stdin */
  constructor(send) {
    this.#send = send;
  }

  /** @param {string[]} lines terminal.input lines, in order */
  write(lines) {
    for (const line of lines) {
      this.#held.push(line);
      this.#heldChars += line.length;
    }
    this.#flush();
  }

  /** Characters of input lines held back here until the broker takes earlier input. */
  get heldChars() { return this.#heldChars; }

  /**
   * A pong: every input line sent before its ping has been taken.
   * @param {unknown} nonce
   */
  confirm(nonce) {
    const covered = this.#pings.get(nonce);
    if (covered === undefined) return;
    for (const earlier of this.#pings.keys()) {
      if (earlier <= nonce) this.#pings.delete(earlier);
    }
    this.#confirmed = Math.max(this.#confirmed, covered);
    this.#flush();
  }

  // What goes out at once is written at once: a keystroke and its ping are
  // one write, not two, on the way to its echo.
  #flush() {
    let out = '';
    while (this.#held.length > 0) {
      const unconfirmed = this.#sent - this.#confirmed;
      // One line always goes when nothing is unconfirmed, however long.
      if (unconfirmed > 0 && unconfirmed + this.#held[0].length > UNCONFIRMED_BYTES) break;
      const line = this.#held.shift();
      this.#heldChars -= line.length;
      out += line;
      this.#sent += line.length;
      if (this.#sent - this.#pinged >= PING_EVERY_BYTES) out += this.#ping();
    }
    // Input held back waits for a pong: ask for one if none is on its way.
    // Typing alone asks for none (a pong per keystroke is work for both
    // sides on the way to the echo); what it leaves unconfirmed counts
    // towards the next ping.
    if (this.#held.length > 0 && this.#sent > this.#pinged && this.#pings.size === 0) out += this.#ping();
    if (out) this.#send(out);
  }

  /** @returns {string} the ping line, to be sent after the input it covers */
  #ping() {
    this.#nonce += 1;
    this.#pinged = this.#sent;
    this.#pings.set(this.#nonce, this.#sent);
    return notificationLine('terminal.ping', { nonce: this.#nonce });
  }
}

module.exports = { InputGate, UNCONFIRMED_BYTES };
