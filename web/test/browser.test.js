'use strict';

// The browser terminal in a real browser: Debian's chromium, headless,
// driven by playwright-core, against the real broker.

const test = require('node:test');
const assert = require('node:assert/strict');
const fs = require('fs');
const http = require('http');
const os = require('os');
const path = require('path');
const WebSocket = require('ws');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const {
  DEADLINE, PROMPT, serverOptions, launchBrowser, screenText, waitFor, waitForScreen, waitForStatus,
  endsWithPrompt, typeLine, processAlive
} = require('./support');

// scripts/update-screenshot.sh points this at web/screenshot.png.
const screenshotPath = process.env.TERMINAL_STREAM_SCREENSHOT || path.join(os.tmpdir(), 'terminal-stream-web.png');
const TIMEOUT = { timeout: 60000 };

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

/** Opens a page of `onServer` at its first prompt, with the session behind it. */
async function openTerminal(onServer = server, url = pageUrl) {
  const started = new Promise((resolve) => onServer.once('session', resolve));
  const page = await browser.context.newPage();
  await page.goto(url);
  const session = await started;
  await waitForScreen(page, endsWithPrompt, 'the first prompt');
  await page.click('#terminal');
  return { page, session };
}

/** The process group in the terminal's foreground, from the shell's /proc entry. */
function foregroundGroup(shellPid) {
  const stat = fs.readFileSync(`/proc/${shellPid}/stat`, 'utf8');
  return Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[5]);
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

test('the cursor is steady unless asked; asked to blink, it blinks with no endless animation (DOM renderer); ?renderer=webgl draws with WebGL', TIMEOUT, async () => {
  const { page } = await openTerminal();
  // Headless Chromium has WebGL only in software, where the DOM renderer is chosen.
  assert.equal(await page.evaluate(() => window.terminalPage.renderer), 'dom');
  const blinks = () => page.evaluate(() => new Promise((resolve) => {
    // Two and a half blink phases.
    const seen = new MutationObserver(() => resolve(true));
    seen.observe(document.getElementById('terminal'), { attributes: true, attributeFilter: ['class'] });
    setTimeout(() => resolve(false), 1500);
  }));
  const shape = () => page.evaluate(() => window.terminal.options.cursorStyle);
  assert.equal(await blinks(), false, 'a steady cursor by default');
  // A program asks for a blinking bar (as vim does in insert mode), then for the default again.
  await typeLine(page, "printf '\\033[5 q'");
  assert.equal(await blinks(), true, 'the cursor blinks');
  assert.equal(await shape(), 'bar');
  // An endless CSS animation keeps Chromium rendering 60 frames a second.
  assert.deepEqual(await page.evaluate(() => document.getAnimations().map((animation) => animation.animationName)), []);
  await typeLine(page, "printf '\\033[0 q'");
  await page.waitForFunction(() => window.terminal.options.cursorStyle === 'block', null, { timeout: DEADLINE });
  assert.equal(await blinks(), false, 'steady again');
  await page.close();

  const { page: blinkingPage } = await openTerminal(server, `${pageUrl}&cursorBlink=1`);
  const cursorOff = (off) => document.getElementById('terminal').classList.contains('cursor-off') === off;
  await blinkingPage.keyboard.type('x'); // a keystroke starts the blink again, whatever time has passed
  await blinkingPage.waitForFunction(cursorOff, true, { timeout: DEADLINE });
  await blinkingPage.waitForFunction(cursorOff, false, { timeout: DEADLINE });
  assert.deepEqual(await blinkingPage.evaluate(() => document.getAnimations().map((animation) => animation.animationName)), []);
  await blinkingPage.close();

  const { page: webglPage } = await openTerminal(server, `${pageUrl}&renderer=webgl`);
  await webglPage.waitForFunction(() => window.terminalPage.renderer === 'webgl', null, { timeout: DEADLINE });
  assert.ok(await webglPage.$('.xterm-screen canvas'));
  await typeLine(webglPage, 'echo we""bgl');
  await waitForScreen(webglPage, (text) => /\nwebgl\n/.test(text), 'webgl');
  await webglPage.close();
});

test('the end of the shell is shown on the page', TIMEOUT, async () => {
  const { page, session } = await openTerminal();
  await typeLine(page, 'exit 3');
  await waitForStatus(page, (text) => text.startsWith('session ended'), 'the end of the session');
  assert.equal(await page.textContent('#status'), 'session ended: exit code 3');
  assert.equal((await session.ended).exitCode, 3);
  await page.close();
});

test('a reload comes back to vi: same process, same screen, keys reach it', TIMEOUT, async () => {
  const file = path.join(os.tmpdir(), `tsb-web-${process.pid}.txt`);
  fs.writeFileSync(file, 'alpha\nbeta\ngamma\n');
  const { page, session } = await openTerminal();
  try {
    await typeLine(page, `vi -u NONE ${file}`);
    await waitForScreen(page, (text) => text.startsWith('alpha\nbeta\ngamma\n~'), 'vi showing the file');
    const vi = foregroundGroup(session.terminal.pid);
    // vim clears its message line when it redraws after a resize: compare the rows above it.
    const fileRows = () => page.evaluate(() => {
      const { buffer, rows } = window.terminal;
      const lines = [];
      for (let i = 0; i < rows - 1; i++) lines.push(buffer.active.getLine(buffer.active.viewportY + i).translateToString(true));
      return lines.join('\n');
    });
    const before = await fileRows();

    const resumed = new Promise((resolve) => server.once('resume', resolve));
    await page.reload();
    assert.equal(await resumed, session, 'the reloaded page resumes its own session');
    await waitForStatus(page, (text) => text === 'resumed', 'the status resumed');
    await waitFor(fileRows, (rows) => rows === before, 'the screen of vi as before the reload');
    assert.equal(foregroundGroup(session.terminal.pid), vi, 'the same vi');

    await page.click('#terminal');
    await page.keyboard.type('iomega ');
    await page.keyboard.press('Escape');
    await waitForScreen(page, (text) => text.startsWith('omega alpha\n'), 'the typed text in vi');
    await typeLine(page, ':q!');
    await waitForScreen(page, endsWithPrompt, 'the prompt after vi');
  } finally {
    await page.close();
    fs.rmSync(file, { force: true });
  }
});

test('output made while the socket is closed arrives once, in order; its queries get no answer', TIMEOUT, async () => {
  const { page, session } = await openTerminal();
  await page.evaluate(() => { window.terminal.options.scrollback = 30000; });
  const sentByPage = [];
  page.on('websocket', (socket) => socket.on('framesent', ({ payload }) => sentByPage.push(JSON.parse(payload))));

  await page.evaluate(() => window.terminalPage.disconnect());
  await waitFor(() => session.connection, (connection) => connection === undefined, 'the session detached');
  let output = '';
  session.terminal.onData((data) => { output += data; });
  // Typed from the server's side: the page is not there. The cursor report
  // query is answered by nobody now, and must not be answered on resume.
  session.terminal.write("printf '\\033[6n'; seq 1 20000\r");
  await waitFor(() => output, (text) => text.includes(`20000\r\n${PROMPT}`), 'the output of seq, detached');

  await page.evaluate(() => window.terminalPage.connect());
  await waitForStatus(page, (text) => text === 'resumed', 'the status resumed');
  await waitForScreen(page, (text) => text.endsWith(`20000\n${PROMPT}`), 'the end of seq');
  const numbers = (await screenText(page)).split('\n').filter((line) => /^\d+$/.test(line));
  assert.equal(numbers.length, 20000);
  numbers.forEach((line, index) => assert.equal(line, String(index + 1), `line ${index + 1}`));

  await typeLine(page, 'echo af""ter');
  await waitForScreen(page, (text) => text.endsWith(`\nafter\n${PROMPT}`), 'input after the resume');
  const answers = sentByPage.filter((message) => message.type === 'input' && /\x1b\[\d+;\d+R/.test(message.data));
  assert.deepEqual(answers, [], 'no cursor report sent to the shell');
  await page.close();
});

test('keys typed while the connection is away reach the shell after the resume, once, in order', TIMEOUT, async () => {
  const { page, session } = await openTerminal();
  await page.evaluate(() => window.terminalPage.disconnect());
  await waitFor(() => session.connection, (connection) => connection === undefined, 'the session detached');
  for (const word of ['one', 'two', 'three']) await typeLine(page, `echo ty""ped-${word}`);
  await page.evaluate(() => window.terminalPage.connect());
  await waitForStatus(page, (text) => text === 'resumed', 'the status resumed');
  await waitForScreen(page, (text) => text.endsWith(`typed-three\n${PROMPT}`), 'the last line typed, run');
  // The terminal echoes the three lines at once (typed ahead), then each one's output follows.
  assert.deepEqual((await screenText(page)).match(/typed-\w+/g), ['typed-one', 'typed-two', 'typed-three']);
  await page.close();
});

test('a shell that ended while the page was away is shown when it comes back', TIMEOUT, async () => {
  const { page, session } = await openTerminal();
  await page.evaluate(() => window.terminalPage.disconnect());
  await waitFor(() => session.connection, (connection) => connection === undefined, 'the session detached');
  session.terminal.write('exit 7\r');
  assert.equal((await session.ended).exitCode, 7);
  await page.evaluate(() => window.terminalPage.connect());
  await waitForStatus(page, (text) => text === 'session ended: exit code 7', 'the end shown');
  assert.equal(await page.evaluate(() => sessionStorage.getItem('terminal-stream-session')), null,
    'a reload after the end starts a new shell');
  await page.close();
});

test('a second page with the same session takes it over; the first is told', TIMEOUT, async () => {
  const first = await openTerminal();
  const id = await first.page.evaluate(() => window.terminalPage.sessionId);
  const second = await browser.context.newPage();
  await second.addInitScript((sessionId) => sessionStorage.setItem('terminal-stream-session', sessionId), id);
  const resumed = new Promise((resolve) => server.once('resume', resolve));
  await second.goto(pageUrl);
  assert.equal(await resumed, first.session);
  await waitForStatus(first.page, (text) => text === 'taken over by another page', 'the first page told');
  await waitForStatus(second, (text) => text === 'resumed', 'the second page resumed');
  await second.click('#terminal');
  await typeLine(second, 'echo pid=$$');
  await waitForScreen(second, (text) => text.includes(`\npid=${first.session.terminal.pid}\n`), 'the same shell');
  await first.page.close();
  await second.close();
});

test('after the grace period a page gets a new shell and a note saying so', TIMEOUT, async () => {
  const shortGrace = new WebTerminalServer(serverOptions({ graceSeconds: 0.5 }));
  const url = await shortGrace.listen();
  try {
    const { page, session } = await openTerminal(shortGrace, url);
    await page.evaluate(() => window.terminalPage.disconnect());
    // The broker hangs up the shell, which ignores SIGTERM, as a closed terminal would.
    assert.equal((await session.ended).reason, 'signal:1');
    await waitFor(() => processAlive(session.terminal.brokerPid), (alive) => !alive, 'the broker gone');

    const fresh = new Promise((resolve) => shortGrace.once('session', resolve));
    await page.evaluate(() => window.terminalPage.connect());
    assert.notEqual((await fresh).id, session.id);
    await waitForStatus(page, (text) => text.startsWith('new shell: '), 'the note');
    await waitForScreen(page, endsWithPrompt, 'the new prompt');
    await page.close();
  } finally {
    await shortGrace.close();
  }
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

test('no terminal without the token or from a page of another origin, session id or not', TIMEOUT, async () => {
  const { page, session } = await openTerminal();
  const { origin, port } = new URL(pageUrl);
  const socketUrl = (token, id) => `ws://127.0.0.1:${port}/terminal?token=${token}${id ? `&session=${id}` : ''}`;
  assert.equal(await tryWebSocket(socketUrl(server.token), origin), 'open', 'the check itself must let the right one in');
  for (const id of [undefined, session.id]) {
    assert.equal(await tryWebSocket(socketUrl('', id), origin), 401);
    assert.equal(await tryWebSocket(socketUrl(`${server.token}x`, id), origin), 401);
    assert.equal(await tryWebSocket(socketUrl(server.token, id), 'http://127.0.0.1:1'), 403);
  }

  // A page of another site (another port is another origin) that knows the
  // token still gets nothing: the browser says where the page came from.
  const foreign = http.createServer((request, response) => response.end('<!doctype html><title>foreign</title>'));
  await new Promise((resolve) => foreign.listen(0, '127.0.0.1', resolve));
  const foreignPage = await browser.context.newPage();
  try {
    await foreignPage.goto(`http://127.0.0.1:${foreign.address().port}/`);
    const outcome = await foreignPage.evaluate((url) => new Promise((resolve) => {
      const socket = new WebSocket(url);
      socket.onopen = () => resolve('open');
      socket.onclose = (event) => resolve(`closed ${event.code}`);
    }), socketUrl(server.token, session.id));
    assert.equal(outcome, 'closed 1006');
  } finally {
    await foreignPage.close();
    foreign.close();
  }

  // None of these touched the session: its page still has it.
  assert.equal(await page.textContent('#status'), 'connected');
  await typeLine(page, 'echo st""ill');
  await waitForScreen(page, (text) => text.endsWith(`\nstill\n${PROMPT}`), 'the page still attached');
  await page.close();
});
