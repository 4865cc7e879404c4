#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/, with clang++-16) and runs each in turn
# for the given number of seconds (default 20), starting from its committed
# seed corpus in fuzz/corpus/TARGET. What a run learns goes to
# build/fuzz/corpus/TARGET; a failing input is kept as
# build/fuzz/findings/TARGET-crash-... and ends the script with status 1.
#   scripts/fuzz.sh [seconds] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
build=build/fuzz

if ! command -v clang++-16 >/dev/null; then
    echo "fuzz: clang++-16 is missing; scripts/install-fuzz-deps.sh installs it (as root)" >&2
    exit 1
fi
cmake -S fuzz -B "$build" -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j 2

targets=("$@")
if ((${#targets[@]} == 0)); then
    for source in fuzz/*_fuzz.cpp; do
        targets+=("$(basename "$source" .cpp)")
    done
fi

mkdir -p "$build/findings"
failed=()
for target in "${targets[@]}"; do
    mkdir -p "$build/corpus/$target"
    dictionary=()
    [[ -f fuzz/$target.dict ]] && dictionary=(-dict="fuzz/$target.dict")
    echo "== $target, ${seconds} s"
    # One process, one core: the machines are shared. Leaks end the run too.
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$build/$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
        -artifact_prefix="$build/findings/$target-" "${dictionary[@]}" \
        "$build/corpus/$target" "fuzz/corpus/$target" 2>"$build/$target.log"; then
        failed+=("$target")
        tail -n 40 "$build/$target.log"
    fi
    grep -E "^stat::(number_of_executed_units|new_units_added|peak_rss_mb)" "$build/$target.log" | tr '\n' ' '
    echo
done

if ((${#failed[@]})); then
    echo "fuzz: failing inputs from ${failed[*]} in $build/findings" >&2
    exit 1
fi
echo "fuzz: ${#targets[@]} targets, no finding"
