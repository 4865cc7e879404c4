'use strict';

// The browser terminal in a real browser: Debian's chromium, headless,
// driven by playwright-core, against the real broker.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');
const WebSocket = require('ws');

const { WebTerminalServer } = require('../lib/web-terminal-server');

const brokerPath = path.resolve(process.env.TERMINAL_STREAM_BROKER ||
  path.join(__dirname, '../../build/release/terminal-stream-broker'));
const chromiumPath = process.env.CHROMIUM_PATH || '/usr/bin/chromium';
const screenshotPath = path.join(__dirname, '..', 'screenshot.png');
const DEADLINE = 20000;
const TIMEOUT = { timeout: 60000 };
const PROMPT = 'web$';

let server;
let pageUrl;
let browser;
let profileDir;

test.before(async () => {
  server = new WebTerminalServer({
    port: 0,
    shell: ['sh'],
    spawnOptions: { brokerPath, env: { ...process.env, PS1: `${PROMPT} ` } }
  });
  pageUrl = await server.listen();
  profileDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-chromium-'));
  browser = await chromium.launchPersistentContext(profileDir, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 900, height: 500 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync']
  });
});

test.after(async () => {
  await browser?.close();
  await server?.close();
  if (profileDir) fs.rmSync(profileDir, { recursive: true, force: true });
});

/** The text of xterm.js's buffer, one line per row, trailing blanks cut. */
function screenText(page) {
  return page.evaluate(() => {
    const buffer = window.terminal.buffer.active;
    const lines = [];
    for (let i = 0; i < buffer.length; i++) lines.push(buffer.getLine(i).translateToString(true));
    return lines.join('\n').trimEnd();
  });
}

async function waitForScreen(page, condition, what) {
  const deadline = Date.now() + DEADLINE;
  let text = '';
  while (Date.now() < deadline) {
    text = await screenText(page);
    if (condition(text)) return text;
    await page.waitForTimeout(50);
  }
  throw new Error(`timed out waiting for ${what}; screen ends with: ${JSON.stringify(text.slice(-300))}`);
}

const endsWithPrompt = (text) => text.endsWith(PROMPT);

/** Opens the page at its first prompt; `ended` resolves with the exit event of the terminal behind it. */
async function openTerminal() {
  const started = new Promise((resolve) => server.once('session', resolve));
  const page = await browser.newPage();
  await page.goto(pageUrl);
  const terminal = await started;
  const ended = new Promise((resolve) => terminal.onExit(resolve));
  await waitForScreen(page, endsWithPrompt, 'the first prompt');
  await page.click('#terminal');
  return { page, terminal, ended };
}

async function typeLine(page, line) {
  await page.keyboard.type(line);
  await page.keyboard.press('Enter');
}

test('echo, then a resize seen by stty size', TIMEOUT, async () => {
  const { page } = await openTerminal();
  await typeLine(page, 'echo hel""lo');
  await waitForScreen(page, (text) => /\nhello\n/.test(text), 'hello');
  await waitForScreen(page, endsWithPrompt, 'the prompt after echo');
  await page.screenshot({ path: screenshotPath });

  const terminalSize = () => page.evaluate(() => ({ cols: window.terminal.cols, rows: window.terminal.rows }));
  const before = await terminalSize();
  await page.setViewportSize({ width: 640, height: 360 });
  // The fit addon resizes on the window's resize event, which comes a little later.
  await page.waitForFunction((old) => window.terminal.cols < old.cols && window.terminal.rows < old.rows, before,
    { timeout: DEADLINE });
  const size = await terminalSize();
  await typeLine(page, 'stty size');
  const sizeLine = new RegExp(`(^|\\s)${size.rows} ${size.cols}\\n`);
  await waitForScreen(page, (text) => sizeLine.test(text), `stty size ${size.rows} ${size.cols}`);
  await page.close();
});

test('^C stops a flood from yes and the prompt comes back', TIMEOUT, async () => {
  const { page } = await openTerminal();
  await typeLine(page, 'yes');
  await waitForScreen(page, (text) => text.endsWith('y\ny\ny'), 'the output of yes');
  await page.keyboard.press('Control+c');
  await waitForScreen(page, endsWithPrompt, 'the prompt after ^C');
  await page.close();
});

test('the end of the shell is shown on the page', TIMEOUT, async () => {
  const { page, ended } = await openTerminal();
  await typeLine(page, 'exit 3');
  await page.waitForFunction(() => document.getElementById('status').textContent.startsWith('shell ended'), null,
    { timeout: DEADLINE });
  assert.equal(await page.textContent('#status'), 'shell ended: exit code 3 (exited)');
  assert.equal((await ended).exitCode, 3);
  await page.close();
});

test('closing the tab ends its broker', TIMEOUT, async () => {
  const { page, terminal, ended } = await openTerminal();
  await page.close();
  assert.equal((await ended).reason, 'signal:1');
  assert.throws(() => process.kill(terminal.brokerPid, 0), { code: 'ESRCH' });
});

/** Opens a WebSocket from Node.js; resolves with 'open' or the refusal's status. */
function tryWebSocket(url, origin) {
  return new Promise((resolve) => {
    const socket = new WebSocket(url, { origin });
    socket.on('open', () => { socket.close(); resolve('open'); });
    socket.on('unexpected-response', (request, response) => resolve(response.statusCode));
    socket.on('error', (error) => resolve(error.message));
  });
}

test('no terminal without the token or from a page of another origin', TIMEOUT, async () => {
  const { origin, port } = new URL(pageUrl);
  const socketUrl = (token) => `ws://127.0.0.1:${port}/terminal?token=${token}`;
  assert.equal(await tryWebSocket(socketUrl(server.token), origin), 'open', 'the check itself must let the right one in');
  assert.equal(await tryWebSocket(socketUrl(''), origin), 401);
  assert.equal(await tryWebSocket(socketUrl(`${server.token}x`), origin), 401);

  // A page of another site (another port is another origin) that knows the
  // token still gets nothing: the browser says where the page came from.
  const foreign = http.createServer((request, response) => response.end('<!doctype html><title>foreign</title>'));
  await new Promise((resolve) => foreign.listen(0, '127.0.0.1', resolve));
  const page = await browser.newPage();
  try {
    await page.goto(`http://127.0.0.1:${foreign.address().port}/`);
    const outcome = await page.evaluate((url) => new Promise((resolve) => {
      const socket = new WebSocket(url);
      socket.onopen = () => resolve('open');
      socket.onclose = (event) => resolve(`closed ${event.code}`);
    }), socketUrl(server.token));
    assert.equal(outcome, 'closed 1006');
  } finally {
    await page.close();
    foreign.close();
  }
});
