'use strict';

// What the page types into its session. While the session is away (the
// socket closed, or open but the session not back yet) input is kept, in
// order, up to HELD_INPUT_MAX_CHARS, and sent once the session is there
// again; while a replay or snapshot is being written it is not sent at all,
// as old output may hold queries (cursor position, device attributes) that
// xterm.js answers as if typed. What comes beyond the bound is counted, not
// kept.
const HELD_INPUT_MAX_CHARS = 65536;
// A paste goes in messages of at most this many characters, well under the
// server's bound on a message whatever they are.
const INPUT_MESSAGE_MAX_CHARS = 65536;

class PageInput {
  /** 'holding' (no session to send to), 'catching-up' (a replay is written: nothing is sent), 'live', 'stopped' */
  #state = 'holding';
  #send;
  /** @type {{ data: string, binary: boolean }[]} */
  #held = [];
  #heldChars = 0;
  #dropped = 0;

  /** Characters typed and kept for the session's return. */
  get heldChars() { return this.#heldChars; }

  /** @param {(message: object) => void} send sends one message to the session */
  constructor(send) {
    this.#send = send;
  }

  /** @param {string} data @param {boolean} binary one character per byte */
  type(data, binary) {
    if (this.#state === 'live') this.#sendNow(data, binary);
    else if (this.#state === 'holding') this.#hold(data, binary);
  }

  /** The session is away: what is typed is kept. */
  hold() {
    if (this.#state !== 'stopped') this.#state = 'holding';
  }

  /** A replay or snapshot is being written: nothing is sent, nor kept. */
  catchUp() {
    if (this.#state !== 'stopped') this.#state = 'catching-up';
  }

  /**
   * The session is there: sends what was kept, in order, then input goes out at once.
   * @returns {number} characters typed meanwhile that were over the bound, and so not sent
   */
  goLive() {
    const { held, dropped } = this.#take();
    this.#state = 'live';
    for (const { data, binary } of held) this.#sendNow(data, binary);
    return dropped;
  }

  /**
   * The session typed for is not there any more (a new shell, or it ended):
   * what was kept is let go.
   * @param {boolean} [stop] nothing is sent from now on
   * @returns {number} characters typed meanwhile, none of them sent
   */
  drop(stop = false) {
    const { heldChars, dropped } = this.#take();
    if (stop) this.#state = 'stopped';
    return heldChars + dropped;
  }

  #hold(data, binary) {
    // A keystroke is kept whole or not at all, and nothing after one that was not.
    if (this.#dropped > 0 || this.#heldChars + data.length > HELD_INPUT_MAX_CHARS) {
      this.#dropped += data.length;
      return;
    }
    this.#held.push({ data, binary });
    this.#heldChars += data.length;
  }

  #take() {
    const taken = { held: this.#held, heldChars: this.#heldChars, dropped: this.#dropped };
    this.#held = [];
    this.#heldChars = 0;
    this.#dropped = 0;
    return taken;
  }

  #sendNow(data, binary) {
    for (let start = 0; start < data.length;) {
      let end = Math.min(start + INPUT_MESSAGE_MAX_CHARS, data.length);
      // Never between the two halves of a character beyond the BMP.
      if (end < data.length && /[\ud800-\udbff]/.test(data[end - 1])) end -= 1;
      const part = data.slice(start, end);
      this.#send(binary ? { type: 'input', data: part, binary: true } : { type: 'input', data: part });
      start = end;
    }
  }
}
