#!/bin/sh
# Builds the broker and the benchmark programs (Release, build/bench) and
# runs every benchmark; the report (markdown) goes to standard output.
# Arguments are passed to run.py (--quick for a short smoke run).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSB_BUILD_BENCH=ON -DTSB_BUILD_TESTS=OFF >&2
cmake --build "$build" -j2 --target terminal-stream-broker raw_relay raw_echo sink micro_bench >&2
exec python3 "$root/bench/run.py" --build "$build" "$@"
