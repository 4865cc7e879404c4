#!/usr/bin/env bash
# Updates web/screenshot.png, the picture in the READMEs, from the browser
# test's first case: `echo hello` in the browser terminal, in headless
# chromium, against a broker binary (the path given as $1, else
# $TERMINAL_STREAM_BROKER, else build/release). The tests themselves write
# their screenshot to a temporary file.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib/broker.sh
use_broker "${1:-}"
export TERMINAL_STREAM_SCREENSHOT=$PWD/web/screenshot.png
(cd web && timeout 300 node --test --test-name-pattern '^echo' test/browser.test.js)
echo "updated web/screenshot.png"
