'use strict';

const fs = require('fs');
const path = require('path');
const { setTimeout: delay } = require('timers/promises');

const brokerPath = path.resolve(process.env.TERMINAL_STREAM_BROKER ||
  path.join(__dirname, '../../../build/release/terminal-stream-broker'));

/**
 * Records what a terminal prints and how it ends; the waits fail with the
 * output seen so far when their deadline passes.
 */
const watched = new Set();

function watch(terminal) {
  watched.add(terminal);
  const seen = { text: '', bytes: 0, chunks: [], errors: [], exit: undefined };
  const waiters = new Set();
  const wake = () => { for (const waiter of waiters) waiter(); };
  terminal.onData((data) => {
    seen.chunks.push(data);
    seen.bytes += Buffer.byteLength(data);
    if (typeof data === 'string') seen.text += data;
    wake();
  });
  terminal.onError((error) => { seen.errors.push(error.message); wake(); });
  terminal.onExit((event) => { seen.exit = event; watched.delete(terminal); wake(); });

  function waitUntil(condition, what, timeoutMs = 15000) {
    return new Promise((resolve, reject) => {
      const check = () => {
        if (!condition()) return;
        waiters.delete(check);
        clearTimeout(timer);
        resolve();
      };
      const timer = setTimeout(() => {
        waiters.delete(check);
        reject(new Error(`timed out waiting for ${what}; output so far: ${JSON.stringify(seen.text.slice(-500))}`));
      }, timeoutMs);
      waiters.add(check);
      check();
    });
  }

  seen.waitForText = (pattern, timeoutMs) => waitUntil(() => pattern.test(seen.text), String(pattern), timeoutMs);
  seen.waitForExit = (timeoutMs) => waitUntil(() => seen.exit !== undefined, 'the exit event', timeoutMs)
    .then(() => seen.exit);
  return seen;
}

/** Kills the shells that a failed test left running, which would keep the test process alive. */
function endAll() {
  for (const terminal of watched) terminal.kill('SIGKILL');
}

/** Polls a condition that no event announces (a process state in /proc) until a deadline. */
async function pollUntil(condition, what, timeoutMs = 15000) {
  const deadline = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await delay(20);
  }
}

/** True while the process's main thread is blocked writing to its standard output. */
function blockedWritingStdout(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/syscall`, 'utf8').startsWith('1 0x1 ');
  } catch {
    return false;
  }
}

module.exports = { brokerPath, watch, endAll, pollUntil, blockedWritingStdout };
