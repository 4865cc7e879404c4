'use strict';

// What the browser terminal's tests share: the broker to run, a headless
// chromium, and reading xterm.js's screen.

const fs = require('fs');
const os = require('os');
const path = require('path');
const { chromium } = require('playwright-core');

const brokerPath = path.resolve(process.env.TERMINAL_STREAM_BROKER ||
  path.join(__dirname, '../../build/release/terminal-stream-broker'));
const chromiumPath = process.env.CHROMIUM_PATH || '/usr/bin/chromium';
const DEADLINE = 20000;
const PROMPT = 'web$';

/** Options of a server whose shells are `sh` with a prompt the tests know. */
function serverOptions(extra = {}) {
  return {
    port: 0,
    shell: ['sh'],
    spawnOptions: { brokerPath, env: { ...process.env, PS1: `${PROMPT} ` } },
    ...extra
  };
}

/** A headless chromium with a fresh profile; close() removes the profile. */
async function launchBrowser() {
  const profileDir = fs.mkdtempSync(path.join(os.tmpdir(), 'tsb-chromium-'));
  const context = await chromium.launchPersistentContext(profileDir, {
    executablePath: chromiumPath,
    headless: true,
    viewport: { width: 900, height: 500 },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync']
  });
  context.on('page', reloadWhenCutOff);
  return {
    context,
    async close() {
      await context.close();
      fs.rmSync(profileDir, { recursive: true, force: true });
    }
  };
}

/**
 * Chromium drops what it is loading when it sees the machine's network
 * change (ERR_NETWORK_CHANGED, even for 127.0.0.1), as other work on a
 * shared machine makes it do: a page that lost one of its own files that
 * way would wait for ever, so it is loaded again, as a person would. A
 * page.goto whose document is dropped so is tried again (it would throw).
 * @param {import('playwright-core').Page} page
 */
function reloadWhenCutOff(page) {
  let reloading = false;
  let cutOffAgain = false;
  let navigating = false;
  const goto = page.goto.bind(page);
  page.goto = async (url, options) => {
    navigating = true;
    try {
      // After a cut-off, Chromium's error page may still interrupt the next
      // try: it is given a moment to come first.
      let cutOff = /net::ERR_NETWORK_CHANGED/;
      for (let attempt = 1; ; attempt++) {
        try {
          return await goto(url, options);
        } catch (error) {
          if (attempt === 5 || !cutOff.test(String(error?.message))) throw error;
          cutOff = /net::ERR_NETWORK_CHANGED|interrupted by another navigation/;
          await new Promise((resolve) => setTimeout(resolve, 200));
        }
      }
    } finally {
      navigating = false;
    }
  };
  const reload = () => {
    reloading = true;
    cutOffAgain = false;
    page.reload().catch(() => {}).finally(() => {
      reloading = false;
      if (cutOffAgain) reload();
    });
  };
  page.on('requestfailed', (request) => {
    const cutOff = request.failure()?.errorText === 'net::ERR_NETWORK_CHANGED' &&
      ['document', 'script', 'stylesheet'].includes(request.resourceType());
    if (!cutOff || (navigating && request.isNavigationRequest())) return;
    if (reloading) cutOffAgain = true;
    else reload();
  });
}

/** The text of xterm.js's active buffer, one line per row, trailing blanks cut. */
function screenText(page) {
  return page.evaluate(() => {
    const buffer = window.terminal.buffer.active;
    const lines = [];
    for (let i = 0; i < buffer.length; i++) lines.push(buffer.getLine(i).translateToString(true));
    return lines.join('\n').trimEnd();
  });
}

/**
 * Polls `probe` until `condition` holds of its value; throws with `what` and
 * the last value after the deadline. A probe that throws is tried again (a
 * page being loaded again has no screen for a moment).
 */
async function waitFor(probe, condition, what) {
  const deadline = Date.now() + DEADLINE;
  let value;
  while (Date.now() < deadline) {
    try {
      value = await probe();
      if (condition(value)) return value;
    } catch (error) {
      value = error;
    }
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
  throw new Error(`timed out waiting for ${what}; last seen: ${JSON.stringify(String(value).slice(-300))}`);
}

const waitForScreen = (page, condition, what) => waitFor(() => screenText(page), condition, what);
const waitForStatus = (page, condition, what) => waitFor(() => page.textContent('#status'), condition, what);
const endsWithPrompt = (text) => text.endsWith(PROMPT);

async function typeLine(page, line) {
  await page.keyboard.type(line);
  await page.keyboard.press('Enter');
}

/** Whether a process is there (a zombie is not). */
function processAlive(pid) {
  try {
    return !/^\d+ \(.*\) Z/s.test(fs.readFileSync(`/proc/${pid}/stat`, 'utf8'));
  } catch {
    return false;
  }
}

module.exports = {
  brokerPath, DEADLINE, PROMPT, serverOptions, launchBrowser, screenText, waitFor, waitForScreen,
  waitForStatus, endsWithPrompt, typeLine, processAlive
};
