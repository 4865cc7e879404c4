#!/usr/bin/env node
'use strict';

// Starts the browser terminal: `node server.js [--host H] [--port P] [--broker PATH]
// [--launcher CMD ARGS... -- | --targets FILE] [-- SHELL ARGS...]`.

const { parseArgs } = require('util');
const { WebTerminalServer } = require('./lib/web-terminal-server');
const { isLoopback } = require('./lib/access-check');
const { localTargets, launcherTargets, readTargetsFile, takeLauncherOption } = require('./lib/targets');

const usage = 'usage: node server.js [--host 127.0.0.1] [--port 8022] [--broker PATH] [--origin URL]...\n' +
  '                      [--grace SECONDS] [--max-detached N] [--max-sessions N] [--max-viewers N]\n' +
  '                      [--record DIR [--record-input] [--record-limit SIZE]]\n' +
  '                      [--launcher CMD ARG... -- | --targets FILE] [-- SHELL ARG...]';

function usageError(message) {
  console.error(`terminal-stream-web: ${message}\n${usage}`);
  process.exit(2);
}

/** Where sessions run: here, through one launcher, or at the targets a file names. */
function readTargets(launcher, targetsFile) {
  if (launcher && targetsFile) usageError('--launcher and --targets exclude each other');
  try {
    if (launcher) return launcherTargets(launcher);
    if (targetsFile) return readTargetsFile(targetsFile);
  } catch (error) {
    usageError(error.message);
  }
  return localTargets();
}

/** Bytes: digits, optionally followed by K, M or G (powers of 1024); undefined when it is not one. */
function byteSize(text) {
  const match = /^(\d+)([KMG]?)$/i.exec(text);
  if (!match) return undefined;
  return Number(match[1]) * 1024 ** ' KMG'.indexOf(match[2].toUpperCase() || ' ');
}

function readOptions(argv) {
  let taken;
  try {
    taken = takeLauncherOption(argv);
  } catch (error) {
    usageError(error.message);
  }
  const { values, positionals } = parseArgs({
    args: taken.rest,
    allowPositionals: true,
    options: {
      host: { type: 'string', default: '127.0.0.1' },
      port: { type: 'string', default: '8022' },
      broker: { type: 'string' },
      origin: { type: 'string', multiple: true, default: [] },
      grace: { type: 'string', default: '300' },
      'max-detached': { type: 'string', default: '16' },
      'max-sessions': { type: 'string', default: '32' },
      'max-viewers': { type: 'string', default: '16' },
      targets: { type: 'string' },
      record: { type: 'string' },
      'record-input': { type: 'boolean', default: false },
      'record-limit': { type: 'string', default: '100M' },
      help: { type: 'boolean', short: 'h' }
    }
  });
  const port = Number(values.port);
  const graceSeconds = Number(values.grace);
  const maxDetached = Number(values['max-detached']);
  const maxSessions = Number(values['max-sessions']);
  const maxViewers = Number(values['max-viewers']);
  const recordLimit = byteSize(values['record-limit']);
  if (!values.record && (values['record-input'] || values['record-limit'] !== '100M')) usageError('--record-input and --record-limit need --record DIR');
  if (recordLimit === undefined || (recordLimit > 0 && recordLimit < 1024)) usageError('--record-limit needs a size of at least 1K, or 0 for none: bytes, or a number with K, M or G');
  const valid = Number.isInteger(port) && port >= 0 && port <= 65535 &&
    Number.isFinite(graceSeconds) && graceSeconds >= 0 && Number.isInteger(maxDetached) && maxDetached >= 0 &&
    Number.isInteger(maxSessions) && maxSessions >= 1 && Number.isInteger(maxViewers) && maxViewers >= 0;
  if (values.help || !valid) {
    (values.help ? console.log : console.error)(usage);
    process.exit(values.help ? 0 : 2);
  }
  return {
    host: values.host,
    port,
    origins: values.origin,
    graceSeconds,
    maxDetached,
    maxSessions,
    maxViewers,
    shell: positionals.length > 0 ? positionals : undefined,
    targets: readTargets(taken.launcher, values.targets),
    spawnOptions: values.broker ? { brokerPath: values.broker } : {},
    record: values.record ? { dir: values.record, input: values['record-input'], limitBytes: recordLimit } : undefined
  };
}

async function main() {
  const options = readOptions(process.argv.slice(2));
  const server = new WebTerminalServer(options);
  const url = await server.listen();
  console.log(`terminal-stream-web: open ${url}`);
  if (options.record) {
    const recordingsUrl = url.replace('/?', '/recordings?');
    console.log(`terminal-stream-web: recording every session in ${options.record.dir}${options.record.input ? ', input included' : ''}; play them at ${recordingsUrl}`);
  }
  const names = options.targets.names;
  if (names.length > 1 || names[0] !== 'local') {
    console.log(`terminal-stream-web: sessions run at ${names.join(', ')} (the first unless the page picks another, or &target=NAME)`);
  }
  if (!isLoopback(options.host)) {
    console.log('terminal-stream-web: not on loopback: anyone with the address above gets a shell, and plain HTTP shows it to the network');
  }
  // Stopping the server hangs up every session, attached or detached.
  const stop = () => server.close().then(() => process.exit(0));
  for (const signal of ['SIGINT', 'SIGTERM', 'SIGHUP']) process.once(signal, stop);
}

main().catch((error) => {
  console.error(`terminal-stream-web: ${error.message}`);
  process.exit(1);
});
