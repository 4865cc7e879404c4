'use strict';

// What a hostile or careless page cannot make the server do: take a huge
// terminal, send a huge message, or start sessions without end. Driven by
// raw WebSockets, as such a page would be.

const test = require('node:test');
const assert = require('node:assert/strict');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const { MAX_COLS, MAX_ROWS } = require('../lib/terminal-size');
const { parserHeapBytes } = require('../lib/screen-mirror');
const { PROMPT, serverOptions } = require('./support');
const { RawPage } = require('./raw-page');

const TIMEOUT = { timeout: 60000 };

/** Types a line and waits for the text its output ends with. */
async function run(page, line, ending) {
  page.type(`${line}\r`);
  await page.waitFor(({ output }) => output.endsWith(ending), ending.trim());
}

const atPrompt = (page) => page.waitFor(({ output }) => output.endsWith(`${PROMPT} `), 'the prompt');

let server;
let url;

test.before(async () => {
  server = new WebTerminalServer(serverOptions());
  url = await server.listen();
});

test.after(() => server?.close());

test('a page asking for 65535x65535 gets the largest size and a mirror that stays small, reloaded too', TIMEOUT, async () => {
  const page = new RawPage(url, { query: { cols: 65535, rows: 65535 } });
  await atPrompt(page);
  assert.deepEqual([page.message('session').maxCols, page.message('session').maxRows], [MAX_COLS, MAX_ROWS]);
  const clamped = `\r\n${MAX_ROWS} ${MAX_COLS}\r\n${PROMPT} `;
  await run(page, 'stty size', clamped);
  page.send({ type: 'resize', cols: 80, rows: 24 });
  page.send({ type: 'resize', cols: 65535, rows: 65535 });
  page.output = '';
  await run(page, 'stty size', clamped);
  // Lines as wide as the terminal, more than its scrollback holds.
  await run(page, `i=0; while [ $i -lt 2000 ]; do printf "%0${MAX_COLS - 1}d\\n" $i; i=$((i+1)); done; echo ended`, `ended\r\n${PROMPT} `);
  await page.close();

  // A reload: no seq, so a snapshot of the mirror, which was made at the clamped size.
  const reloaded = new RawPage(url, { query: { cols: 65535, rows: 65535, session: page.message('session').id } });
  await reloaded.waitFor(() => reloaded.message('resumed'), 'the resume');
  assert.match(reloaded.output, /ended/);
  // Every cell of the screen and of the scrollback the mirror keeps at this
  // size, with room for line ends: at 65535x65535 it would be gigabytes.
  assert.ok(reloaded.output.length < 2 * 256 * 1024, `snapshot of ${reloaded.output.length} characters`);
  const heap = await parserHeapBytes();
  assert.ok(heap < 64 * 1024 * 1024, `the mirrors' thread holds ${heap} bytes`);
  await reloaded.close();
});

test('an oversized message closes the socket (1009); the session goes on and resumes', TIMEOUT, async () => {
  const page = new RawPage(url);
  await atPrompt(page);
  page.type('x'.repeat(2 * 1024 * 1024));
  assert.equal((await page.closed).code, 1009);

  const back = new RawPage(url, { query: { session: page.message('session').id, seq: page.lastSeq } });
  await back.waitFor(() => back.message('resumed'), 'the resume');
  assert.equal(back.message('session').resumed, true);
  await run(back, 'echo st""ill', `still\r\n${PROMPT} `);
  assert.doesNotMatch(back.output, /xxxx/, 'nothing of the oversized message was typed');
  await back.close();
});

test('input the program never reads is refused past its bound, and the page told', TIMEOUT, async () => {
  const page = new RawPage(url);
  await atPrompt(page);
  page.type('sleep 60\r');
  // 24 MiB in messages a page may send, into a program that reads none of it.
  const piece = 'y'.repeat(64 * 1024);
  for (let i = 0; i < 384; i += 1) page.type(piece);
  await page.waitFor(() => page.message('error'), 'the refusal');
  assert.match(page.message('error').message, /^input not sent: the program has not read the last 8 MiB typed$/);
  await page.close();
});

test('over the bound on sessions a new page is refused with the reason; a resume still gets in', TIMEOUT, async (t) => {
  const bounded = new WebTerminalServer(serverOptions({ maxSessions: 2 }));
  t.after(() => bounded.close());
  const boundedUrl = await bounded.listen();
  const pages = [new RawPage(boundedUrl), new RawPage(boundedUrl)];
  for (const page of pages) await atPrompt(page);

  const refused = new RawPage(boundedUrl);
  assert.deepEqual(await refused.closed, { code: 1013, reason: "the server's maximum of sessions (2) is reached" });
  assert.equal(refused.message('session'), undefined);

  const [first, second] = pages;
  await first.close();
  const back = new RawPage(boundedUrl, { query: { session: first.message('session').id, seq: first.lastSeq } });
  await back.waitFor(() => back.message('resumed'), 'the resume at the bound');
  await back.close();
  await second.close();
});
