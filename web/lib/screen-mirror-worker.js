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
const { plainPieces, plainCut } = require('./plain-text');
const { mirrorScrollback } = require('./terminal-size');

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

/**
 * @typedef {object} Mirror
 * @property {Terminal} terminal
 * @property {SerializeAddon} serializer
 * @property {number} scrollback
 * @property {number} parsedSeq
 * @property {number} parsedBatch the last batch of output (a write message) parsed whole
 * @property {string} unfinished the escape sequence the output so far leaves open
 * @property {((done: () => void) => void)[]} steps what is still to do, in order
 * @property {boolean} busy whether a step is under way
 */
/** @type {Map<number, Mirror>} */
const mirrors = new Map();
const utf8 = new TextDecoder();

// Parsed output messages per mirror, reported once per batch that xterm.js
// parses rather than once per write, with the state the last batch parsed
// left (the next may have begun by the time of the report).
/** @type {Map<number, { count: number, batch: number, skipsPlain: boolean, alternate: boolean }>} */
const parsed = new Map();
let reportScheduled = false;

function alternate(mirror) {
  return mirror.terminal.buffer.active.type === 'alternate';
}

function report() {
  reportScheduled = false;
  for (const [id, state] of parsed) {
    if (mirrors.has(id)) parentPort.postMessage({ type: 'parsed', id, ...state });
  }
  parsed.clear();
}

function countParsed(mirror, count) {
  const { id } = mirror;
  const earlier = parsed.get(id)?.count ?? 0;
  parsed.set(id, { count: earlier + count, batch: mirror.parsedBatch, skipsPlain: skipsPlain(mirror), alternate: alternate(mirror) });
  if (!reportScheduled) {
    reportScheduled = true;
    queueMicrotask(report);
  }
}

/**
 * A mirror's steps run one after the other, each once the one before is
 * parsed: whether plain text may be skipped depends on the state that all
 * output before it has left.
 */
function addStep(mirror, step) {
  mirror.steps.push(step);
  if (!mirror.busy) nextStep(mirror);
}

function nextStep(mirror) {
  const step = mirror.steps.shift();
  mirror.busy = step !== undefined;
  if (step && mirrors.has(mirror.id)) step(() => nextStep(mirror));
}

function writeText(mirror, text, done) {
  mirror.unfinished = unfinishedSequence(mirror.unfinished, text);
  if (text) mirror.terminal.write(text, done);
  else done();
}

/** Writes one part of the output: plain runs long enough to leave the scrollback are cut short. */
function writePart(mirror, text) {
  const lines = 2 * mirror.terminal.rows + mirror.scrollback;
  for (const piece of plainPieces(text, 2 * lines)) {
    addStep(mirror, (done) => {
      if (typeof piece === 'string') writeText(mirror, piece, done);
      else writeText(mirror, piece.plain.slice(skipsPlain(mirror) ? plainCut(piece.plain, lines) : 0), done);
    });
  }
}

/**
 * Whether plain text that follows now may lose its beginning: the parser is
 * in its ground state and the scroll region is the whole screen, so the
 * text scrolls whole lines up through the screen and, with enough of them,
 * out of the scrollback, leaving no trace but the lines that follow.
 * The scroll region is not in xterm.js's public interface: without it,
 * nothing is skipped.
 */
function skipsPlain(mirror) {
  const buffer = mirror.terminal._core?.buffer;
  return mirror.unfinished === '' && buffer?.scrollTop === 0 && buffer?.scrollBottom === mirror.terminal.rows - 1;
}

// The scrollback shrinks before the screen widens, so that the lines beyond
// the bound are never made at the new width.
function resize(mirror, cols, rows) {
  const { terminal } = mirror;
  const scrollback = mirrorScrollback(mirror.scrollback, cols, rows);
  if (scrollback < terminal.options.scrollback) terminal.options.scrollback = scrollback;
  terminal.resize(cols, rows);
  terminal.options.scrollback = scrollback;
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
    const { cols, rows } = message;
    const terminal = new Terminal({
      cols, rows, scrollback: mirrorScrollback(message.scrollback, cols, rows), allowProposedApi: true,
    });
    const serializer = new SerializeAddon();
    terminal.loadAddon(serializer);
    mirrors.set(id, { id, terminal, serializer, scrollback: message.scrollback, parsedSeq: 0, parsedBatch: 0, unfinished: '', steps: [], busy: false });
    return;
  }
  const mirror = mirrors.get(id);
  if (!mirror) return;
  if (message.type === 'write') {
    const { seq, count, parts, batch } = message;
    for (const part of parts) {
      // Whole UTF-8 characters (the server cuts its output so): decoded here, off the server's thread.
      if (part instanceof Uint8Array) writePart(mirror, utf8.decode(part));
      else addStep(mirror, (done) => { resize(mirror, part.cols, part.rows); done(); });
    }
    addStep(mirror, (done) => {
      mirror.parsedSeq = seq;
      mirror.parsedBatch = batch;
      countParsed(mirror, count);
      done();
    });
  } else if (message.type === 'snapshot') {
    addStep(mirror, (done) => {
      report(); // the writes before it are reported before it is
      const screen = mirror.serializer.serialize({ scrollback: mirror.scrollback });
      parentPort.postMessage({
        type: 'snapshot', id, request: message.request,
        seq: mirror.parsedSeq, data: screen + mirror.unfinished, alternate: alternate(mirror),
      });
      done();
    });
  } else if (message.type === 'dispose') {
    mirrors.delete(id);
    parsed.delete(id);
    mirror.terminal.dispose();
  }
});
