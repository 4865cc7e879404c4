#!/usr/bin/env node
'use strict';

// Starts the browser terminal: `node server.js [--host H] [--port P] [--broker PATH] [-- SHELL ARGS...]`.

const { parseArgs } = require('util');
const { WebTerminalServer } = require('./lib/web-terminal-server');

const usage = 'usage: node server.js [--host 127.0.0.1] [--port 8022] [--broker PATH] [--origin URL]... [-- SHELL ARG...]';

function readOptions(argv) {
  const { values, positionals } = parseArgs({
    args: argv,
    allowPositionals: true,
    options: {
      host: { type: 'string', default: '127.0.0.1' },
      port: { type: 'string', default: '8022' },
      broker: { type: 'string' },
      origin: { type: 'string', multiple: true, default: [] },
      help: { type: 'boolean', short: 'h' }
    }
  });
  const port = Number(values.port);
  if (values.help || !Number.isInteger(port) || port < 0 || port > 65535) {
    (values.help ? console.log : console.error)(usage);
    process.exit(values.help ? 0 : 2);
  }
  return {
    host: values.host,
    port,
    origins: values.origin,
    shell: positionals.length > 0 ? positionals : undefined,
    spawnOptions: values.broker ? { brokerPath: values.broker } : {}
  };
}

async function main() {
  const server = new WebTerminalServer(readOptions(process.argv.slice(2)));
  const url = await server.listen();
  console.log(`terminal-stream-web: open ${url}`);
  if (!/^http:\/\/(127\.0\.0\.1|localhost|\[::1\]):/.test(url)) {
    console.log('terminal-stream-web: not on loopback: anyone with the address above gets a shell, and plain HTTP shows it to the network');
  }
  const stop = () => server.close().then(() => process.exit(0));
  process.on('SIGINT', stop);
  process.on('SIGTERM', stop);
}

main().catch((error) => {
  console.error(`terminal-stream-web: ${error.message}`);
  process.exit(1);
});
