'use strict';

// When this process ends, the broker's standard input ends, and the broker
// answers that with SIGTERM, which interactive shells ignore: they would
// live on, with their brokers, after the program that ran them. A terminal
// whose master closes hangs up its shell instead, and so do we, for the
// shells whose pid we know here.
const live = new Set();
let hookInstalled = false;

function hangUpAll() {
  for (const hangUp of live) hangUp();
}

/**
 * Registers a way to hang up one shell when this process exits.
 * @param {() => void} hangUp
 * @returns {() => void} unregisters it (the shell has ended)
 */
function hangUpAtExit(hangUp) {
  if (!hookInstalled) {
    process.on('exit', hangUpAll);
    hookInstalled = true;
  }
  live.add(hangUp);
  return () => live.delete(hangUp);
}

module.exports = { hangUpAtExit };
