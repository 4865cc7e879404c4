'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');

const { spawn } = require('..');
const { brokerPath, watch, endAll, pollUntil, blockedWritingStdout } = require('./support');

test.after(endAll);

const TIMEOUT = { timeout: 60000 };
const OUTPUT_BYTES = 4000000;

test('without the broker\'s window, pause() holds the program back through the broker\'s stdout', TIMEOUT, async () => {
  // The shell is the producer itself, so its pid is the one to watch block:
  // the broker stops reading the terminal while its stdout is not read.
  const terminal = spawn('head', ['-c', String(OUTPUT_BYTES), '/dev/zero'], { brokerPath, flowWindow: 0, encoding: null });
  const seen = watch(terminal);
  await terminal.ready;  // read through the stdout that pause() stops reading
  terminal.pause();
  const bytesAtPause = seen.bytes;
  await pollUntil(() => blockedWritingStdout(terminal.pid), 'the program to block on its terminal');
  assert.equal(seen.bytes, bytesAtPause, 'data events while paused');
  terminal.resume();
  await seen.waitForExit();
  assert.equal(terminal.flowControl, 'stream');
  assert.equal(seen.bytes, OUTPUT_BYTES);
});

test('with the broker\'s window, output is acknowledged and pause() stops the acknowledgements', TIMEOUT, async () => {
  const window = 16384;
  // The shell is the producer itself, so its pid is the one to watch block.
  const terminal = spawn('head', ['-c', String(OUTPUT_BYTES), '/dev/zero'], { brokerPath, flowWindow: window, encoding: null });
  const seen = watch(terminal);
  let paused = false;
  let bytesWhilePaused = 0;
  terminal.onData((bytes) => {
    if (paused) bytesWhilePaused += bytes.length;
    if (!paused && terminal.flowControl === 'window') {
      paused = true;
      terminal.pause();
    }
  });
  await pollUntil(async () => seen.exit || (paused && await blockedWritingStdout(terminal.pid)),
    'the shell to block on a paused window, or the end');
  assert.ok(paused, 'the broker never confirmed its flow-control window (no flow_control event)');
  assert.equal(bytesWhilePaused, 0, 'data events while paused');
  assert.ok(!(await blockedWritingStdout(terminal.brokerPid)), 'the window, not a full stdout, holds the broker');
  terminal.resume();
  // A client that stopped acknowledging would stall here, 16 KiB into 4 MB.
  assert.deepEqual(await seen.waitForExit(), { exitCode: 0, signal: 0, reason: 'exited' });
  assert.equal(seen.bytes, OUTPUT_BYTES);
  assert.ok(seen.chunks.every((chunk) => chunk.every((byte) => byte === 0)));
});

test('an application with pause and resume marks gets all of seq 1 1000000, in data events of at most 64 KiB', TIMEOUT, async (t) => {
  for (const flowWindow of [0, 262144]) await t.test(`flowWindow ${flowWindow}`, () => runMarksApplication(flowWindow));
});

async function runMarksApplication(flowWindow) {
  // As a browser terminal server does: pause above 2 MiB that its browser has
  // not confirmed, resume below 512 KiB; the browser confirms 256 KiB at a
  // time, and its confirmations come back through the event loop.
  const HIGH = 2 * 1048576;
  const LOW = 524288;
  const CONFIRM = 262144;
  const terminal = spawn('seq', ['1', '1000000'], { brokerPath, flowWindow });
  const seen = watch(terminal);
  let unconfirmed = 0;
  let received = 0;
  let confirmed = 0;
  let paused = false;
  let resuming = false;
  let duringResume = 0;
  let largest = 0;
  // The browser renders 4 KiB per timer tick, slower than output comes.
  const rendering = [];
  const renderNext = () => {
    for (let budget = 4096; budget > 0 && rendering.length > 0;) {
      const taken = Math.min(budget, rendering[0]);
      received += taken;
      budget -= taken;
      rendering[0] -= taken;
      if (rendering[0] === 0) rendering.shift();
    }
    while (received - confirmed >= CONFIRM) {
      confirmed += CONFIRM;
      setImmediate(onConfirm);
    }
    if (rendering.length > 0) setTimeout(renderNext, 0);
  };
  const browserReceives = (length) => {
    rendering.push(length);
    if (rendering.length === 1) setTimeout(renderNext, 0);
  };
  let pauses = 0;
  const onConfirm = () => {
    unconfirmed -= CONFIRM;
    if (paused && unconfirmed < LOW) {
      paused = false;
      resuming = true;
      terminal.resume();
      resuming = false;
    }
  };
  terminal.onData((data) => {
    if (resuming) duringResume += 1;
    largest = Math.max(largest, Buffer.byteLength(data));
    unconfirmed += data.length;
    browserReceives(data.length);
    if (!paused && unconfirmed > HIGH) {
      paused = true;
      pauses += 1;
      terminal.pause();
    }
  });
  assert.deepEqual(await seen.waitForExit(30000), { exitCode: 0, signal: 0, reason: 'exited' });
  assert.ok(pauses > 0, 'the application never paused');
  assert.equal(duringResume, 0, 'resume() delivered data before the event loop turned');
  assert.ok(largest <= 65536, `a data event of ${largest} bytes`);
  const lines = seen.text.split('\r\n');
  assert.equal(lines.length, 1000001);
  assert.equal(lines[999999], '1000000');
  assert.ok(lines.slice(0, -1).every((line, index) => line === String(index + 1)), 'lines lost or out of order');
}

test('kill() on a paused terminal, or destroy(), ends it: the output held back is dropped', TIMEOUT, async (t) => {
  const cases = [
    { name: 'paused, kill(), no window', flowWindow: 0, end: (terminal) => { terminal.pause(); terminal.kill(); } },
    { name: 'paused, kill(), window', flowWindow: 65536, end: (terminal) => { terminal.pause(); terminal.kill(); } },
    { name: 'destroy()', flowWindow: 262144, end: (terminal) => terminal.destroy() }
  ];
  for (const c of cases) {
    await t.test(c.name, async () => {
      const terminal = spawn('yes', [], { brokerPath, flowWindow: c.flowWindow });
      const seen = watch(terminal);
      let afterEnd = 0;
      let ended = false;
      terminal.onData(() => {
        if (ended) afterEnd += 1;
        if (!ended) {
          c.end(terminal);
          ended = true;
        }
      });
      assert.deepEqual(await seen.waitForExit(), { exitCode: 0, signal: 1, reason: 'signal:1' });
      assert.equal(afterEnd, 0);
    });
  }
});
