'use strict';

// When the page tries its socket again after a close, and what its status
// line says meanwhile: after 0.25 s, then twice as long each time up to
// 4 s; and once the server has gone (it said it was stopping, or a socket
// does not even open), since when.

const RETRY_FIRST_MS = 250;
const RETRY_MAX_MS = 4000;

class Reconnection {
  #retries = 0;
  #timer;
  /** Since the session was last there: { since, gone } (gone: the server closed, or did not answer). */
  #away;

  /** The session is there again. */
  reset() {
    this.#retries = 0;
    this.#away = undefined;
  }

  cancel() {
    clearTimeout(this.#timer);
  }

  /**
   * A socket closed: calls `retry` after the next delay.
   * @param {{ code: number, reason: string }} event the socket's close
   * @param {boolean} opened whether the socket had opened
   * @param {number} heldChars characters typed meanwhile, kept for the session
   * @param {() => void} retry
   * @returns {{ text: string, isEnd: boolean }} what the status line says until then
   */
  schedule(event, opened, heldChars, retry) {
    const delay = Math.min(RETRY_FIRST_MS * 2 ** this.#retries, RETRY_MAX_MS);
    this.#retries += 1;
    this.#away ??= { since: Date.now(), gone: false };
    // 1001: the server said it is stopping. A socket that never opened: nothing answers there.
    if (event.code === 1001 || !opened) this.#away.gone = true;
    this.#timer = setTimeout(retry, delay);
    return { text: this.#status(event, heldChars), isEnd: this.#away.gone || event.code === 1013 };
  }

  #status(event, heldChars) {
    const why = `${event.code}${event.reason ? ': ' + event.reason : ''}`;
    const held = heldChars > 0 ? `; ${heldChars} characters typed wait to be sent` : '';
    // 1013: the server refused a new session (its bound on sessions), and says why.
    if (event.code === 1013) return `no session: ${event.reason || 'refused by the server'}; trying again…`;
    if (!this.#away.gone) return `reconnecting… (${why})${held}`;
    const minutes = Math.floor((Date.now() - this.#away.since) / 60000);
    const since = new Date(this.#away.since).toLocaleTimeString();
    return `the server has gone away (since ${since}${minutes > 0 ? `, ${minutes} min` : ''}); trying again… (${why})${held}`;
  }
}
