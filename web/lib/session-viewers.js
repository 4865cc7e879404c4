'use strict';

const { PageConnection } = require('./page-connection');

// Viewers are sent what they are due at most this often: output that comes
// meanwhile joins their next frames. Sent at each read of the terminal, as
// the owner's page is, a flood cost each viewer a frame and an
// acknowledgement per read, and the server that much work beside the
// owner's; a viewer sees the screen this much later at most.
const VIEWER_BATCH_MS = 25;

/**
 * The pages that came to a session through its share links. Each has its
 * own cursor in the session's output log and its own flow control, but
 * none paces the session: only the owner's page does (terminal-session.js).
 * A viewer that falls further behind than the log holds is brought back
 * with a snapshot of the screen, as a reloaded page is, once it has
 * confirmed what it was sent; one that confirms nothing holds at most its
 * frames in flight. Viewers never resize the terminal; they are told the
 * owner's size. A watch link's input is refused here, whatever its page
 * shows.
 *
 * To a viewer: {type:'watching', mode, owner?, target, cols, rows}, then a
 * snapshot and live output as to any page, {type:'size', cols, rows} when
 * the owner resizes, {type:'share-ended', reason} before its socket is
 * closed by a revoke or a refusal, and the exit as to the owner.
 */
class SessionViewers {
  /** @type {Set<{ connection: PageConnection, link: object, since: number, snapshotting: boolean, refused: boolean }>} */
  #viewers = new Set();
  #session;
  #maxViewers;
  #onChange;
  #relayTimer;

  /**
   * @param {object} options
   * @param {{ log: import('./output-log').OutputLog, snapshot: () => Promise<{ seq: number, data: string }>,
   *   write: (data: string, binary: boolean) => void, exit: () => object | undefined,
   *   parse: (raw: Buffer) => object | undefined }} options.session
   * @param {number} options.maxViewers
   * @param {() => void} options.onChange a viewer came or went
   */
  constructor({ session, maxViewers, onChange }) {
    this.#session = session;
    this.#maxViewers = maxViewers;
    this.#onChange = onChange;
  }

  /** Who is connected: the link's id, its mode, and since when (ms since the epoch). */
  list() {
    return [...this.#viewers].map(({ link, since }) => ({ link: link.id, mode: link.mode, since }));
  }

  /**
   * A page that came through `link`: the session's screen as it is, then live.
   * @param {import('ws').WebSocket} socket
   * @param {object} link
   * @param {{ owner?: string, target: string, cols: number, rows: number }} about the session
   */
  async add(socket, link, about) {
    const connection = new PageConnection(socket);
    socket.on('error', () => {}); // a broken connection also ends in 'close'
    if (this.#viewers.size >= this.#maxViewers) {
      end(connection, `refused: this session has its ${this.#maxViewers} viewers already`, 4008);
      return;
    }
    const viewer = { connection, link, since: Date.now(), snapshotting: true, refused: false };
    this.#viewers.add(viewer);
    socket.on('message', (raw) => this.#onMessage(viewer, raw));
    socket.on('close', () => {
      if (this.#viewers.delete(viewer)) this.#onChange();
    });
    connection.send({ type: 'watching', mode: link.mode, ...about });
    this.#onChange();
    await this.#catchUp(viewer);
  }

  /** Sends each viewer what it is due, soon (see VIEWER_BATCH_MS). */
  relay() {
    if (this.#relayTimer || this.#viewers.size === 0) return;
    this.#relayTimer = setTimeout(() => {
      this.#relayTimer = undefined;
      this.#relayNow();
    }, VIEWER_BATCH_MS);
  }

  /** Sends each viewer what it is due; brings back those that fell behind; shows the end to those caught up. */
  #relayNow() {
    const { log } = this.#session;
    const exit = this.#session.exit();
    for (const viewer of this.#viewers) {
      const { connection } = viewer;
      if (viewer.snapshotting) continue;
      if (connection.lostIn(log)) {
        if (connection.idle) this.#catchUp(viewer);
        continue;
      }
      connection.pump(log);
      if (exit && connection.caughtUp(log)) {
        connection.send({ type: 'exit', ...exit });
        connection.close(1000, 'shell ended');
      }
    }
  }

  /** The owner's page set the terminal's size. */
  resize(cols, rows) {
    for (const { connection } of this.#viewers) connection.send({ type: 'size', cols, rows });
  }

  /** Closes the pages of a link that has been revoked. */
  revoke(link) {
    for (const viewer of this.#viewers) {
      if (viewer.link !== link) continue;
      this.#viewers.delete(viewer);
      end(viewer.connection, 'the owner revoked this link', 4003);
    }
    this.#onChange();
  }

  /** The session is over: every page that is left is told and closed. */
  closeAll() {
    clearTimeout(this.#relayTimer);
    const exit = this.#session.exit();
    for (const { connection } of this.#viewers) {
      if (exit) connection.send({ type: 'exit', ...exit });
      connection.close(1000, 'shell ended');
    }
    this.#viewers.clear();
  }

  async #catchUp(viewer) {
    viewer.snapshotting = true;
    const snapshot = await this.#session.snapshot();
    if (!this.#viewers.has(viewer)) return;
    viewer.snapshotting = false;
    viewer.connection.startAfter(snapshot.seq, snapshot.seq);
    viewer.connection.sendSnapshot(snapshot);
    this.relay();
  }

  #onMessage(viewer, raw) {
    if (!this.#viewers.has(viewer)) return;
    const message = this.#session.parse(raw);
    if (message?.type === 'ack') {
      viewer.connection.acknowledge(message.seq);
      this.relay();
    } else if (message?.type === 'input' && !this.#session.exit()) {
      if (viewer.link.mode === 'control') {
        this.#session.write(message.data, Boolean(message.binary));
      } else if (!viewer.refused) {
        viewer.refused = true;
        viewer.connection.send({ type: 'error', message: 'input refused: this link only watches' });
      }
    }
    // A resize is the owner's alone: every page shows the terminal at its size.
  }
}

function end(connection, reason, code) {
  connection.send({ type: 'share-ended', reason });
  connection.close(code, reason);
}

module.exports = { SessionViewers };
