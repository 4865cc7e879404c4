'use strict';

const fs = require('fs');
const http = require('http');
const { EventEmitter } = require('events');
const { WebSocketServer } = require('ws');
const client = require('terminal-stream-client');

const { serveStaticFile, SECURITY_HEADERS } = require('./static-files');
const { randomToken, urlHost, allowedOrigins, tokenMatches, upgradeRefusal } = require('./access-check');
const { SessionTable } = require('./session-table');
const { validSize, clampSize } = require('./terminal-size');
const { localTargets } = require('./targets');
const { SessionRecorder } = require('./session-recorder');
const { listRecordings, recordingPath } = require('./recordings');
const { DEFAULT_NAME: DEFAULT_TERM } = require('terminal-stream-client/lib/broker-command');

// The largest message a page may send: a paste goes in messages of 64 Ki
// characters at most (public/page-input.js), under 400 KiB as JSON
// whatever they hold. Anything larger closes the socket (1009), before it
// is read into memory; the session stays, and the page resumes it.
const MAX_MESSAGE_BYTES = 1024 * 1024;

// A connection that has sent nothing for this long is closed, a request
// whose headers stopped half way included (a WebSocket is not closed for
// being quiet: the WebSocket library clears the timeout once it has the
// socket). Node.js's own defaults left such requests open for minutes.
const HTTP_IDLE_MS = 30000;

// What each session's broker may send ahead of the server's
// acknowledgements (the Node client's default is 256 KiB; it acknowledges
// a quarter of the window at a time). Beside floods the server's thread
// never waits for work but for a core. With 64 KiB a flooding broker is
// acknowledged after each event (16 KiB) and runs in short bursts between
// them: beside ten floods the server's thread was put back on a core twice
// as often and waited half as long each time (170 µs against 360), and a
// key's echo took a median of 3.5 ms instead of 6.3, for a seventh less
// throughput (level with a node-pty server's). 32 KiB cost the floods a
// sixth of theirs; 128 KiB left the echo nearly where it was.
const BROKER_WINDOW_BYTES = 65536;

const DEFAULTS = {
  host: '127.0.0.1',
  port: 8022,
  graceSeconds: 300,
  maxDetached: 16,
  maxViewers: 16,
  maxSessions: 32,
  logBytes: 1024 * 1024,
  scrollback: 1000
};

/**
 * The browser terminal's server: the page over HTTP, and one session (one
 * broker) per tab, which outlives the tab's WebSocket for a grace period.
 * Emits 'session' with a new session, 'resume' with a session a page comes
 * back to, and 'session-end' with the exit event and the session once its
 * shell has ended.
 */
class WebTerminalServer extends EventEmitter {
  #options;
  #http;
  #sockets = new WebSocketServer({ noServer: true, maxPayload: MAX_MESSAGE_BYTES });
  #access;
  #sessions;

  /**
   * @param {object} options
   * @param {string} [options.host] default 127.0.0.1
   * @param {number} [options.port] default 8022; 0 picks a free port
   * @param {string} [options.token] default a random one
   * @param {string[]} [options.shell] the command of each shell; default [$SHELL or sh] here, the far side's login shell elsewhere
   * @param {import('./targets').Targets} [options.targets] where sessions run, by name (a page picks one); default here
   * @param {string[]} [options.origins] further page origins to accept (behind a proxy)
   * @param {number} [options.graceSeconds] how long a session outlives its page; default 300, 0 hangs up at once
   * @param {number} [options.maxDetached] sessions kept without a page; default 16
   * @param {number} [options.maxViewers] pages at most through a session's share links; default 16
   * @param {number} [options.maxSessions] sessions at once, attached or not (a page over it is refused); default 32
   * @param {number} [options.logBytes] output kept per session for replay; default 1 MiB
   * @param {number} [options.scrollback] lines of scrollback a reloaded page gets; default 1000
   * @param {object} [options.spawnOptions] passed to the client's spawn (brokerPath, env, cwd, launcher ...)
   * @param {{ dir: string, input?: boolean, limitBytes?: number }} [options.record] write every session to dir as asciicast v2 (input too if asked; limitBytes 0: no limit)
   */
  constructor(options = {}) {
    super();
    this.#options = { ...DEFAULTS, token: randomToken(), targets: localTargets(), ...options };
    const { graceSeconds, maxDetached, maxSessions, maxViewers, logBytes, scrollback } = this.#options;
    this.#sessions = new SessionTable({
      graceMs: graceSeconds * 1000,
      maxDetached,
      maxSessions,
      maxViewers,
      logBytes,
      scrollback,
      spawn: (cols, rows, target) => this.#spawnShell(cols, rows, target),
      record: this.#options.record ? (terminal, target) => this.#openRecording(terminal, target) : undefined,
      notify: (event, session) => this.#onSessionEvent(event, session)
    });
    this.#http = http.createServer((request, response) => this.#onRequest(request, response));
    this.#http.timeout = HTTP_IDLE_MS;
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
    return `http://${urlHost(host)}:${actualPort}/?token=${this.token}`;
  }

  /** Stops listening and hangs up every session, attached or not; resolves once their shells have ended. */
  async close() {
    const stopped = new Promise((resolve) => this.#http.close(resolve));
    await this.#sessions.closeAll();
    this.#http.closeAllConnections();
    await stopped;
  }

  #onUpgrade(request, socket, head) {
    let refusal = upgradeRefusal(request, this.#access);
    const query = new URL(request.url, 'http://localhost').searchParams;
    // A page names a target of the server's list, never a command.
    if (!refusal && !query.has('share') && !this.#options.targets.find(query.get('target'))) refusal = 400;
    if (refusal) {
      socket.end(`HTTP/1.1 ${refusal} ${http.STATUS_CODES[refusal]}\r\nConnection: close\r\nContent-Length: 0\r\n\r\n`);
      return;
    }
    this.#sockets.handleUpgrade(request, socket, head, (webSocket) => this.#connect(webSocket, request));
  }

  #connect(webSocket, request) {
    const query = new URL(request.url, 'http://localhost').searchParams;
    // A share link's page: only the session its link grants, whatever else the address says.
    if (query.has('share')) {
      this.#sessions.connectViewer(webSocket, query.get('share')).catch((error) => webSocket.close(1011, error.message));
      return;
    }
    const size = (name, fallback) => (validSize(Number(query.get(name))) ? Number(query.get(name)) : fallback);
    const seq = query.has('seq') ? Number(query.get('seq')) : undefined;
    const target = this.#options.targets.find(query.get('target'));
    const page = { id: query.get('session') ?? undefined, seq, ...clampSize(size('cols', 80), size('rows', 24)), target };
    this.#sessions.connect(webSocket, page).catch((error) => {
      webSocket.send(JSON.stringify({ type: 'error', message: error.message }));
      if (error.closeCode) webSocket.close(error.closeCode, error.message);
      else webSocket.close(1011, 'no terminal');
    });
  }

  #spawnShell(cols, rows, target) {
    const { file, args, options } = this.#options.targets.spawnArguments(target, this.#options);
    // Bytes, not text: the session keeps and sends its output as it came (terminal-session.js).
    return client.spawn(file, args, { ...options, cols, rows, encoding: null, flowWindow: BROKER_WINDOW_BYTES });
  }

  /** A new session's recording, when the server records; a failure to create one costs a line, not the session. */
  #openRecording(terminal, target) {
    const { dir, input, limitBytes } = this.#options.record;
    const { file, options } = this.#options.targets.spawnArguments(target, this.#options);
    const session = { target: target.name, cols: terminal.cols, rows: terminal.rows, term: options.name || DEFAULT_TERM, shell: file };
    try {
      return new SessionRecorder(dir, session, { input, limitBytes });
    } catch (error) {
      console.error(`terminal-stream-web: cannot record the session: ${error.message}`);
      return undefined;
    }
  }

  /**
   * The page's files; behind the token, the names of the targets for its
   * picker, and the recordings (a list, and one file).
   */
  #onRequest(request, response) {
    const url = new URL(request.url, 'http://localhost');
    const api = { '/targets': () => ({ targets: this.#options.targets.names }), '/recordings/list': () => this.#recordingList() };
    if (!api[url.pathname] && url.pathname !== '/recordings/file') {
      serveStaticFile(request, response);
      return;
    }
    const allowed = this.#access && tokenMatches(url.searchParams.get('token'), this.#access.token);
    if (allowed && url.pathname === '/recordings/file') {
      this.#sendRecording(url.searchParams.get('name'), response);
      return;
    }
    const body = allowed ? JSON.stringify(api[url.pathname]()) : '';
    response.writeHead(allowed ? 200 : 401, { 'Content-Type': 'application/json', ...SECURITY_HEADERS });
    response.end(body);
  }

  #recordingList() {
    const record = this.#options.record;
    return { recording: Boolean(record), recordings: record ? listRecordings(record.dir) : [] };
  }

  #sendRecording(name, response) {
    const file = this.#options.record && recordingPath(this.#options.record.dir, name);
    if (!file) {
      response.writeHead(404, { 'Content-Type': 'text/plain', ...SECURITY_HEADERS }).end('no such recording\n');
      return;
    }
    response.writeHead(200, { 'Content-Type': 'application/x-asciicast', ...SECURITY_HEADERS });
    fs.createReadStream(file).on('error', () => response.destroy()).pipe(response);
  }

  #onSessionEvent(event, session) {
    if (event === 'end') this.emit('session-end', session.exit, session);
    else this.emit(event, session);
  }
}

module.exports = { WebTerminalServer };
