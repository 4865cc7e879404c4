#!/bin/sh
# Builds the broker, the attach client and the benchmark programs (Release,
# build/bench), installs the benchmark peers (bench/install-deps.sh: node-pty,
# xterm.js, playwright-core) and runs every benchmark; the report (markdown)
# goes to standard output. Arguments are passed to run.py (--quick for a
# short smoke run, --only NAME,... for a subset).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
"$root/bench/install-deps.sh" >&2
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSB_BUILD_BENCH=ON -DTSB_BUILD_TESTS=OFF >&2
cmake --build "$build" -j2 --target terminal-stream-broker terminal-stream-attach raw_relay json_relay \
    raw_echo sink micro_bench >&2
exec python3 "$root/bench/run.py" --build "$build" "$@"
