'use strict';

// The browser terminal with its sessions in a container: a targets file
// whose default is a container of a real dockerd that this test starts (the
// client's test/container-host.js), headless chromium as in browser.test.js.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const path = require('path');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const { readTargetsFile } = require('../lib/targets');
const { brokerPath, PROMPT, serverOptions, launchBrowser, waitFor, waitForScreen, waitForStatus, endsWithPrompt, typeLine } = require('./support');
const { containerSkipReason, startContainerHost } = require('../../clients/node/test/container-host');

const skip = containerSkipReason();
if (skip) console.log(`# skipped: ${skip}`);
const TIMEOUT = { timeout: 90000, skip };

let host;
let container;
let server;
let pageUrl;
let browser;

test.before(async () => {
  if (skip) return;
  host = await startContainerHost({ brokerPath });
  container = host.startContainer();
  const targetsFile = path.join(host.dir, 'targets.json');
  fs.writeFileSync(targetsFile, JSON.stringify({
    // The server's environment stays here: the prompt is set in the container.
    box: { launcher: host.launcher(container), shell: ['env', `PS1=${PROMPT} `, 'sh', '-i'] },
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

test('a page on the container target: echo, resize, resume, exit, nothing left in the container', TIMEOUT, async () => {
  const idle = host.processes(container).map((found) => found.command);
  const started = new Promise((resolve) => server.once('session', resolve));
  const page = await browser.context.newPage();
  await page.goto(pageUrl);
  const session = await started;
  await waitForScreen(page, endsWithPrompt, 'the first prompt');
  const shellPid = await session.terminal.ready;
  assert.ok(host.processes(container).some((found) => found.innerPid === shellPid && found.command === 'sh -i'),
    `the shell runs in the container: ${JSON.stringify(host.processes(container))}`);

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

  // A dropped page connection resumes the same session in the container.
  await page.evaluate(() => window.terminalPage.disconnect());
  await typeLine(page, 'echo gone');
  await page.evaluate(() => window.terminalPage.connect());
  await waitForStatus(page, (text) => text === 'resumed', 'the resume');
  await typeLine(page, 'echo "back on $$"');
  await waitForScreen(page, (text) => text.includes(`\nback on ${shellPid}\n`), 'the same shell in the container');

  await typeLine(page, 'exit 3');
  await waitForStatus(page, (text) => text === 'session ended: exit code 3', 'the end shown');
  assert.equal((await session.ended).exitCode, 3);
  await waitFor(() => host.processes(container).map((found) => found.command), (left) => String(left) === String(idle),
    'only the container\'s own processes left');
  await page.close();
});
