'use strict';

/**
 * The listeners of one event, in node-pty's shape: subscribing returns a
 * disposable that unsubscribes.
 */
class Listeners {
  #list = [];

  /**
   * @param {Function} listener called with the event's value
   * @returns {{ dispose(): void }}
   */
  add(listener) {
    if (typeof listener !== 'function') throw new TypeError('listener must be a function');
    this.#list.push(listener);
    return {
      dispose: () => {
        const index = this.#list.indexOf(listener);
        if (index >= 0) this.#list.splice(index, 1);
      }
    };
  }

  /** @param {*} value */
  fire(value) {
    // A copy, so that a listener may dispose itself while the event runs.
    for (const listener of this.#list.slice()) listener(value);
  }
}

module.exports = { Listeners };
