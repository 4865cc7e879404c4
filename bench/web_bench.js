'use strict';

// The browser terminal against a node-pty browser terminal built the simple
// way (bench/web_peer), in headless Chromium, side by side. Each round
// starts a fresh server and a fresh browser for each kind, the kinds
// alternating, and measures on one page of 1000x700:
//
//   idle     CPU of the browser's processes over a quiet stretch at the prompt
//   keys     keypress to the character in xterm.js's buffer, keys typed 40 to
//            60 ms apart (seeded, the same sequence for both kinds)
//   seq      `seq 1 1000000`: from the Enter key to its last line in the buffer
//   flood    `yes` for 1.5 s, then ^C: from the ^C key to the prompt in the buffer
//
//   node web_bench.js --broker PATH [--rounds N] [--keys N] [--idle SECONDS]
// Prints one JSON object: for each kind, the samples of every round.

const { spawn } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const ROOT = path.resolve(__dirname, '..');
const PROMPT = 'pr$ ';
const CHROMIUM = process.env.CHROMIUM_PATH || '/usr/bin/chromium';
const DEADLINE = 60000;

function parseArgs(argv) {
  const options = { broker: null, rounds: 3, keys: 60, idle: 10, seed: 1 };
  for (let i = 0; i < argv.length; i += 2) options[argv[i].replace(/^--/, '')] = argv[i + 1];
  for (const key of ['rounds', 'keys', 'idle', 'seed']) options[key] = Number(options[key]);
  if (!options.broker) throw new Error('usage: web_bench.js --broker PATH [--rounds N] [--keys N] [--idle S]');
  return options;
}

/** A small seeded generator (mulberry32), so both kinds get the same keys and gaps. */
function random(seed) {
  let state = seed >>> 0;
  return () => {
    state = (state + 0x6d2b79f5) >>> 0;
    let t = state;
    t = Math.imul(t ^ (t >>> 15), t | 1);
    t ^= t + Math.imul(t ^ (t >>> 7), t | 61);
    return ((t ^ (t >>> 14)) >>> 0) / 4294967296;
  };
}

/** Starts a server; resolves with the process and the page address it prints. */
function startServer(kind, broker) {
  const env = { ...process.env, PS1: PROMPT };
  delete env.TERMINAL_STREAM_SHELL_CMD_JSON;
  const command = kind === 'peer'
    ? [path.join(__dirname, 'web_peer', 'server.js'), '--port', '0', '--', 'sh']
    : [path.join(ROOT, 'web', 'server.js'), '--broker', broker, '--port', '0', '--', 'sh'];
  const child = spawn(process.execPath, command, { env, stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let text = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      text += chunk;
      const url = text.match(/(http:\/\/\S+)/);
      if (url) resolve({ child, url: url[1] });
    });
    child.on('exit', (code) => reject(new Error(`${kind} server exited with ${code}`)));
  });
}

/** The pids of every process below `root`. */
function processesBelow(root) {
  const parents = new Map();
  for (const entry of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(entry)) continue;
    try {
      const stat = fs.readFileSync(`/proc/${entry}/stat`, 'utf8');
      parents.set(Number(entry), Number(stat.slice(stat.lastIndexOf(')') + 2).split(' ')[1]));
    } catch {
      // gone meanwhile
    }
  }
  const below = (pid) => {
    for (let p = pid; p > 1; p = parents.get(p)) if (p === root) return true;
    return false;
  };
  return [...parents.keys()].filter((pid) => pid !== root && below(pid));
}

/**
 * CPU time in nanoseconds of the browser's threads (Chromium and its
 * children), by thread. Read from schedstat, which counts every nanosecond
 * a thread ran: the user and system times of stat are sampled at the clock
 * tick (10 ms), too coarse for a page that idles at 1% of a core.
 */
function browserThreadsNs() {
  const result = new Map();
  const read = (file) => {
    try {
      return fs.readFileSync(file, 'utf8');
    } catch {
      return null; // gone meanwhile
    }
  };
  for (const pid of processesBelow(process.pid)) {
    if (!read(`/proc/${pid}/comm`)?.startsWith('chrom')) continue;
    let threads = [];
    try {
      threads = fs.readdirSync(`/proc/${pid}/task`);
    } catch {
      continue; // gone meanwhile
    }
    for (const tid of threads) {
      const ran = read(`/proc/${pid}/task/${tid}/schedstat`);
      if (ran !== null) result.set(tid, Number(ran.split(' ')[0]));
    }
  }
  return result;
}

async function idleCpu(seconds) {
  const before = browserThreadsNs();
  const started = process.hrtime.bigint();
  await new Promise((resolve) => setTimeout(resolve, seconds * 1000));
  const after = browserThreadsNs();
  const elapsed = Number(process.hrtime.bigint() - started);
  let used = 0;
  for (const [tid, ran] of after) used += ran - (before.get(tid) || 0);
  return (used / elapsed) * 100; // % of one core
}

/** Installs the page-side probes: key times, and checks after each parse. */
function installProbes(page) {
  return page.evaluate(() => {
    const probe = { keys: [], results: [], watch: null, lineText: null };
    window.benchProbe = probe;
    const terminal = window.terminal;
    const cursorLine = () => {
      const buffer = terminal.buffer.active;
      return buffer.getLine(buffer.baseY + buffer.cursorY)?.translateToString(true) ?? '';
    };
    probe.lineText = cursorLine;
    window.addEventListener('keydown', (event) => {
      if (event.key.length === 1 && !event.ctrlKey) probe.keys.push({ key: event.key, at: performance.now() });
    }, true);
    terminal.onWriteParsed(() => {
      if (probe.watch) probe.watch(performance.now());
    });
  });
}

async function waitPage(page, predicate, arg, what) {
  try {
    await page.waitForFunction(predicate, arg, { timeout: DEADLINE, polling: 20 });
  } catch (error) {
    const screen = await page.evaluate(() => {
      const buffer = window.terminal?.buffer.active;
      if (!buffer) return '(no terminal)';
      const lines = [];
      for (let i = 0; i < buffer.length; i++) lines.push(buffer.getLine(i).translateToString(true));
      return lines.join('\n').trimEnd().slice(-300);
    }).catch(() => '(page gone)');
    throw new Error(`timed out waiting for ${what}; screen ends with ${JSON.stringify(screen)}: ${error.message}`);
  }
}

/** Types `count` keys with seeded gaps; the keypress-to-buffer times, ms. */
async function typing(page, count, seed) {
  const next = random(seed);
  const letters = 'abcdefghijklmnopqrstuvwxyz';
  await page.evaluate((prompt) => {
    const probe = window.benchProbe;
    probe.typed = '';
    probe.keys = [];
    probe.results = [];
    probe.prompt = prompt;
    // A key has arrived once the cursor's line shows the prompt and every
    // key typed up to it.
    probe.watch = (at) => {
      const line = probe.lineText();
      while (probe.results.length < probe.keys.length) {
        const upTo = probe.typed.slice(0, probe.results.length + 1);
        if (!line.startsWith(probe.prompt + upTo)) break;
        probe.results.push(at - probe.keys[probe.results.length].at);
      }
    };
  }, PROMPT);
  let onLine = 0;
  for (let i = 0; i < count; i++) {
    if (onLine === 40) {
      // Clear the line (the terminal's kill character) and start again.
      await page.keyboard.press('Control+u');
      await waitPage(page, (p) => window.benchProbe.lineText().trimEnd() === p.trimEnd(), PROMPT, 'the cleared line');
      await page.evaluate(() => {
        const probe = window.benchProbe;
        probe.done = (probe.done || []).concat(probe.results);
        probe.typed = '';
        probe.keys = [];
        probe.results = [];
      });
      onLine = 0;
    }
    const key = letters[Math.floor(next() * letters.length)];
    await page.evaluate((k) => { window.benchProbe.typed += k; }, key);
    await page.keyboard.press(key);
    onLine++;
    await page.waitForTimeout(40 + next() * 20);
  }
  await waitPage(page, () => window.benchProbe.results.length === window.benchProbe.keys.length, null, 'the last key');
  const samples = await page.evaluate(() => (window.benchProbe.done || []).concat(window.benchProbe.results));
  await page.keyboard.press('Control+u');
  await waitPage(page, (p) => window.benchProbe.lineText().trimEnd() === p.trimEnd(), PROMPT, 'the cleared line');
  return samples;
}

/** `seq 1 1000000`: from Enter to its last line in the buffer, ms. */
async function million(page) {
  await page.keyboard.type('seq 1 1000000');
  await waitPage(page, () => window.benchProbe.lineText().trimEnd().endsWith('seq 1 1000000'), null, 'the command line');
  await page.evaluate(() => {
    const probe = window.benchProbe;
    probe.lastLineAt = null;
    probe.watch = (at) => {
      const buffer = window.terminal.buffer.active;
      const row = buffer.baseY + buffer.cursorY;
      for (let y = Math.max(0, row - 2); y <= row; y++) {
        if (buffer.getLine(y)?.translateToString(true) === '1000000') {
          probe.lastLineAt = at;
          probe.watch = null;
          return;
        }
      }
    };
    probe.enterAt = null;
    window.addEventListener('keydown', (event) => {
      if (event.key === 'Enter' && probe.enterAt === null) probe.enterAt = performance.now();
    }, true);
  });
  await page.keyboard.press('Enter');
  await waitPage(page, () => window.benchProbe.lastLineAt !== null, null, 'the last line of seq');
  return page.evaluate(() => window.benchProbe.lastLineAt - window.benchProbe.enterAt);
}

/** `yes` for a while, then ^C: from the ^C key to the prompt back in the buffer, ms. */
async function interrupt(page) {
  await page.keyboard.type('yes');
  await waitPage(page, () => window.benchProbe.lineText().trimEnd().endsWith('yes'), null, 'the command line');
  await page.keyboard.press('Enter');
  await waitPage(page, () => {
    const buffer = window.terminal.buffer.active;
    return buffer.getLine(buffer.baseY + buffer.cursorY - 1)?.translateToString(true) === 'y';
  }, null, 'the flood');
  await page.waitForTimeout(1500);
  await page.evaluate((prompt) => {
    const probe = window.benchProbe;
    probe.promptAt = null;
    probe.interruptAt = null;
    window.addEventListener('keydown', (event) => {
      if (event.ctrlKey && event.key === 'c' && probe.interruptAt === null) probe.interruptAt = performance.now();
    }, true);
    probe.watch = (at) => {
      if (probe.interruptAt !== null && probe.lineText().trimEnd() === prompt.trimEnd()) {
        probe.promptAt = at;
        probe.watch = null;
      }
    };
  }, PROMPT);
  await page.keyboard.press('Control+c');
  await waitPage(page, () => window.benchProbe.promptAt !== null, null, 'the prompt after ^C');
  return page.evaluate(() => window.benchProbe.promptAt - window.benchProbe.interruptAt);
}

async function round(kind, options, seed) {
  const { child, url } = await startServer(kind, options.broker);
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-bench-chromium-'));
  let context;
  try {
    context = await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM,
      headless: true,
      viewport: { width: 1000, height: 700 },
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync']
    });
    const page = context.pages()[0] || await context.newPage();
    const opened = Date.now();
    await page.goto(url);
    await waitPage(page, (p) => window.terminal && window.terminal.buffer.active.getLine(
      window.terminal.buffer.active.baseY + window.terminal.buffer.active.cursorY)
      ?.translateToString(true).trimEnd() === p.trimEnd(), PROMPT, 'the first prompt');
    const firstPrompt = Date.now() - opened;
    await installProbes(page);
    await page.click('body');
    await page.waitForTimeout(1000);
    const idle = await idleCpu(options.idle);
    const keys = await typing(page, options.keys, seed);
    const seq = await million(page);
    const flood = await interrupt(page);
    return { firstPrompt, idle, keys, seq, flood };
  } finally {
    await context?.close();
    child.kill();
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

// Chromium drops what it is loading when it sees the machine's network
// change (ERR_NETWORK_CHANGED, even for 127.0.0.1): a page that lost its own
// scripts that way never shows a prompt. Such a round is run again from the
// start, so that its figures come from a page that loaded as it should.
async function roundAgainIfCutOff(kind, options, seed) {
  for (let attempt = 1; ; attempt++) {
    try {
      return await round(kind, options, seed);
    } catch (error) {
      if (attempt === 3 || !/the first prompt/.test(error.message)) throw error;
      console.error(`... ${kind}: the page did not load (${error.message.slice(0, 80)}), again`);
    }
  }
}

async function main() {
  const options = parseArgs(process.argv.slice(2));
  const results = { peer: [], web: [] };
  for (let r = 0; r < options.rounds; r++) {
    for (const kind of r % 2 === 0 ? ['web', 'peer'] : ['peer', 'web']) {
      const result = await roundAgainIfCutOff(kind, options, options.seed + r);
      results[kind].push(result);
      const sorted = [...result.keys].sort((a, b) => a - b);
      console.error(`... web ${r + 1}/${options.rounds} ${kind}: keys p50 ${sorted[sorted.length >> 1].toFixed(1)} ms, ` +
        `idle ${result.idle.toFixed(2)}% of a core, seq ${result.seq.toFixed(0)} ms, ^C ${result.flood.toFixed(0)} ms`);
    }
  }
  process.stdout.write(JSON.stringify(results) + '\n');
}

main().catch((error) => {
  console.error(error);
  process.exit(1);
});
