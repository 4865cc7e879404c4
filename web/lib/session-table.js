'use strict';

const crypto = require('crypto');
const { TerminalSession } = require('./terminal-session');
const { ShareLinks } = require('./share-links');

const NEW_SHELL_NOTE = 'the earlier session has ended or expired: this is a new shell';

/** A page that may not have a new session: the reason goes to it in the socket's close (1013, try again later). */
class SessionRefusal extends Error {
  closeCode = 1013;
}

/** A session id: 128 bits from the system's CSPRNG, apart from the access token. */
function randomSessionId() {
  return crypto.randomBytes(16).toString('base64url');
}

/**
 * Every session of the server, by id. A session whose page has gone stays,
 * detached, for a grace period, so that a reload or a dropped connection
 * comes back to the same shell; over the bound on detached sessions the one
 * detached longest is hung up. A page that would start a session over the
 * bound on all sessions is refused.
 */
class SessionTable {
  #sessions = new Map();
  #detached = new Map(); // id -> grace timer, oldest first
  #links = new ShareLinks();
  #options;

  /**
   * @param {object} options
   * @param {number} options.graceMs how long a detached session is kept; 0 hangs it up at once
   * @param {number} options.maxDetached
   * @param {number} options.maxSessions sessions at once, attached or not
   * @param {number} options.logBytes output kept per session for replay
   * @param {number} options.scrollback lines of scrollback in a snapshot
   * @param {number} options.maxViewers pages at most through a session's share links
   * @param {(cols: number, rows: number, target: object) => import('terminal-stream-client').Terminal} options.spawn starts a shell where the target says (may throw)
   * @param {(terminal: object, target: object) => (import('./session-recorder').SessionRecorder | undefined)} [options.record] a new session's recording, if any
   * @param {(event: string, session: TerminalSession) => void} options.notify 'session', 'resume', 'end'
   */
  constructor(options) {
    this.#options = options;
  }

  /** The sessions, attached or not. */
  get size() { return this.#sessions.size; }

  /**
   * Gives a page that passed the access check its session: the one named by
   * `id` if it is still there (wherever it runs), else a new shell on `target`
   * (with a note if an id was named). Rejects with a SessionRefusal when
   * the server has its bound of sessions already.
   * @param {import('ws').WebSocket} socket
   * @param {{ id?: string, seq?: number, cols: number, rows: number, target?: object }} page
   */
  async connect(socket, { id, seq, cols, rows, target }) {
    const session = id === undefined ? undefined : this.#sessions.get(id);
    if (session) {
      this.#stopGrace(session);
      this.#options.notify('resume', session);
      return session.attach(socket, { cols, rows, seq, resumed: true });
    }
    const { maxSessions } = this.#options;
    if (this.#sessions.size >= maxSessions) {
      throw new SessionRefusal(`the server's maximum of sessions (${maxSessions}) is reached`);
    }
    const fresh = this.#create(cols, rows, target);
    this.#options.notify('session', fresh);
    const note = id === undefined ? undefined : NEW_SHELL_NOTE;
    return fresh.attach(socket, { cols, rows, seq: 0, resumed: false, note });
  }

  /**
   * Gives a page that came with a share link the session the link grants,
   * in its mode, and nothing else: a link that is not (or no longer) valid
   * is told so and closed; it never starts a shell.
   * @param {import('ws').WebSocket} socket
   * @param {string} capability
   */
  async connectViewer(socket, capability) {
    const link = this.#links.find(capability);
    if (link && !link.session.exit) return link.session.addViewer(socket, link);
    socket.send(JSON.stringify({ type: 'share-ended', reason: 'this link is not valid: it was revoked, or its session has ended' }));
    socket.close(4004, 'no such share link');
    return undefined;
  }

  /** Hangs up every session, attached or not; resolves once every shell has ended. */
  async closeAll() {
    const sessions = [...this.#sessions.values()];
    for (const session of sessions) this.#forget(session, 1001, 'server closing');
    await Promise.all(sessions.map((session) => session.hangUp()));
  }

  #create(cols, rows, target) {
    const terminal = this.#options.spawn(cols, rows, target);
    const session = new TerminalSession({
      id: randomSessionId(),
      terminal,
      logBytes: this.#options.logBytes,
      scrollback: this.#options.scrollback,
      onDetach: (detached) => this.#onDetach(detached),
      onFinish: (finished) => this.#forget(finished),
      links: this.#links,
      maxViewers: this.#options.maxViewers,
      target: target?.name ?? 'local',
      recorder: this.#options.record?.(terminal, target)
    });
    this.#sessions.set(session.id, session);
    session.ended.then(() => this.#options.notify('end', session));
    return session;
  }

  #onDetach(session) {
    const { graceMs, maxDetached } = this.#options;
    if (graceMs <= 0) {
      this.#expire(session);
      return;
    }
    const timer = setTimeout(() => this.#expire(session), graceMs);
    timer.unref();
    this.#detached.set(session.id, timer);
    for (const [oldest] of this.#detached) {
      if (this.#detached.size <= maxDetached) break;
      this.#expire(this.#sessions.get(oldest));
    }
  }

  #stopGrace(session) {
    clearTimeout(this.#detached.get(session.id));
    this.#detached.delete(session.id);
  }

  #expire(session) {
    this.#forget(session);
    session.hangUp();
  }

  /** Drops the session from the table; its id resumes nothing from now on. */
  #forget(session, code, reason) {
    if (this.#sessions.get(session.id) !== session) return;
    this.#stopGrace(session);
    this.#sessions.delete(session.id);
    if (code) session.closePage(code, reason);
    session.ended.then(() => session.dispose());
  }
}

module.exports = { SessionTable, SessionRefusal, randomSessionId };
