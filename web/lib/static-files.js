'use strict';

const fs = require('fs');
const path = require('path');

const xtermDir = path.dirname(path.dirname(require.resolve('@xterm/xterm')));
const publicDir = path.join(__dirname, '..', 'public');

// Every file the page needs, straight from node_modules: no bundler, and no
// path from the request ever reaches the file system.
const FILES = {
  '/': [path.join(publicDir, 'index.html'), 'text/html; charset=utf-8'],
  '/terminal-page.js': [path.join(publicDir, 'terminal-page.js'), 'text/javascript; charset=utf-8'],
  '/terminal-drawing.js': [path.join(publicDir, 'terminal-drawing.js'), 'text/javascript; charset=utf-8'],
  '/session-socket.js': [path.join(publicDir, 'session-socket.js'), 'text/javascript; charset=utf-8'],
  '/status-bar.js': [path.join(publicDir, 'status-bar.js'), 'text/javascript; charset=utf-8'],
  '/page-input.js': [path.join(publicDir, 'page-input.js'), 'text/javascript; charset=utf-8'],
  '/reconnection.js': [path.join(publicDir, 'reconnection.js'), 'text/javascript; charset=utf-8'],
  '/share-panel.js': [path.join(publicDir, 'share-panel.js'), 'text/javascript; charset=utf-8'],
  '/terminal-page.css': [path.join(publicDir, 'terminal-page.css'), 'text/css; charset=utf-8'],
  '/recordings': [path.join(publicDir, 'recordings.html'), 'text/html; charset=utf-8'],
  '/recordings.css': [path.join(publicDir, 'recordings.css'), 'text/css; charset=utf-8'],
  '/recording-player.js': [path.join(publicDir, 'recording-player.js'), 'text/javascript; charset=utf-8'],
  '/recordings-page.js': [path.join(publicDir, 'recordings-page.js'), 'text/javascript; charset=utf-8'],
  '/vendor/xterm.js': [require.resolve('@xterm/xterm'), 'text/javascript; charset=utf-8'],
  '/vendor/xterm.css': [path.join(xtermDir, 'css', 'xterm.css'), 'text/css; charset=utf-8'],
  '/vendor/addon-fit.js': [require.resolve('@xterm/addon-fit'), 'text/javascript; charset=utf-8'],
  '/vendor/addon-webgl.js': [require.resolve('@xterm/addon-webgl'), 'text/javascript; charset=utf-8']
};

const SECURITY_HEADERS = {
  // xterm.js adds style elements of its own, hence the inline styles.
  'Content-Security-Policy': "default-src 'self'; style-src 'self' 'unsafe-inline'",
  'X-Content-Type-Options': 'nosniff',
  // The page's address holds the token: never hand it to another site.
  'Referrer-Policy': 'no-referrer',
  'Cache-Control': 'no-store'
};

/**
 * Answers a plain HTTP request with one of the page's files.
 * @param {import('http').IncomingMessage} request
 * @param {import('http').ServerResponse} response
 */
function serveStaticFile(request, response) {
  const { pathname } = new URL(request.url, 'http://localhost');
  const entry = FILES[pathname];
  if (!entry || (request.method !== 'GET' && request.method !== 'HEAD')) {
    response.writeHead(404, { 'Content-Type': 'text/plain', ...SECURITY_HEADERS }).end('not found\n');
    return;
  }
  const [file, contentType] = entry;
  fs.readFile(file, (error, body) => {
    if (error) {
      response.writeHead(500, { 'Content-Type': 'text/plain', ...SECURITY_HEADERS }).end('cannot read the file\n');
      return;
    }
    response.writeHead(200, { 'Content-Type': contentType, 'Content-Length': body.length, ...SECURITY_HEADERS });
    response.end(request.method === 'HEAD' ? undefined : body);
  });
}

module.exports = { serveStaticFile, SECURITY_HEADERS };
