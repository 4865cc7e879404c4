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
