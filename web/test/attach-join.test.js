'use strict';

// terminal-stream-attach --join LINK: the attach client, run in a terminal
// of its own (a PTY through the Node.js client), joins a session that an
// owner's page (a raw WebSocket) shares.

const test = require('node:test');
const assert = require('node:assert/strict');
const path = require('path');
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

test.before(async () => {
  server = new WebTerminalServer(serverOptions());
  url = await server.listen();
});
test.after(() => server?.close());

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
function joinFromTerminal(address) {
  const terminal = pty.spawn(attachPath, ['--join', address], { brokerPath, cols: 100, rows: 30, env: process.env });
  const joined = { terminal, screen: '', exit: new Promise((resolve) => terminal.onExit(resolve)) };
  terminal.onData((data) => { joined.screen += data; });
  joined.waitFor = (text) => waitUntil(() => joined.screen.includes(text), `${JSON.stringify(text)} on the joined terminal`, () => joined.screen);
  return joined;
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

test('a control join types into the shell, and the shell\'s end ends it with its status', TIMEOUT, async () => {
  const { owner, address } = await sharedSession('control');
  const joined = joinFromTerminal(address);
  await joined.waitFor('controlling the session on local at 80x24');
  await joined.waitFor(PROMPT);
  joined.terminal.write('echo from-$((6*7))-attach\r');
  await owner.waitFor((p) => p.output.includes('from-42-attach\r\n'), 'the joined terminal\'s command');
  await joined.waitFor('from-42-attach\r\n');
  joined.terminal.write('exit 3\r');
  assert.equal((await joined.exit).exitCode, 3);
  await owner.waitFor((p) => p.message('exit'), 'the end, shown to the owner');
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
