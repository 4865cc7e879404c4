'use strict';

const http = require('http');
const { EventEmitter } = require('events');
const { WebSocketServer } = require('ws');
const client = require('terminal-stream-client');

const { serveStaticFile } = require('./static-files');
const { randomToken, allowedOrigins, upgradeRefusal } = require('./access-check');
const { relayTerminal, validSize } = require('./terminal-session');

const MAX_MESSAGE_BYTES = 16 * 1024 * 1024;

/**
 * The browser terminal's server: the page over HTTP, and one terminal (one
 * broker) per WebSocket. Emits 'session' with the terminal when one starts
 * and 'session-end' with its exit event when its shell has ended.
 */
class WebTerminalServer extends EventEmitter {
  #options;
  #http;
  #sockets = new WebSocketServer({ noServer: true, maxPayload: MAX_MESSAGE_BYTES });
  #access;

  /**
   * @param {object} options
   * @param {string} [options.host] default 127.0.0.1
   * @param {number} [options.port] default 8022; 0 picks a free port
   * @param {string} [options.token] default a random one
   * @param {string[]} [options.shell] the command of each shell; default [$SHELL or sh]
   * @param {string[]} [options.origins] further page origins to accept (behind a proxy)
   * @param {object} [options.spawnOptions] passed to the client's spawn (brokerPath, env, cwd, launcher ...)
   */
  constructor(options = {}) {
    super();
    this.#options = { host: '127.0.0.1', port: 8022, token: randomToken(), ...options };
    this.#http = http.createServer(serveStaticFile);
    this.#http.on('upgrade', (request, socket, head) => this.#onUpgrade(request, socket, head));
  }

  get token() { return this.#options.token; }

  /** @returns {Promise<string>} the page's address, token included */
  async listen() {
    const { host, port } = this.#options;
    await new Promise((resolve, reject) => {
      this.#http.once('error', reject);
      this.#http.listen(port, host, resolve);
    });
    const actualPort = this.#http.address().port;
    this.#access = { token: this.token, origins: allowedOrigins(host, actualPort, this.#options.origins) };
    const name = host.includes(':') ? `[${host}]` : host;
    return `http://${name}:${actualPort}/?token=${this.token}`;
  }

  /** Hangs up every terminal and stops listening. */
  async close() {
    for (const socket of this.#sockets.clients) socket.close(1001, 'server closing');
    await new Promise((resolve) => this.#http.close(resolve));
  }

  #onUpgrade(request, socket, head) {
    const refusal = upgradeRefusal(request, this.#access);
    if (refusal) {
      socket.end(`HTTP/1.1 ${refusal}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
      return;
    }
    this.#sockets.handleUpgrade(request, socket, head, (webSocket) => this.#startSession(webSocket, request));
  }

  #startSession(webSocket, request) {
    const query = new URL(request.url, 'http://localhost').searchParams;
    const size = (name, fallback) => (validSize(Number(query.get(name))) ? Number(query.get(name)) : fallback);
    const [file, ...args] = this.#options.shell || [process.env.SHELL || 'sh'];
    let terminal;
    try {
      terminal = client.spawn(file, args, { ...this.#options.spawnOptions, cols: size('cols', 80), rows: size('rows', 24) });
    } catch (error) {
      webSocket.send(JSON.stringify({ type: 'error', message: error.message }));
      webSocket.close(1011, 'no terminal');
      return;
    }
    relayTerminal(webSocket, terminal, (exit) => this.emit('session-end', exit, terminal));
    this.emit('session', terminal);
  }
}

module.exports = { WebTerminalServer };
