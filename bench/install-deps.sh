#!/usr/bin/env bash
# Installs what the benchmark peers need, if missing: the compilers node-pty
# is built with (it has no Linux binary in its package), Debian's chromium
# for the browser benchmarks, then the npm packages of bench/ from the
# committed lock file. bench/run.sh calls it; run as root on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")"
source ../scripts/lib/apt.sh

../scripts/install-deps.sh             # what the broker itself builds with
packages=(
    libbenchmark-dev                   # the micro-benchmarks
    python3 make g++                   # node-gyp builds node-pty's addon
    chromium                           # the browser benchmarks (driven by playwright-core)
    fonts-dejavu-core                  # a monospace font for the pages
)
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi
install_missing "${packages[@]}"

# npm ci wipes node_modules; skip it while the installed tree matches the lock.
if ! cmp -s package-lock.json node_modules/.package-lock-copy.json 2>/dev/null ||
   [[ ! -e node_modules/node-pty/build/Release/pty.node ]]; then
    npm ci --no-audit --no-fund --loglevel=error >&2
    cp package-lock.json node_modules/.package-lock-copy.json
fi

# The browser benchmark runs the project's own web server, with its packages.
for folder in ../clients/node ../web; do
    if [[ ! -d $folder/node_modules ]]; then
        (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error >&2)
    fi
done
