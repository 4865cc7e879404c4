'use strict';

// terminal-stream-attach --join LINK: the attach client, run in a terminal
// of its own (a PTY through the Node.js client), joins a session that an
// owner's page (a raw WebSocket) shares. And --server URL: the attach
// client is the owner, and raw pages join the links it made.

const test = require('node:test');
const assert = require('node:assert/strict');
const childProcess = require('child_process');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const tls = require('tls');
const pty = require('terminal-stream-client');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const { brokerPath, serverOptions, PROMPT, DEADLINE } = require('./support');
const { RawPage } = require('./raw-page');

const attachPath = process.env.TERMINAL_STREAM_ATTACH || path.join(path.dirname(brokerPath), 'terminal-stream-attach');
const TIMEOUT = { timeout: 60000 };
const LEAVE = '\x1d';
const atPrompt = (page) => page.output.endsWith(`${PROMPT} `);

let server;
let url;
let proxy;

test.before(async () => {
  proxy = await startTlsProxy();
  server = new WebTerminalServer(serverOptions({ origins: [proxy.origin] }));
  url = await server.listen();
  proxy.forwardTo(new URL(url).port);
});
test.after(() => {
  server?.close();
  proxy?.close();
});

/**
 * A TLS proxy in front of the server, as https links come from, with a
 * certificate of its own for localhost that only `certFile` vouches for.
 */
async function startTlsProxy() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-tls-'));
  const [key, cert] = [path.join(dir, 'key.pem'), path.join(dir, 'cert.pem')];
  childProcess.execFileSync('openssl', ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1',
    '-nodes', '-days', '1', '-subj', '/CN=localhost', '-addext', 'subjectAltName=DNS:localhost',
    '-keyout', key, '-out', cert], { stdio: 'ignore' });
  let serverPort;
  const connections = new Set();
  const tlsServer = tls.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(cert) }, (client) => {
    const upstream = net.connect(serverPort, '127.0.0.1');
    connections.add(client);
    client.pipe(upstream).pipe(client);
    client.on('error', () => upstream.destroy());
    upstream.on('error', () => client.destroy());
  });
  await new Promise((resolve) => tlsServer.listen(0, '127.0.0.1', resolve));
  const { port } = tlsServer.address();
  return {
    origin: `https://localhost:${port}`,
    certFile: cert,
    forwardTo(to) { serverPort = to; },
    /** Drops every connection, as a proxy that goes away does. */
    cut() { for (const connection of connections) connection.destroy(); },
    close() {
      tlsServer.close();
      fs.rmSync(dir, { recursive: true, force: true });
    }
  };
}

/** An owner's page at its prompt, and the address of a link of `mode` it made, as its page shows it. */
async function sharedSession(mode, label) {
  const owner = new RawPage(url);
  await owner.waitFor(atPrompt, 'the first prompt');
  owner.send({ type: 'share', mode, ...(label ? { label } : {}) });
  await owner.waitFor((p) => p.message('sharing')?.links.length === 1, 'the link');
  const link = owner.message('sharing').links[0];
  return { owner, link, address: `${new URL(url).origin}/?share=${link.capability}` };
}

/** The attach client in a terminal of its own: what it shows, and how it ended. */
function attachInTerminal(args, env = process.env) {
  const terminal = pty.spawn(attachPath, args, { brokerPath, cols: 100, rows: 30, env });
  const attached = { terminal, screen: '', exit: new Promise((resolve) => terminal.onExit(resolve)) };
  terminal.onData((data) => { attached.screen += data; });
  attached.waitFor = (text) => waitUntil(() => attached.screen.includes(text), `${JSON.stringify(text)} on the attach client's terminal`, () => attached.screen);
  return attached;
}

function joinFromTerminal(address, { env = process.env, args = [] } = {}) {
  return attachInTerminal(['--join', address, ...args], env);
}

async function waitUntil(condition, what, seen) {
  const deadline = Date.now() + DEADLINE;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}; last seen: ${JSON.stringify(seen().slice(-300))}`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

test('a watch join shows the owner\'s session, its keys reach nothing, and a revoke ends it', TIMEOUT, async () => {
  const { owner, link, address } = await sharedSession('watch', 'alice');
  owner.type('echo before-$((6*7))\r');
  await owner.waitFor((p) => p.output.includes('before-42\r\n'), 'the first echo');

  const joined = joinFromTerminal(address);
  await joined.waitFor('watching alice\'s session at 80x24');
  await joined.waitFor('before-42');
  joined.terminal.write('echo typed-by-the-viewer\r');
  owner.type('echo MARK-$((6*7))\r');
  await joined.waitFor('MARK-42');
  assert.ok(!owner.output.includes('typed-by-the-viewer'), 'a watcher\'s keys reached the shell');

  owner.send({ type: 'revoke', id: link.id });
  assert.equal((await joined.exit).exitCode, 1);
  assert.match(joined.screen, /the owner revoked this link/);
  owner.close();
});

test('a control join types into the shell, and the shell\'s end ends it with its status; --record keeps what it showed', TIMEOUT, async () => {
  const { owner, address } = await sharedSession('control');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-join-record-'));
  const file = path.join(dir, 'joined.cast');
  const joined = joinFromTerminal(address, { args: ['--record', file, '--record-input'] });
  await joined.waitFor('controlling the session on local at 80x24');
  await joined.waitFor(PROMPT);
  joined.terminal.write('echo from-$((6*7))-attach\r');
  await owner.waitFor((p) => p.output.includes('from-42-attach\r\n'), 'the joined terminal\'s command');
  await joined.waitFor('from-42-attach\r\n');
  joined.terminal.write('exit 3\r');
  assert.equal((await joined.exit).exitCode, 3);
  await owner.waitFor((p) => p.message('exit'), 'the end, shown to the owner');

  // At the owner's size, not this terminal's 100x30.
  const [header, ...events] = fs.readFileSync(file, 'utf8').trimEnd().split('\n').map((line) => JSON.parse(line));
  assert.deepEqual([header.version, header.width, header.height], [2, 80, 24]);
  const text = (type) => events.filter(([, kind]) => kind === type).map(([, , data]) => data).join('');
  assert.match(text('o'), /from-42-attach\r\n/);
  assert.equal(text('i'), 'echo from-$((6*7))-attach\rexit 3\r');
  fs.rmSync(dir, { recursive: true, force: true });
  owner.close();
});

test('Ctrl-] leaves a session, which goes on; a link that grants nothing is refused with the reason', TIMEOUT, async () => {
  const { owner, address } = await sharedSession('control');
  const joined = joinFromTerminal(address);
  await joined.waitFor('Ctrl-] leaves');
  await joined.waitFor(PROMPT);
  joined.terminal.write(`echo half${LEAVE}-typed\r`);
  assert.equal((await joined.exit).exitCode, 0);
  assert.match(joined.screen, /left the session/);
  owner.type('\recho still-$((6*7))\r');
  await owner.waitFor((p) => p.output.includes('still-42\r\n'), 'the session going on');
  assert.ok(!owner.output.includes('-typed'), 'keys after the leave key were sent');

  const refused = joinFromTerminal(`${new URL(url).origin}/?share=${'A'.repeat(22)}`);
  assert.equal((await refused.exit).exitCode, 1);
  assert.match(refused.screen, /this link is not valid: it was revoked, or its session has ended/);
  owner.close();
});

test('an https link joins through a TLS proxy whose certificate is trusted, and only then; a lost connection ends it', TIMEOUT, async () => {
  const { owner, link } = await sharedSession('watch');
  const address = `${proxy.origin}/?share=${link.capability}`;
  const untrusted = joinFromTerminal(address);
  assert.equal((await untrusted.exit).exitCode, 1);
  assert.match(untrusted.screen, /the server's certificate is not trusted: self-signed certificate/);

  const joined = joinFromTerminal(address, { env: { ...process.env, SSL_CERT_FILE: proxy.certFile } });
  await joined.waitFor('watching the session on local');
  owner.type('echo over-tls-$((6*7))\r');
  await joined.waitFor('over-tls-42');
  proxy.cut();
  assert.equal((await joined.exit).exitCode, 1);
  assert.match(joined.screen, /lost the shared session: the server closed the connection/);
  owner.close();
});

/** The capability of the `mode` link the attach client printed (its address as the page's share panel shows it). */
async function printedLink(attached, mode) {
  const pattern = new RegExp(`${mode} link \\([^)]*\\): (\\S+)`);
  await waitUntil(() => pattern.test(attached.screen), `the ${mode} link`, () => attached.screen);
  const address = new URL(attached.screen.match(pattern)[1]);
  assert.equal(address.origin, new URL(url).origin);
  return address.searchParams.get('share');
}

test('--server: the attach client owns a session; a watch page sees it, cannot type, follows its size; exit 3 is its status', TIMEOUT, async () => {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-share-record-'));
  const file = path.join(dir, 'owned.cast');
  const owner = attachInTerminal(['--server', url, '--share', 'watch', '--record', file]);
  const viewer = new RawPage(url, { share: await printedLink(owner, 'watch') });
  await owner.waitFor(PROMPT);
  await viewer.waitFor((p) => p.message('watching'), 'the watch page joining');
  assert.deepEqual(viewer.message('watching'), { type: 'watching', mode: 'watch', owner: os.userInfo().username, target: 'local', cols: 100, rows: 30 });

  owner.terminal.write('echo MARK-$((6*7))\r');
  await viewer.waitFor((p) => p.output.includes('MARK-42\r\n'), 'the owner\'s echo');
  viewer.type('echo typed-by-the-viewer\r');
  await viewer.waitFor((p) => p.message('error'), 'the refusal of the watch page\'s input');
  owner.terminal.write('echo after-$((6*7))\r');
  await owner.waitFor('after-42\r\n');
  assert.ok(!owner.screen.includes('typed-by-the-viewer'), 'a watch page\'s keys reached the shell');

  owner.terminal.resize(90, 33);
  await viewer.waitFor((p) => p.messages.some((m) => m.type === 'size' && m.cols === 90 && m.rows === 33), 'the owner\'s new size');
  owner.terminal.write('stty size\r');
  await owner.waitFor('33 90\r\n');

  owner.terminal.write('exit 3\r');
  assert.equal((await owner.exit).exitCode, 3);
  await viewer.waitFor((p) => p.message('exit'), 'the end, shown to the watch page');
  assert.match(owner.screen, /1 page\(s\) came through the session's links/);
  viewer.close();

  // At this terminal's size, then its resize, as the owner set them.
  const [header, ...events] = fs.readFileSync(file, 'utf8').trimEnd().split('\n').map((line) => JSON.parse(line));
  assert.deepEqual([header.width, header.height], [100, 30]);
  assert.deepEqual(events.filter(([, kind]) => kind === 'r').map(([, , size]) => size), ['90x33']);
  assert.match(events.filter(([, kind]) => kind === 'o').map(([, , data]) => data).join(''), /MARK-42\r\n[^]*33 90\r\n/);
  fs.rmSync(dir, { recursive: true, force: true });
});

test('--server: Ctrl-] leaves the session running with its links; --resume (over TLS) takes it back until another page takes it over', TIMEOUT, async () => {
  const first = attachInTerminal(['--server', url, '--share', 'control']);
  const capability = await printedLink(first, 'control');
  await first.waitFor(PROMPT);
  first.terminal.write(`echo kept-$((6*7))\r${LEAVE}`);
  assert.equal((await first.exit).exitCode, 0);
  const id = first.screen.match(/--resume (\S+) takes it back/)?.[1];
  assert.ok(id, `no session id in ${JSON.stringify(first.screen.slice(-300))}`);

  const viewer = new RawPage(url, { share: capability });
  await viewer.waitFor((p) => p.output.includes('kept-42'), 'the detached session through its link');
  // Through the TLS proxy, as a server behind one is reached.
  const overTls = `${proxy.origin}/?token=${new URL(url).searchParams.get('token')}`;
  const again = attachInTerminal(['--server', overTls, '--resume', id], { ...process.env, SSL_CERT_FILE: proxy.certFile });
  await again.waitFor(`took back the session ${id}`);
  await again.waitFor('kept-42');
  again.terminal.write('echo back-$((6*7))\r');
  await viewer.waitFor((p) => p.output.includes('back-42'), 'the resumed client\'s command');

  const taker = new RawPage(url, { query: { session: id } });
  assert.equal((await again.exit).exitCode, 1);
  assert.match(again.screen, /the session was taken over by another page/);
  taker.type('exit\r');
  await viewer.waitFor((p) => p.message('exit'), 'the end of the session');
  viewer.close();
});
