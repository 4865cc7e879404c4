'use strict';

const childProcess = require('child_process');
const fs = require('fs');
const path = require('path');
const { setTimeout: delay } = require('timers/promises');

const brokerPath = path.resolve(process.env.TERMINAL_STREAM_BROKER ||
  path.join(__dirname, '../../../build/release/terminal-stream-broker'));
// The client finds the broker through this process's environment, as a
// program that moved over from node-pty would have it.
process.env.TERMINAL_STREAM_BROKER = brokerPath;

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
  while (!(await condition())) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await delay(20);
  }
}

/** The first fields of /proc/PID/syscall: the system call a blocked thread is in, and its first argument. */
function blockedCall(pid) {
  try {
    return fs.readFileSync(`/proc/${pid}/syscall`, 'utf8').split(' ').slice(0, 2).join(' ');
  } catch {
    return undefined;
  }
}

let writeToStdout;

/**
 * What /proc/PID/syscall shows for a write to standard output, learnt from a
 * program that blocks on a pipe nobody reads: the number of write differs
 * from one architecture to another.
 */
async function blockedWriteToStdout() {
  if (writeToStdout) return writeToStdout;
  const writer = childProcess.spawn('head', ['-c', '10000000', '/dev/zero'], { stdio: ['ignore', 'pipe', 'ignore'] });
  writer.stdout.pause();
  try {
    await pollUntil(() => /^\d+ 0x1$/.test(blockedCall(writer.pid) ?? ''), 'a writer blocked on a full pipe');
    writeToStdout = blockedCall(writer.pid);
    return writeToStdout;
  } finally {
    writer.kill('SIGKILL');
  }
}

/** True while the process's main thread is blocked writing to its standard output. */
async function blockedWritingStdout(pid) {
  const expected = await blockedWriteToStdout();
  return blockedCall(pid) === expected;
}

module.exports = { brokerPath, watch, endAll, pollUntil, blockedWritingStdout };
