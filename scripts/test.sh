#!/usr/bin/env bash
# Checks the module layering and that the ordinary default build compiles,
# then builds and runs every test three times: an optimised build (the flags
# the broker ships with), a build with AddressSanitizer and
# UndefinedBehaviorSanitizer, and a build with ThreadSanitizer. Then every
# fuzz target for a short while, and the short soak and fault run against
# the first two builds (it prints figures).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-test-deps.sh
scripts/install-js-deps.sh
scripts/install-container-deps.sh
scripts/install-python-deps.sh
scripts/install-fuzz-deps.sh

jobs=$(nproc)
run_suite() {
    local dir=$1 exclude=$2
    shift 2
    cmake -S . -B "$dir" "$@" >/dev/null
    cmake --build "$dir" -j "$jobs"
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" ${exclude:+-E "$exclude"}
}

echo "== module layering: every module includes and calls only what it declares"
scripts/check-layers.sh
echo "== the ordinary build a newcomer types (default build type, tests on), built only"
cmake -S . -B build/ordinary >/dev/null
cmake --build build/ordinary -j "$jobs"
echo "== normal build"
run_suite build/test "" -DCMAKE_BUILD_TYPE=Release
echo "== install, Debian package, man pages (from the normal build)"
scripts/check-install.sh build/test
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_suite build/sanitize "" -DCMAKE_BUILD_TYPE=Debug -DTSB_SANITIZE=ON
echo "== ThreadSanitizer build"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
    run_suite build/tsan "" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTSB_TSAN=ON
echo "== Node.js client and browser terminal, against the normal build's broker"
scripts/test-js.sh build/test/terminal-stream-broker
scripts/test-python.sh build/test/terminal-stream-broker
echo "== fuzz targets, 20 s each"
scripts/fuzz.sh 20
echo "== soak and fault run, short mode"
bench/soak.py --short --broker build/test/terminal-stream-broker \
    --sanitized build/sanitize/terminal-stream-broker
