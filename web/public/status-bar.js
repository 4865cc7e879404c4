'use strict';

// The bar under the terminal: the status line, and the picker of where a
// new session runs when the server offers several targets.

class StatusBar {
  #status;
  #picker;

  /** @param {HTMLElement} status @param {HTMLSelectElement} picker */
  constructor(status, picker) {
    this.#status = status;
    this.#picker = picker;
  }

  /** @param {string} text @param {boolean} [isEnd] shown as an end (the session is over or out of reach) */
  show(text, isEnd) {
    this.#status.textContent = text;
    this.#status.classList.toggle('ended', Boolean(isEnd));
  }

  /** @param {{ exitCode: number, signal?: number, reason?: string }} exit @returns {string} how the session ended */
  static howEnded(exit) {
    // The broker, or the transport that carried it (ssh), ended without saying how the shell ended.
    if (exit.reason === 'broker-failed') return `connection to the shell lost (${exit.signal ? `signal ${exit.signal}` : `status ${exit.exitCode}`})`;
    return exit.signal ? `signal ${exit.signal}` : `exit code ${exit.exitCode}`;
  }

  /** @param {number} chars typed, not sent @returns {string} what the status line adds ('' for none) */
  static unsent(chars) {
    return chars > 0 ? `; ${chars} characters typed meanwhile were not sent` : '';
  }

  /**
   * With several targets the page offers them; picking one calls
   * `onPick(name)`.
   * @param {string} token @param {string} current the page's target ('': the first)
   * @param {(name: string) => void} onPick
   */
  offerTargets(token, current, onPick) {
    fetch(`targets?${new URLSearchParams({ token })}`).then((response) => response.json()).then(({ targets }) => {
      if (targets.length < 2) return;
      const picker = this.#picker;
      for (const name of targets) picker.add(new Option(name, name, false, name === (current || targets[0])));
      picker.hidden = false;
      picker.addEventListener('change', () => onPick(picker.value));
    }).catch(() => {});
  }
}
