'use strict';

// --record: each session written as asciicast v2, read back by Debian's
// asciinema (`asciinema cat` prints a recording's output), and played in
// the recordings page.

const test = require('node:test');
const assert = require('node:assert/strict');
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');

const { WebTerminalServer } = require('../lib/web-terminal-server');
const { serverOptions, launchBrowser, screenText, waitFor, waitForScreen, PROMPT } = require('./support');
const { RawPage } = require('./raw-page');

const TIMEOUT = { timeout: 60000 };

/** What `asciinema cat` prints: it needs a terminal of its own (it reads /dev/tty), which script(1) gives it. */
function asciinemaCat(file) {
  const out = `${file}.out`;
  execFileSync('script', ['-qec', `asciinema cat '${file}' > '${out}'`, '/dev/null'],
    { env: { ...process.env, LC_ALL: 'C.UTF-8' }, stdio: ['ignore', 'ignore', 'inherit'] });
  return fs.readFileSync(out, 'utf8');
}

function readRecording(file) {
  const [header, ...events] = fs.readFileSync(file, 'utf8').split('\n').filter(Boolean).map((line) => JSON.parse(line));
  return { header, events, text: (type) => events.filter((event) => event[1] === type).map((event) => event[2]).join('') };
}

/** A server recording into a fresh directory, and that directory's only recording once a session has ended. */
async function recordingServer(record) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-recordings-'));
  const server = new WebTerminalServer(serverOptions({ record: { dir, ...record } }));
  const url = await server.listen();
  const recording = async () => {
    const [name] = await waitFor(() => fs.readdirSync(dir).filter((entry) => entry.endsWith('.cast')), (names) => names.length === 1, 'a recording');
    return path.join(dir, name);
  };
  return { dir, server, url, recording, async close() { await server.close(); fs.rmSync(dir, { recursive: true, force: true }); } };
}

/** Runs `lines` in a new session through a raw page, then `exit`; the page once the shell has ended. */
async function session(url, steps) {
  const page = new RawPage(url);
  await page.waitFor((p) => p.output.endsWith(PROMPT + ' '), 'the first prompt');
  for (const step of steps) await step(page);
  page.type('exit\r');
  await page.waitFor((p) => p.message('exit'), 'the end of the shell');
  return page;
}

let played; // the first test's server and recording, for the recordings page
test.after(() => played?.recorder.close());

test('asciinema reads back exactly what the page was sent: a split character, a resize, input', TIMEOUT, async () => {
  const recorder = await recordingServer({ input: true });
  played = { recorder };
  const typed = [];
  const type = (page, text) => { typed.push(text); page.type(text); };
  const page = await session(recorder.url, [
    // The character's bytes come in two reads of the terminal, 0.3 s apart.
    async (p) => { type(p, "printf 'caf\\303\\251 \\342'; sleep 0.3; printf '\\202\\254 done.\\n'\r"); await p.waitFor((x) => x.output.includes('café € done.\r\n'), 'the characters'); },
    async (p) => { p.send({ type: 'resize', cols: 100, rows: 30 }); type(p, 'stty size\r'); await p.waitFor((x) => x.output.includes('30 100\r\n'), 'the new size'); }
  ]);
  typed.push('exit\r');
  const file = await recorder.recording();
  // The file is complete once its output is all the page was sent.
  await waitFor(() => readRecording(file).text('o'), (text) => text === page.output, 'the whole output in the file');

  assert.equal(asciinemaCat(file), page.output);
  const { header, events, text } = readRecording(file);
  assert.deepEqual({ ...header, timestamp: 0 }, { version: 2, width: 80, height: 24, timestamp: 0, env: { SHELL: 'sh', TERM: 'xterm' }, target: 'local' });
  assert.deepEqual(events.filter((event) => event[1] === 'r').map((event) => event[2]), ['100x30']);
  assert.equal(text('i'), typed.join(''));
  assert.ok(!text('o').includes('\ufffd'));
  assert.ok(events.every((event, i) => i === 0 || event[0] >= events[i - 1][0]), 'times never go back');
  assert.equal(fs.statSync(file).mode & 0o7777, 0o600);
  played.file = file;
});

test('the size limit ends a recording with a note, and what is written is read in full', TIMEOUT, async () => {
  const recorder = await recordingServer({ limitBytes: 2048 });
  try {
    const page = await session(recorder.url, [
      async (p) => { p.type('seq 1 3000\r'); await p.waitFor((x) => x.output.includes('\n3000\r\n'), 'the last number'); }
    ]);
    const file = await recorder.recording();
    const note = '\r\n[recording ended: it reached its size limit of 2048 bytes]\r\n';
    const shown = await waitFor(() => fs.readFileSync(file, 'utf8'), (text) => text.endsWith(`${JSON.stringify(note)}]\n`), 'the note');
    assert.ok(Buffer.byteLength(shown) <= 2048, `${Buffer.byteLength(shown)} bytes`);
    const cat = asciinemaCat(file);
    assert.ok(cat.endsWith(note));
    assert.ok(page.output.startsWith(cat.slice(0, -note.length)));
    assert.equal(readRecording(file).text('i'), '', 'input is recorded only when asked');
  } finally {
    await recorder.close();
  }
});

test('the recordings page lists the recording behind the token, seeks and plays it', TIMEOUT, async (t) => {
  assert.ok(played?.file, 'needs the first test\'s recording');
  const { recorder, file } = played;
  const browser = await launchBrowser();
  t.after(() => browser.close());
  const { origin, searchParams } = new URL(recorder.url);
  const token = searchParams.get('token');
  assert.equal((await fetch(`${origin}/recordings/list?token=x`)).status, 401);
  assert.equal((await fetch(`${origin}/recordings/file?token=x&name=${path.basename(file)}`)).status, 401);
  assert.equal((await fetch(`${origin}/recordings/file?token=${token}&name=..%2Fpasswd.cast`)).status, 404);

  const page = await browser.context.newPage();
  await page.goto(`${origin}/recordings?token=${token}`);
  await page.click(`button[data-name="${path.basename(file)}"]`);
  await page.waitForFunction(() => window.recordingsPage.player?.duration > 0);
  // Seeking to the end shows the last screen at once; to the start, an empty one.
  await page.evaluate(() => { const seek = document.getElementById('seek'); seek.value = seek.max; seek.dispatchEvent(new Event('change')); });
  await waitForScreen(page, (text) => text.includes('30 100') && text.includes('café € done.'), 'the last screen');
  assert.deepEqual(await page.evaluate(() => [window.terminal.cols, window.terminal.rows]), [100, 30]);
  await page.evaluate(() => { const seek = document.getElementById('seek'); seek.value = 0; seek.dispatchEvent(new Event('change')); });
  await waitForScreen(page, (text) => text === '', 'the screen at the start');
  // Played at 8 times its pace, it comes to the same screen and stops.
  await page.selectOption('#speed', '8');
  await page.click('#play');
  await waitFor(() => page.evaluate(() => window.recordingsPage.player.playing), (playing) => !playing, 'the end of playing');
  assert.ok((await screenText(page)).includes('café € done.'));
  await page.close();
});

test('the recorder: a character typed in two binary pieces is one, times follow the broker\'s stamps and never go back', async () => {
  const { SessionRecorder } = require('../lib/session-recorder');
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-recorder-'));
  try {
    const recorder = new SessionRecorder(dir, { target: 'here', cols: 80, rows: 24, term: 'xterm', shell: 'sh' }, { input: true });
    const start = Date.now();
    recorder.output(Buffer.from('a'), start);
    recorder.input('\xe2\x82', true); // one character per byte, as a page sends mouse reports
    recorder.input('\xac', true);
    recorder.output(Buffer.from('b'), start + 2500);
    recorder.output(Buffer.from('c'), start + 1000); // a broker clock that went back
    recorder.resize(100, 30);
    await recorder.close();
    const { header, events } = readRecording(recorder.path);
    assert.equal(header.target, 'here');
    assert.deepEqual(events.map(([, type, text]) => [type, text]), [['o', 'a'], ['i', '€'], ['o', 'b'], ['o', 'c'], ['r', '100x30']]);
    const times = events.map(([time]) => time);
    assert.equal(Math.round((times[2] - times[0]) * 1000), 2500);
    assert.equal(times[3], times[2], 'output stamped earlier than the last is put at its time');
    assert.ok(times[4] >= times[3]);
  } finally {
    fs.rmSync(dir, { recursive: true, force: true });
  }
});
