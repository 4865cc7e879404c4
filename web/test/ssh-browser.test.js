'use strict';

// The browser terminal with its sessions on another machine: a targets file
// whose default is a real sshd that this test starts (the client's
// test/ssh-host.js), headless chromium as in browser.test.js.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');
const WebSocket = require('ws');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const { readTargetsFile } = require('../lib/targets');
const { brokerPath, PROMPT, serverOptions, launchBrowser, waitFor, waitForScreen, waitForStatus, endsWithPrompt, typeLine } = require('./support');
const { sshSkipReason, startSshHost } = require('../../clients/node/test/ssh-host');

const skip = sshSkipReason();
if (skip) console.log(`# skipped: ${skip}`);
const TIMEOUT = { timeout: 90000, skip };

let host;
let server;
let pageUrl;
let browser;

test.before(async () => {
  if (skip) return;
  host = await startSshHost({ brokerPath });
  const targetsFile = path.join(host.dir, 'targets.json');
  fs.writeFileSync(targetsFile, JSON.stringify({
    // env does not travel over ssh: the prompt is set on the far side.
    far: { launcher: host.launcher, shell: ['env', `PS1=${PROMPT} `, 'sh', '-i'] },
    here: {}
  }));
  server = new WebTerminalServer(serverOptions({ targets: readTargetsFile(targetsFile) }));
  pageUrl = await server.listen();
  browser = await launchBrowser();
});

test.after(async () => {
  await browser?.close();
  await server?.close();
  host?.stop();
});

test('a page on the ssh target: echo, resize and resume on the far side, a lost ssh shown, nothing left there', TIMEOUT, async () => {
  const started = new Promise((resolve) => server.once('session', resolve));
  const page = await browser.context.newPage();
  await page.goto(pageUrl);
  const session = await started;
  await waitForScreen(page, endsWithPrompt, 'the first prompt');
  assert.deepEqual(await page.$$eval('#target option', (options) => options.map((option) => [option.value, option.selected])),
    [['far', true], ['here', false]], 'the picker offers the targets, the first chosen');
  const farShell = await session.terminal.ready;
  assert.ok(host.farProcesses().some((found) => found.pid === farShell && /^sh -i/.test(found.command)),
    `the shell runs under the far sshd: ${JSON.stringify(host.farProcesses())}`);

  await page.click('#terminal');
  await typeLine(page, 'echo hel""lo');
  await waitForScreen(page, (text) => /\nhello\n/.test(text), 'hello');
  const terminalSize = () => page.evaluate(() => ({ cols: window.terminal.cols, rows: window.terminal.rows }));
  const before = await terminalSize();
  await page.setViewportSize({ width: 640, height: 360 });
  const size = await waitFor(terminalSize, (seen) => seen.cols < before.cols && seen.rows < before.rows, 'the fit addon\'s resize');
  await typeLine(page, 'stty size');
  const sizeLine = new RegExp(`(^|\\s)${size.rows} ${size.cols}\\n`);
  await waitForScreen(page, (text) => sizeLine.test(text), `stty size ${size.rows} ${size.cols}`);

  // A dropped page connection resumes the same far session, as here.
  await page.evaluate(() => window.terminalPage.disconnect());
  await typeLine(page, 'echo gone');
  await page.evaluate(() => window.terminalPage.connect());
  await waitForStatus(page, (text) => text === 'resumed', 'the resume');
  await typeLine(page, 'echo "back on $$"');
  await waitForScreen(page, (text) => text.includes(`\nback on ${farShell}\n`), 'the same far shell');

  // The transport dies: the page says so, and sshd's end of the broker's
  // input ends the broker and its shell over there.
  process.kill(session.terminal.brokerPid, 'SIGKILL');
  await waitForStatus(page, (text) => /connection to the shell lost \(signal 9\)/.test(text), 'the lost connection');
  await waitFor(() => host.farProcesses(), (left) => left.length === 0, 'nothing left on the far side');
  await page.close();
});

test('a target the server does not list is refused, whatever the page sends', TIMEOUT, async () => {
  const url = new URL(pageUrl);
  const tryTarget = (target) => new Promise((resolve) => {
    const query = new URLSearchParams({ token: server.token, target });
    const socket = new WebSocket(`ws://${url.host}/terminal?${query}`, { origin: url.origin });
    socket.on('open', () => { socket.close(); resolve('open'); });
    socket.on('unexpected-response', (request, response) => resolve(response.statusCode));
    socket.on('error', () => {});
  });
  assert.equal(await tryTarget('here'), 'open', 'a listed one is let in');
  for (const target of ['nowhere', 'sh -c id', '__proto__', 'toString']) assert.equal(await tryTarget(target), 400, target);
  const names = await fetch(`${url.origin}/targets?token=x`);
  assert.equal(names.status, 401, 'the list needs the token');
});
