'use strict';

// Share links in headless chromium: the owner's page makes them, other
// pages open them.

const test = require('node:test');
const assert = require('node:assert/strict');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const {
  serverOptions, launchBrowser, screenText, waitFor, waitForScreen, waitForStatus, endsWithPrompt, typeLine
} = require('./support');
const { RawPage } = require('./raw-page');

const TIMEOUT = { timeout: 90000 };

let server;
let pageUrl;
let browser;

test.before(async () => {
  server = new WebTerminalServer(serverOptions());
  pageUrl = await server.listen();
  browser = await launchBrowser();
});
test.after(async () => {
  await browser?.close();
  await server?.close();
});

async function openPage(url) {
  const page = await browser.context.newPage();
  await page.goto(url);
  await waitForScreen(page, endsWithPrompt, 'the prompt');
  return page;
}

/** Makes a link from the owner's share panel; its address. */
async function makeLink(owner, mode, label) {
  if (await owner.isHidden('#share-panel')) await owner.click('#share-button');
  const before = await owner.locator('.share-address').count();
  await owner.selectOption('#share-mode', mode);
  if (label !== undefined) await owner.fill('#share-label', label);
  await owner.click('#share-make');
  await owner.locator('.share-address').nth(before).waitFor();
  return owner.locator('.share-address').nth(before).inputValue();
}

test('watch and control pages: what each sees and types, the owner\'s list, revoke', TIMEOUT, async () => {
  const owner = await openPage(pageUrl);
  const watchUrl = await makeLink(owner, 'watch', 'alice');
  assert.ok(!watchUrl.includes(server.token), 'the token is never in a link');

  const watcher = await openPage(watchUrl);
  await waitForStatus(watcher, (text) => text === "watching alice's session", 'the watching status');
  await owner.click('#terminal');
  await typeLine(owner, 'echo shared-$((6*7))');
  await waitForScreen(watcher, (text) => text.includes('\nshared-42\n'), 'the owner\'s output');
  const size = (page) => page.evaluate(() => [window.terminal.cols, window.terminal.rows]);
  assert.deepEqual(await size(watcher), await size(owner));
  await owner.locator('.share-viewers', { hasText: '1 connected: watch since' }).waitFor();

  await watcher.click('#terminal');
  await typeLine(watcher, 'echo from-the-watcher');
  await owner.click('#terminal');
  await typeLine(owner, 'echo after-$((6*7))');
  await waitForScreen(watcher, (text) => text.includes('\nafter-42\n'), 'the next output');
  assert.ok(!(await screenText(owner)).includes('from-the-watcher'));

  const controller = await openPage(await makeLink(owner, 'control'));
  await waitForStatus(controller, (text) => text === "sharing control of alice's session", 'the control status');
  await controller.click('#terminal');
  await typeLine(controller, 'echo from-control-$((6*7))');
  await waitForScreen(owner, (text) => text.includes('\nfrom-control-42\n'), 'the control page\'s command');

  await owner.locator('.share-link').first().locator('.share-revoke').click();
  await waitForStatus(watcher, (text) => text === 'the owner revoked this link', 'the revoke');
  await waitForScreen(watcher, (text) => text.includes('[the owner revoked this link]'), 'the note');
  await waitFor(() => owner.locator('.share-link').count(), (count) => count === 1, 'the owner\'s list without the link');
  for (const page of [owner, watcher, controller]) await page.close();
});

test('the owner\'s seq 1 200000 completes while a viewer never acknowledges anything', TIMEOUT, async () => {
  const owner = await openPage(pageUrl);
  const address = new URL(await makeLink(owner, 'watch'));
  const stalled = new RawPage(pageUrl, { share: address.searchParams.get('share'), acknowledge: false });
  await stalled.waitFor((p) => p.lastSeq > 0, 'the viewer\'s snapshot');
  await owner.click('#terminal');
  await typeLine(owner, 'seq 1 200000');
  await waitForScreen(owner, (text) => text.endsWith('\n200000\nweb$'), 'the end of seq');
  stalled.close();
  await owner.close();
});
