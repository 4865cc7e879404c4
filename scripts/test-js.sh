#!/usr/bin/env bash
# Runs the Node.js client's tests and the browser test against a broker
# binary: the path given as $1, else $TERMINAL_STREAM_BROKER, else the
# optimised build in build/release. Needs scripts/install-js-deps.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib/broker.sh
use_broker "${1:-}"

# Each test has its own deadline; the outer one stops a test process that a
# stray child keeps alive.
echo "== Node.js client"
(cd clients/node && timeout 600 node --test test/*.test.js)
echo "== browser terminal (chromium, headless)"
(cd web && timeout 600 node --test test/*.test.js)
