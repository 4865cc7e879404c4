'use strict';

const crypto = require('crypto');

const LOOPBACK_NAMES = ['127.0.0.1', 'localhost', '[::1]'];

/** A fresh random token for the page's address (192 bits). */
function randomToken() {
  return crypto.randomBytes(24).toString('base64url');
}

function isLoopback(host) {
  return host === '127.0.0.1' || host === 'localhost' || host === '::1';
}

/**
 * The page origins that may open a terminal: the server's own address, under
 * each of the loopback names when it listens on loopback. Browsers send the
 * Origin header with every WebSocket, so a page of another site that tries to
 * reach this server through the user's browser is refused even if it guessed
 * the port.
 * @param {string} host the address the server listens on
 * @param {number} port
 * @param {string[]} extraOrigins origins a reverse proxy adds
 */
function allowedOrigins(host, port, extraOrigins = []) {
  const names = isLoopback(host) ? LOOPBACK_NAMES : [host.includes(':') ? `[${host}]` : host];
  return new Set([...names.map((name) => `http://${name}:${port}`), ...extraOrigins]);
}

/** Compares in constant time, so that response times do not give the token away. */
function tokenMatches(given, token) {
  const a = Buffer.from(String(given ?? ''));
  const b = Buffer.from(token);
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

/**
 * Why a WebSocket upgrade request is refused (an HTTP status line), or
 * undefined when it may have a terminal.
 * @param {import('http').IncomingMessage} request
 * @param {{ token: string, origins: Set<string> }} access
 */
function upgradeRefusal(request, access) {
  const url = new URL(request.url, 'http://localhost');
  if (url.pathname !== '/terminal') return '404 Not Found';
  if (!tokenMatches(url.searchParams.get('token'), access.token)) return '401 Unauthorized';
  if (!access.origins.has(request.headers.origin)) return '403 Forbidden';
  return undefined;
}

module.exports = { randomToken, allowedOrigins, upgradeRefusal };
