'use strict';

// The modules that start no broker: the access check, the output log, the
// frames a page is sent, the screen mirror's snapshots.

const test = require('node:test');
const assert = require('node:assert/strict');
const { Terminal } = require('@xterm/headless');
const { SerializeAddon } = require('@xterm/addon-serialize');

const { allowedOrigins, upgradeRefusal } = require('../lib/access-check');
const { OutputLog } = require('../lib/output-log');
const { PageConnection, parseServerMessage, MAX_FRAME_BYTES, MAX_FRAMES_IN_FLIGHT, MAX_IN_FLIGHT_BYTES } = require('../lib/page-connection');
const { ScreenMirror, unfinishedSequence } = require('../lib/screen-mirror');
const { Utf8Chunks } = require('../lib/utf8-chunks');

// The session's output is bytes from the terminal to the page.
const bytes = (text) => Buffer.from(text);

test('the access check: path, then token, then origin', () => {
  const access = { token: 'secret', origins: allowedOrigins('127.0.0.1', 8022) };
  const local = 'http://localhost:8022';
  const cases = [
    ['/terminal?token=secret', local, undefined],
    ['/terminal?token=secret&session=abc&seq=5', 'http://[::1]:8022', undefined],
    ['/terminal?token=secret', 'http://127.0.0.1:8022', undefined],
    ['/other?token=secret', local, 404],
    ['/terminal', local, 401],
    ['/terminal?token=', local, 401],
    ['/terminal?token=secre', local, 401],
    ['/terminal?token=secretx&session=abc', local, 401],
    ['/terminal?token=secret', 'http://127.0.0.1:8023', 403],
    ['/terminal?token=secret&session=abc', 'http://evil.example', 403],
    ['/terminal?token=secret', undefined, 403],
    // A share link needs no token (the session table judges its capability), the Origin all the same.
    ['/terminal?share=capability', local, undefined],
    ['/terminal?share=capability', 'http://evil.example', 403],
    ['/terminal?share=capability', undefined, 403]
  ];
  for (const [url, origin, status] of cases) {
    assert.equal(upgradeRefusal({ url, headers: { origin } }, access), status, `${url} from ${origin}`);
  }
  assert.deepEqual([...allowedOrigins('::1', 80)], ['http://127.0.0.1:80', 'http://localhost:80', 'http://[::1]:80']);
  assert.deepEqual([...allowedOrigins('10.0.0.2', 80, ['https://proxy'])], ['http://10.0.0.2:80', 'https://proxy']);
});

test('the output log drops whole old messages over its bound, never those a page still needs', () => {
  const log = new OutputLog(10);
  for (const data of ['aaaa', 'bbbb', 'cccc']) log.append(bytes(data));
  assert.equal(log.lastSeq, 3);
  assert.equal(log.holdsAfter(0), false, 'the first message went over the bound');
  assert.equal(log.holdsAfter(1), true);
  assert.equal(log.message(2).data.toString(), 'bbbb');
  assert.equal(log.bytesAfter(1), 8);

  log.append(bytes('dddd'), 2); // a page has confirmed up to 2: 3 and 4 stay
  log.append(bytes('eeee'), 2);
  assert.equal(log.holdsAfter(2), true);
  assert.equal(log.bytesAfter(2), 12);
  assert.equal(log.holdsAfter(7), false, 'nothing after the newest');
});

test('output goes on in whole UTF-8 characters: a split one waits for its end, what is not UTF-8 is U+FFFD as a decoder makes it', () => {
  const { StringDecoder } = require('node:string_decoder');
  const { isUtf8 } = require('node:buffer');
  const cases = [
    // the reads of the terminal; the chunks the page is sent, the last one at the end of the output
    [[[0x61, 0xe2], [0x82, 0xac, 0x62]], ['a', '€b', '']],
    [[[0xf0], [0x9f], [0x98], [0x80, 0x0d]], ['', '', '', '😀\r', '']],
    [[[0x61, 0xff, 0xc0, 0x80, 0x62]], ['a\ufffd\ufffd\ufffdb', '']],
    [[[0xe2, 0x82], [0x61]], ['', '\ufffda', '']],
    [[[0x80, 0x61, 0xed, 0xa0, 0x80]], ['\ufffda\ufffd\ufffd\ufffd', '']],
    [[[0x61, 0xf0, 0x9f, 0x98]], ['a', '\ufffd']]
  ];
  for (const [reads, expected] of cases) {
    const chunks = new Utf8Chunks();
    const sent = [...reads.map((read) => chunks.take(Buffer.from(read))), chunks.end()];
    const name = JSON.stringify(reads);
    assert.deepEqual(sent.map(String), expected, name);
    assert.ok(sent.every((chunk) => isUtf8(chunk)), name);
    const decoder = new StringDecoder('utf8');
    assert.equal(sent.join(''), reads.map((read) => decoder.write(Buffer.from(read))).join('') + decoder.end(), name);
  }
  // A frame is valid UTF-8 (a text message), the seq first.
  const log = new OutputLog(1024);
  log.append(bytes('é'));
  log.append(bytes('€'));
  const sent = [];
  const page = new PageConnection({ OPEN: 1, readyState: 1, send: (frame, options) => sent.push([frame, options]) });
  page.startAfter(0);
  page.pump(log);
  assert.deepEqual(sent.map(([frame, options]) => [isUtf8(frame), frame.toString(), options?.binary]), [[true, '2:é€', false]]);
});

test('frames join what is due, never missed output with live output, and stop at the bound on what is unconfirmed', () => {
  const sent = [];
  const socket = { OPEN: 1, readyState: 1, send: (text) => sent.push(parseServerMessage(text)) };
  const frames = () => sent.splice(0).map((m) => (m.type === 'output' ? `${m.seq}:${m.data.length}` : m.type));
  const log = new OutputLog(64 * MAX_FRAME_BYTES);
  const quarter = MAX_FRAME_BYTES / 4;
  for (let i = 0; i < 6; i++) log.append(bytes('m'.repeat(quarter))); // missed while away: 1..6

  const page = new PageConnection(socket);
  page.startAfter(1, log.lastSeq); // the page has 1: a resume up to 6
  for (let i = 0; i < 3; i++) log.append(bytes('l'.repeat(quarter))); // live: 7..9
  page.pump(log);
  assert.deepEqual(frames(), [`5:${MAX_FRAME_BYTES}`, `6:${quarter}`, 'resumed', `9:${3 * quarter}`]);

  // At most four frames, and four frames' worth, are on their way: output
  // beyond that waits, and goes out joined once the page confirms.
  assert.deepEqual([MAX_FRAMES_IN_FLIGHT, MAX_IN_FLIGHT_BYTES], [4, 4 * MAX_FRAME_BYTES]);
  const frame = (last) => `${last}:${MAX_FRAME_BYTES}`;
  for (let seq = 10; seq < 30; seq++) log.append(bytes('x'.repeat(quarter)));
  page.pump(log);
  assert.deepEqual(frames(), [frame(13)], 'a fourth frame, then the count holds it');
  page.acknowledge(9);
  page.pump(log);
  assert.deepEqual(frames(), [frame(17), frame(21), frame(25)], 'then the bytes hold it');
  page.acknowledge(25);
  page.pump(log);
  assert.deepEqual(frames(), [frame(29)]);
  assert.equal(page.caughtUp(log), true);

  // Output is sent as it is: text that looks like JSON or holds colons stays output.
  log.append(bytes('{"type":"exit"}:1\r\n'));
  page.acknowledge(log.lastSeq - 1);
  page.pump(log);
  assert.deepEqual(sent.splice(0), [{ type: 'output', seq: log.lastSeq, data: '{"type":"exit"}:1\r\n' }]);
});

test('the escape sequence left unfinished at the end of the output', () => {
  const cases = [
    ['', 'plain text', ''],
    // A typed character's echo, a line end: text, not a sequence.
    ['', 'i', ''],
    ['', 'x\r\n', ''],
    ['', 'red \x1b[31', '\x1b[31'],
    ['\x1b[31', ';1m done', ''],
    ['', '\x1b', '\x1b'],
    ['\x1b', '(', '\x1b('],
    ['\x1b(', 'B', ''],
    ['', 'title \x1b]0;half', '\x1b]0;half'],
    ['\x1b]0;half', ' and more', '\x1b]0;half and more'],
    ['\x1b]0;half', ' done\x07', ''],
    ['', '\x1bPq#0;2', '\x1bPq#0;2'],
    ['\x1bPq#0;2', '\x1b\\', ''],
    ['', '\x1b[12\x18', '']
  ];
  for (const [before, data, expected] of cases) {
    assert.equal(unfinishedSequence(before, data), expected, JSON.stringify([before, data]));
  }
});

/** Writes `data` to a fresh headless terminal; resolves with its screen's text and the cursor. */
function render(data, cols, rows) {
  const terminal = new Terminal({ cols, rows, allowProposedApi: true });
  return new Promise((resolve) => terminal.write(data, () => {
    const buffer = terminal.buffer.active;
    const lines = [];
    for (let i = 0; i < rows; i++) lines.push(buffer.getLine(buffer.viewportY + i).translateToString(true));
    resolve({ type: buffer.type, lines, cursor: [buffer.cursorX, buffer.cursorY] });
    terminal.dispose();
  }));
}

test('a snapshot rebuilds the alternate screen, and the output after it goes on from the same state', async () => {
  const mirror = new ScreenMirror(20, 4, 100);
  const messages = ['shell$ top\r\n', '\x1b[?1049h\x1b[H\x1b[2Jtop - 10:00\r\nPID CMD', ' red\x1b[3'];
  messages.forEach((data, index) => mirror.write(index + 1, bytes(data), () => {}));
  const snapshot = await mirror.snapshot();
  assert.equal(snapshot.seq, 3);
  assert.equal(mirror.alternateScreen, true);

  // The page: the snapshot, then the next message, which finishes a sequence begun before.
  const next = '1m!\x1b[m';
  mirror.write(4, bytes(next), () => {});
  const page = await render(snapshot.data + next, 20, 4);
  const direct = await render(messages.join('') + next, 20, 4);
  assert.deepEqual(page, direct);
  assert.equal(page.lines[1], 'PID CMD red!');
  mirror.dispose();
});

test('a mirror parses what it holds once the output pauses, without being asked', { timeout: 10000 }, async () => {
  const mirror = new ScreenMirror(20, 4, 100);
  const parsed = [];
  // More than a prompt and a few commands, which are parsed only when a page asks.
  const line = 'x'.repeat(8000);
  await new Promise((resolve) => {
    for (let seq = 1; seq <= 3; seq++) mirror.write(seq, bytes(`${line} ${seq}\r\n`), () => parsed.push(seq) === 3 && resolve());
  });
  assert.deepEqual(parsed, [1, 2, 3]);
  assert.equal(mirror.pendingBytes, 0);
  mirror.dispose();
});

test('output held by a mirror is parsed at the size it was written at, before a resize', async () => {
  const mirror = new ScreenMirror(10, 4, 100);
  mirror.write(1, bytes('\x1b[999CX'), () => {}); // X in the last column
  mirror.resize(20, 4);
  const screen = await render((await mirror.snapshot()).data, 20, 4);
  assert.equal(screen.lines[0], `${' '.repeat(9)}X`);
  mirror.dispose();
});

test('mirrors share one parser thread: each snapshot has its own output only, and every write is reported parsed, in order', async () => {
  const mirrors = [new ScreenMirror(20, 4, 100), new ScreenMirror(20, 4, 100)];
  const parsed = [[], []];
  for (let seq = 1; seq <= 300; seq++) {
    mirrors.forEach((mirror, index) => mirror.write(seq, bytes(`${'ab'[index]}${seq}\r\n`), () => parsed[index].push(seq)));
  }
  mirrors[1].resize(30, 5);
  const snapshots = await Promise.all(mirrors.map((mirror) => mirror.snapshot()));
  for (const [index, mirror] of mirrors.entries()) {
    assert.equal(snapshots[index].seq, 300);
    assert.deepEqual(parsed[index], Array.from({ length: 300 }, (_, i) => i + 1));
    assert.equal(mirror.pendingBytes, 0);
    const screen = await render(snapshots[index].data, mirror.cols, mirror.rows);
    assert.ok(screen.lines.includes(`${'ab'[index]}300`), screen.lines.join('|'));
    assert.ok(!snapshots[index].data.includes('ba'[index]), 'the other mirror\'s output');
    mirror.dispose();
  }
  assert.equal(mirrors[1].rows, 5);
});

/** What a snapshot of a 20x4 mirror with 10 lines of scrollback must be after `text`: a headless terminal fed all of it. */
async function direct(text) {
  const terminal = new Terminal({ cols: 20, rows: 4, scrollback: 10, allowProposedApi: true });
  const serializer = new SerializeAddon();
  terminal.loadAddon(serializer);
  await new Promise((resolve) => terminal.write(text, resolve));
  const screen = serializer.serialize({ scrollback: 10 }) + unfinishedSequence('', text);
  terminal.dispose();
  return screen;
}

test('plain text is told from the rest and its line feeds counted at any alignment; a flood cut in pieces keeps what cutting it whole keeps', () => {
  const { plainLineFeeds, plainTail, plainCut } = require('../lib/plain-text');
  const cases = [
    ['lines\r\nand\nmore\r\n', 3], ['tab\tbell\x07bs\b', 0], ['\u00e9 \u20ac \u{1f600} \u00a0\n', 1],
    ['\x1b[0m', -1], ['shift\x0eout', -1], ['del\x7f', -1], ['next line \u0085', -1], ['\x00', -1]
  ];
  const memory = Buffer.alloc(256);
  for (const [text, lineFeeds] of cases) {
    // Plain padding around it, the whole at each offset of a word: the four-byte path and the byte path.
    for (let offset = 0; offset < 8; offset++) {
      const data = bytes(`x\n${text}yz\n`);
      data.copy(memory, offset);
      const found = plainLineFeeds(memory.subarray(offset, offset + data.length));
      assert.equal(found, lineFeeds < 0 ? -1 : lineFeeds + 2, `${JSON.stringify(text)} at ${offset}`);
    }
  }
  // Lines with and without CR, cut into pieces anywhere (a piece may hold no line feed at all).
  const flood = bytes(Array.from({ length: 400 }, (_, i) => `${'='.repeat(i % 23)}${i}${i % 7 === 0 ? '\n' : '\r\n'}`).join(''));
  for (const size of [1, 5, 64, 333, 4096]) {
    const pieces = [];
    for (let at = 0; at < flood.length; at += size) pieces.push(flood.subarray(at, at + size));
    for (const lines of [10, 150, 398]) {
      const tail = plainTail(pieces, pieces.map(plainLineFeeds), lines);
      assert.deepEqual(tail, flood.subarray(plainCut(flood, lines)), `pieces of ${size}, ${lines} lines`);
    }
    assert.equal(plainTail(pieces, pieces.map(plainLineFeeds), 400), undefined, 'fewer lines than the screen keeps: nothing to cut');
  }
});

test('plain text that scrolls out of the scrollback is skipped by the mirror, leaving the same screen as parsing it all', async () => {
  const lines = (count, make) => Array.from({ length: count }, (_, i) => make(i)).join('\r\n');
  const ragged = (i) => `${'w'.repeat(i % 37)}\t${i}\b-`; // wraps at 20 columns, tabs, a backspace
  const cases = {
    'prompt, long output, prompt': ['$ cat log\r\n', lines(3000, ragged), '\r\n$ '],
    'cursor at the top of a cleared screen': ['\x1b[H\x1b[2J\x1b[31mred', lines(500, (i) => `${i}`), '\x1b[m!'],
    'insert mode': ['\x1b[4habcdefgh\r\n', lines(500, ragged), '\x1b[4l'],
    // The last row does not scroll: each line is written over the one before, long ones first.
    'scroll region, cursor below it': ['\x1b[1;2r\x1b[4;1H', lines(500, () => 'L'.repeat(19)), lines(100, () => 's')],
    'inside an unfinished title': ['\x1b]0;title ', lines(500, (i) => `${i}`), '\x07done'],
    'alternate screen': ['\x1b[?1049h', lines(500, ragged), '\r\nq']
  };
  for (const [name, parts] of Object.entries(cases)) {
    const mirror = new ScreenMirror(20, 4, 10);
    parts.forEach((data, index) => mirror.write(index + 1, bytes(data), () => {}));
    assert.equal((await mirror.snapshot()).data, await direct(parts.join('')), name);
    // Then more plain text, which the server's thread may cut itself once
    // the parser has caught up: long lines then bold short ones, then lines
    // without CR after the last CR LF.
    let written = parts;
    for (const more of [['\r\n', lines(300, () => 'M'.repeat(19)), '\x1b[1m\r\n', lines(100, () => 's')], [`x\r\n${Array(100).fill('ab').join('\n')}`]]) {
      more.forEach((data, index) => mirror.write(written.length + index + 1, bytes(data), () => {}));
      written = written.concat(more);
      assert.equal((await mirror.snapshot()).data, await direct(written.join('')), `${name}, then ${written.length} writes`);
    }
    mirror.dispose();
  }
});

test('a plain flood is cut on the server\'s thread as it comes: little of it waits for the parser, and the screen is the same', { timeout: 60000 }, async () => {
  const chunk = `\r\n${Array.from({ length: 4000 }, (_, i) => `${i}`.padEnd(15, '=')).join('\r\n')}`;
  for (const parsedFirst of [false, true]) {
    const mirror = new ScreenMirror(20, 4, 10);
    mirror.write(1, bytes('$ '), () => {});
    if (parsedFirst) await mirror.snapshot(); // the parser has said plain text may be cut
    let parsed = 0;
    for (let seq = 2; seq < 2 + 64; seq++) mirror.write(seq, bytes(chunk), () => { parsed += 1; });
    // 4 MiB written in one turn of the loop: the parser thread cannot have answered.
    assert.ok(mirror.pendingBytes < 1.5 * 1024 * 1024, `${mirror.pendingBytes} bytes wait for the parser (${parsedFirst})`);
    assert.ok(parsed >= 48, `${parsed} of 64 writes count as parsed`);
    assert.equal((await mirror.snapshot()).data, await direct(`$ ${chunk.repeat(64)}`));
    assert.equal(parsed, 64);
    mirror.dispose();
  }
});

test('what the parser says of a batch no longer holds once a later batch was not plain', { timeout: 60000 }, async () => {
  const lines = (count, make) => Array.from({ length: count }, (_, i) => make(i)).join('\r\n');
  const long = (letter) => lines(60000, () => letter.repeat(19)); // each over the 1 Mi bytes of a batch
  // Below a scroll region each line is written over the last: the short
  // lines leave the long ones' ends, which a cut would have lost.
  const parts = [`\x1b[m${long('A')}`, `\x1b[1;2r\x1b[4;1H${long('B')}`, `\r\n${long('C')}\r\n${lines(20000, () => 's')}`];
  const mirror = new ScreenMirror(20, 4, 10);
  mirror.write(1, bytes(parts[0]), () => {});
  mirror.write(2, bytes(parts[1]), () => {});
  // The parser's word on the first batch comes late, after the second was handed over.
  mirror.receive({ type: 'parsed', count: 0, batch: 1, skipsPlain: true, alternate: false });
  mirror.write(3, bytes(parts[2]), () => {});
  assert.equal((await mirror.snapshot()).data, await direct(parts.join('')));
  mirror.dispose();
});

test('a flood handed over in batches before the parser has caught up is cut only after batches that were all plain', { timeout: 60000 }, async () => {
  const lines = (count, make) => Array.from({ length: count }, (_, i) => make(i)).join('\r\n');
  // Each over the 1 Mi bytes that make a batch: long lines, then short ones.
  const batch = `${lines(50000, (i) => `${i % 1000}`.padEnd(19, '.'))}\r\n${lines(20000, () => 's')}`;
  const cases = {
    'plain, plain': [batch, `\r\n${batch}`],
    // The first batch ends setting a scroll region and moving below it, where
    // each line is written over the last: the next one must not be cut.
    'plain then a scroll region, plain': [`${batch}\x1b[1;2r\x1b[4;1H`, `\r\n${batch}`]
  };
  for (const [name, batches] of Object.entries(cases)) {
    const mirror = new ScreenMirror(20, 4, 10);
    mirror.write(1, bytes('$ '), () => {});
    await mirror.snapshot(); // the parser has said plain text may be cut
    batches.forEach((data, index) => mirror.write(index + 2, bytes(data), () => {}));
    assert.equal((await mirror.snapshot()).data, await direct(`$ ${batches.join('')}`), name);
    mirror.dispose();
  }
});
