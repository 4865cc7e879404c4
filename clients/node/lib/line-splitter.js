'use strict';

/** Cuts a stream of text into lines; a line split across chunks comes out whole. */
class LineSplitter {
  #partial = '';

  /**
   * @param {string} text the next chunk of the stream
   * @returns {string[]} the lines that this chunk completed, without their LF
   */
  push(text) {
    const pieces = (this.#partial + text).split('\n');
    this.#partial = pieces.pop();
    return pieces.filter((line) => line.length > 0);
  }

  /** @returns {string} what is left after the last LF (a line the stream did not end) */
  rest() {
    const rest = this.#partial;
    this.#partial = '';
    return rest;
  }
}

module.exports = { LineSplitter };
