'use strict';

const crypto = require('crypto');

/** The two things a share link may grant. */
const SHARE_MODES = ['watch', 'control'];

/**
 * @typedef {object} ShareLink
 * @property {string} id names the link to its owner (to revoke it); grants nothing
 * @property {string} capability the secret in the link's address: 128 bits from the system's CSPRNG
 * @property {'watch' | 'control'} mode
 * @property {number} createdAt ms since the epoch
 * @property {object} session the one session it grants
 */

/**
 * Every live share link of the server. A link grants one session in one
 * mode and nothing else: no new shell, no other session, no target, no
 * resume once its session has ended (the session forgets its links then).
 * Links are found by a hash of their capability, so that looking one up
 * does not compare the secret itself byte by byte.
 */
class ShareLinks {
  /** @type {Map<string, ShareLink>} hash of the capability -> link */
  #byHash = new Map();

  /**
   * @param {object} session @param {'watch' | 'control'} mode
   * @returns {ShareLink}
   */
  create(session, mode) {
    const capability = crypto.randomBytes(16).toString('base64url');
    const link = { id: crypto.randomBytes(6).toString('base64url'), capability, mode, createdAt: Date.now(), session };
    this.#byHash.set(hash(capability), link);
    return link;
  }

  /** @param {string} capability @returns {ShareLink | undefined} */
  find(capability) {
    return typeof capability === 'string' ? this.#byHash.get(hash(capability)) : undefined;
  }

  /** The session's links, oldest first. */
  of(session) {
    return [...this.#byHash.values()].filter((link) => link.session === session);
  }

  /** @param {ShareLink} link */
  revoke(link) {
    this.#byHash.delete(hash(link.capability));
  }

  /** Every link of the session dies with it. */
  forget(session) {
    for (const link of this.of(session)) this.revoke(link);
  }
}

function hash(capability) {
  return crypto.createHash('sha256').update(capability).digest('base64url');
}

module.exports = { ShareLinks, SHARE_MODES };
