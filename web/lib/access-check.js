'use strict';

const crypto = require('crypto');

/** The names of the loopback interface, as they appear in a URL's host. */
const LOOPBACK_HOSTS = ['127.0.0.1', 'localhost', '[::1]'];

/** A fresh random token for the page's address (192 bits). */
function randomToken() {
  return crypto.randomBytes(24).toString('base64url');
}

/** The host as a URL writes it: an IPv6 address in brackets. */
function urlHost(host) {
  return host.includes(':') && !host.startsWith('[') ? `[${host}]` : host;
}

/** @param {string} host an address to listen on, or a URL's host */
function isLoopback(host) {
  return LOOPBACK_HOSTS.includes(urlHost(host));
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
  const names = isLoopback(host) ? LOOPBACK_HOSTS : [urlHost(host)];
  return new Set([...names.map((name) => `http://${name}:${port}`), ...extraOrigins]);
}

/** Compares in constant time, so that response times do not give the token away. */
function tokenMatches(given, token) {
  const a = Buffer.from(String(given ?? ''));
  const b = Buffer.from(token);
  return a.length === b.length && crypto.timingSafeEqual(a, b);
}

/**
 * The HTTP status that refuses a WebSocket upgrade request, or undefined when
 * it may have a terminal. Nothing else of the request (a session id) is
 * looked at before it passes. A request with a share link (`share`) needs
 * no token: what its capability grants is decided by the session table,
 * and it reaches nothing else; the Origin check applies all the same.
 * @param {import('http').IncomingMessage} request
 * @param {{ token: string, origins: Set<string> }} access
 * @returns {number | undefined}
 */
function upgradeRefusal(request, access) {
  const url = new URL(request.url, 'http://localhost');
  if (url.pathname !== '/terminal') return 404;
  if (!url.searchParams.has('share') && !tokenMatches(url.searchParams.get('token'), access.token)) return 401;
  if (!access.origins.has(request.headers.origin)) return 403;
  return undefined;
}

module.exports = { LOOPBACK_HOSTS, randomToken, urlHost, isLoopback, allowedOrigins, tokenMatches, upgradeRefusal };
