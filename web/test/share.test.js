'use strict';

// Share links on the wire: raw WebSockets as the owner's page and the
// viewers' pages, where a test can send what no page would.

const test = require('node:test');
const assert = require('node:assert/strict');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const { serverOptions, PROMPT } = require('./support');
const { RawPage } = require('./raw-page');

const TIMEOUT = { timeout: 60000 };
const atPrompt = (page) => page.output.endsWith(`${PROMPT} `);

let server;
let url;

test.before(async () => {
  server = new WebTerminalServer(serverOptions({ maxViewers: 2 }));
  url = await server.listen();
});
test.after(() => server?.close());

/** An owner's page at its prompt, and a link of `mode` it made. */
async function sharedSession(mode, label) {
  const owner = new RawPage(url);
  await owner.waitFor(atPrompt, 'the first prompt');
  owner.send({ type: 'share', mode, ...(label ? { label } : {}) });
  await owner.waitFor((p) => p.message('sharing')?.links.length === 1, 'the link');
  return { owner, link: owner.message('sharing').links[0] };
}

const lastSharing = (page) => page.messages.filter((message) => message.type === 'sharing').at(-1);

test('a watch link: the screen as it is, then live; its input reaches nothing; only that session', TIMEOUT, async () => {
  const other = new RawPage(url);
  await other.waitFor((p) => p.message('session'), 'another session');
  const { owner, link } = await sharedSession('watch', 'alice');
  owner.type('echo before-$((6*7))\r');
  await owner.waitFor((p) => p.output.includes('before-42\r\n'), 'the first echo');

  // The link grants its own session, whatever else its address names.
  const viewer = new RawPage(url, { share: link.capability, query: { session: other.message('session').id, seq: 0, target: 'nowhere' } });
  await viewer.waitFor((p) => p.output.includes('before-42'), 'the snapshot');
  assert.deepEqual(viewer.message('watching'), { type: 'watching', mode: 'watch', owner: 'alice', target: 'local', cols: 80, rows: 24 });
  await owner.waitFor((p) => lastSharing(p)?.viewers.length === 1, 'the viewer in the owner\'s list');
  assert.equal(lastSharing(owner).viewers[0].mode, 'watch');

  viewer.type('echo typed-by-the-viewer\r');
  viewer.send({ type: 'resize', cols: 50, rows: 10 });
  await viewer.waitFor((p) => p.message('error'), 'the refusal');
  owner.type('echo after-$((6*7)); stty size\r');
  await viewer.waitFor((p) => p.output.includes('after-42\r\n24 80\r\n'), 'live output, at the owner\'s size');
  assert.ok(!owner.output.includes('typed-by-the-viewer'));
  viewer.close();
  other.close();
  owner.close();
});

test('a control link types into the shell; a revoked link\'s pages are told and closed', TIMEOUT, async () => {
  const { owner, link } = await sharedSession('control');
  const viewer = new RawPage(url, { share: link.capability });
  await viewer.waitFor((p) => p.message('watching'), 'the viewer\'s session');
  assert.equal(viewer.message('watching').owner, undefined);
  viewer.type('echo from-$((6*7))-control\r');
  await owner.waitFor((p) => p.output.includes('from-42-control\r\n'), 'the control page\'s command');

  owner.send({ type: 'revoke', id: link.id });
  assert.deepEqual(await viewer.closed, { code: 4003, reason: 'the owner revoked this link' });
  assert.equal(viewer.message('share-ended').reason, 'the owner revoked this link');
  await owner.waitFor((p) => lastSharing(p).links.length === 0 && lastSharing(p).viewers.length === 0, 'no link left');
  const again = new RawPage(url, { share: link.capability });
  assert.equal((await again.closed).code, 4004);
  owner.close();
});

test('a viewer that never acknowledges holds nothing back; once it does, a snapshot brings it up to date', TIMEOUT, async () => {
  const { owner, link } = await sharedSession('watch');
  const stalled = new RawPage(url, { share: link.capability, acknowledge: false });
  await stalled.waitFor((p) => p.lastSeq > 0, 'the first snapshot');
  owner.type('seq 1 200000\r');
  await owner.waitFor((p) => p.output.includes('\n200000\r\n') && atPrompt(p), 'the whole of seq');
  // Far behind the log by now: once it confirms what it has, a snapshot of the screen as it is.
  stalled.send({ type: 'ack', seq: stalled.lastSeq });
  await stalled.waitFor((p) => p.output.endsWith(`200000\r\n${PROMPT} `), 'the last screen');
  owner.close();
});

test('over the viewer limit a page is refused with the reason; a link dies with its session', TIMEOUT, async () => {
  const { owner, link } = await sharedSession('watch');
  const viewers = [new RawPage(url, { share: link.capability }), new RawPage(url, { share: link.capability })];
  for (const viewer of viewers) await viewer.waitFor((p) => p.message('watching'), 'a viewer');
  const third = new RawPage(url, { share: link.capability });
  assert.equal((await third.closed).code, 4008);
  assert.equal(third.message('share-ended').reason, 'refused: this session has its 2 viewers already');

  let started = 0;
  server.on('session', () => { started += 1; });
  owner.type('exit\r');
  for (const viewer of viewers) {
    await viewer.waitFor((p) => p.message('exit'), 'the end, shown to the viewer');
    assert.equal((await viewer.closed).code, 1000);
  }
  const late = new RawPage(url, { share: link.capability });
  assert.equal((await late.closed).code, 4004);
  assert.equal(late.message('share-ended').reason, 'this link is not valid: it was revoked, or its session has ended');
  assert.equal(started, 0, 'no shell was started');
});
