'use strict';

// A page without a browser, for the tests that need the wire itself: a raw
// WebSocket that reads every message, acknowledges output unless told not
// to, and can send what no real page would.

const WebSocket = require('ws');
const { parseServerMessage } = require('../lib/page-connection');
const { DEADLINE } = require('./support');

class RawPage {
  output = '';
  /** @type {object[]} every message but output frames */
  messages = [];
  lastSeq = 0;
  /** Resolves with { code, reason } once the socket has closed. */
  closed;
  #waiters = [];

  /**
   * @param {string} pageUrl the server's address, token included
   * @param {object} [options]
   * @param {string} [options.path] '/terminal' unless another
   * @param {Record<string, string|number>} [options.query] added to (or replacing) token, cols and rows
   * @param {boolean} [options.acknowledge] false: never acknowledges anything
   * @param {string} [options.share] a share link's capability, instead of the token
   */
  constructor(pageUrl, { path = '/terminal', query = {}, acknowledge = true, share } = {}) {
    const url = new URL(pageUrl);
    const access = share === undefined ? { token: url.searchParams.get('token') } : { share };
    const params = new URLSearchParams({ ...access, cols: 80, rows: 24, ...query });
    this.socket = new WebSocket(`ws://${url.host}${path}?${params}`, { origin: url.origin });
    this.opened = new Promise((resolve, reject) => {
      this.socket.once('open', resolve);
      this.socket.once('unexpected-response', (request, response) => reject(new Error(`refused: ${response.statusCode}`)));
      this.socket.once('error', reject);
    });
    this.closed = new Promise((resolve) => this.socket.once('close', (code, reason) => resolve({ code, reason: reason.toString() })));
    this.socket.on('message', (raw) => {
      const message = parseServerMessage(raw);
      if (message.type === 'output' || message.type === 'snapshot') {
        this.output += message.data;
        this.lastSeq = message.seq;
        if (acknowledge) this.send({ type: 'ack', seq: message.seq });
      } else {
        this.messages.push(message);
      }
      this.#check();
    });
  }

  /** @param {object} message */
  send(message) {
    if (this.socket.readyState === WebSocket.OPEN) this.socket.send(JSON.stringify(message));
  }

  type(text) { this.send({ type: 'input', data: text }); }

  /** Resolves once `condition(page)` holds; rejects after the deadline, saying `what`. */
  waitFor(condition, what) {
    if (condition(this)) return Promise.resolve();
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error(`timed out waiting for ${what}; output ends ${JSON.stringify(this.output.slice(-200))}, messages ${JSON.stringify(this.messages.slice(-5))}`)), DEADLINE);
      this.#waiters.push({ condition, resolve: () => { clearTimeout(timer); resolve(); } });
    });
  }

  message(type) { return this.messages.find((message) => message.type === type); }

  close() {
    this.socket.close();
    return this.closed;
  }

  #check() {
    this.#waiters = this.#waiters.filter(({ condition, resolve }) => !(condition(this) && (resolve(), true)));
  }
}

module.exports = { RawPage };
