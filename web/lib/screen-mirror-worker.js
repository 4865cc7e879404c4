'use strict';

// The screen mirrors' parser: every ScreenMirror of the process has its
// headless terminal here, on a thread of its own, so that parsing a
// session's output a second time does not hold up the thread that relays it.
// Messages from the mirrors come in the order they were sent (per thread),
// so a snapshot or a resize sees exactly what was written before it.

const fs = require('node:fs');
const os = require('node:os');
const { parentPort } = require('node:worker_threads');
const { Terminal } = require('@xterm/headless');
const { SerializeAddon } = require('@xterm/addon-serialize');
const { unfinishedSequence } = require('./screen-mirror');

// The mirrors are for a page that comes back; the page that is here comes
// first. On a busy machine (a flood of output, the browser on the same
// cores) this thread yields: it lowers its own priority (Linux takes a
// thread's id where a process id would go), and catches up when the cores
// are free. How far it may fall behind is bounded (terminal-session.js).
lowerPriority(19);

function lowerPriority(niceness) {
  try {
    const threadId = Number(fs.readlinkSync('/proc/thread-self').split('/').pop());
    os.setPriority(threadId, niceness);
  } catch {
    // No /proc or not allowed: the mirror parses at the server's priority.
  }
}

/** @type {Map<number, { terminal: Terminal, serializer: SerializeAddon, scrollback: number, parsedSeq: number, unfinished: string }>} */
const mirrors = new Map();

// Parsed output messages per mirror, reported once per batch that xterm.js
// parses rather than once per write.
/** @type {Map<number, number>} */
const parsed = new Map();
let reportScheduled = false;

function alternate(mirror) {
  return mirror.terminal.buffer.active.type === 'alternate';
}

function report() {
  reportScheduled = false;
  for (const [id, count] of parsed) {
    const mirror = mirrors.get(id);
    if (mirror) parentPort.postMessage({ type: 'parsed', id, count, alternate: alternate(mirror) });
  }
  parsed.clear();
}

parentPort.on('message', (message) => {
  if (message.type === 'heap') {
    global.gc?.();
    const { heapUsed, external } = process.memoryUsage();
    parentPort.postMessage({ type: 'heap', bytes: heapUsed + external });
    return;
  }
  const { id } = message;
  if (message.type === 'create') {
    const terminal = new Terminal({
      cols: message.cols, rows: message.rows, scrollback: message.scrollback, allowProposedApi: true,
    });
    const serializer = new SerializeAddon();
    terminal.loadAddon(serializer);
    mirrors.set(id, { terminal, serializer, scrollback: message.scrollback, parsedSeq: 0, unfinished: '' });
    return;
  }
  const mirror = mirrors.get(id);
  if (!mirror) return;
  if (message.type === 'write') {
    const { seq, count, data } = message;
    mirror.terminal.write(data, () => {
      mirror.parsedSeq = seq;
      mirror.unfinished = unfinishedSequence(mirror.unfinished, data);
      parsed.set(id, (parsed.get(id) ?? 0) + count);
      if (!reportScheduled) {
        reportScheduled = true;
        queueMicrotask(report);
      }
    });
  } else if (message.type === 'resize') {
    // xterm.js parses writes later: the size changes once those before it are parsed.
    mirror.terminal.write('', () => mirror.terminal.resize(message.cols, message.rows));
  } else if (message.type === 'snapshot') {
    mirror.terminal.write('', () => {
      report(); // the writes before it are reported before it is
      const screen = mirror.serializer.serialize({ scrollback: mirror.scrollback });
      parentPort.postMessage({
        type: 'snapshot', id, request: message.request,
        seq: mirror.parsedSeq, data: screen + mirror.unfinished, alternate: alternate(mirror),
      });
    });
  } else if (message.type === 'dispose') {
    mirrors.delete(id);
    parsed.delete(id);
    mirror.terminal.dispose();
  }
});
