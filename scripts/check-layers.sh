#!/usr/bin/env bash
# Checks that the build enforces the module layering of cmake/Modules.cmake,
# for every module: a header of a module may be included exactly where the
# table below allows it, and a call to a module a module may not use fails
# to link. Builds the probes of tests/layering/ in their own build tree.
# (Every build also refuses an include that climbs out of its folder with
# "..", and links each module alone: scripts/check-layers.sh checks that
# too, with a deliberate upward include.)
#   scripts/check-layers.sh [BUILD_DIR]   (default build/layers)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/layers}

# What each module may include: its own declared modules and, through
# their headers, what those declare publicly. The same picture as the
# README's "Where to start reading".
declare -A allowed=(
    [sys]=""
    [text]=""
    [log]="sys"
    [config]="sys text"
    [protocol]="sys text"
    [pty]="sys"
    [readers]="protocol sys text log"
    [session]="protocol pty sys text log"
    [attach]="protocol sys text"
)
modules=(sys text log config protocol pty readers session attach)

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSB_BUILD_TESTS=OFF -DTSB_LAYER_PROBE=ON >/dev/null

targets=(layer_call_allowed)
for user in "${modules[@]}"; do
    targets+=("layer_call_$user")
    for used in "${modules[@]}"; do
        [[ $user == "$used" ]] || targets+=("layer_include_${user}_$used")
    done
done
# Keep going past the probes that must fail; what was built is read below.
rm -rf "$build/tests/layering/CMakeFiles"/layer_*.dir/*.o "$build/tests/layering"/layer_call_*
cmake --build "$build" -j 2 --target "${targets[@]}" -- -k >"$build/probes.log" 2>&1 || true

failures=0
fail() { echo "layers: $*" >&2; failures=$((failures + 1)); }

if [[ ! -x $build/tests/layering/layer_call_allowed ]]; then
    tail -n 20 "$build/probes.log" >&2
    fail "the allowed probe does not build, so the others prove nothing"
fi
for user in "${modules[@]}"; do
    for used in "${modules[@]}"; do
        [[ $user == "$used" ]] && continue
        object=$build/tests/layering/CMakeFiles/layer_include_${user}_$used.dir/include_${user}_$used.cpp.o
        if [[ " ${allowed[$user]} " == *" $used "* ]]; then
            [[ -f $object ]] || fail "$user may include $used, but the probe did not compile"
        else
            [[ ! -f $object ]] || fail "$user may not include $used, but the probe compiled"
        fi
    done
    if [[ -e $build/tests/layering/layer_call_$user ]]; then
        fail "$user calling a module it may not use linked"
    elif ! grep -q "layer_call_object_$user.*undefined reference\|call_$user.cpp.*undefined reference" "$build/probes.log"; then
        fail "the probe of $user calling upwards did not fail with an undefined reference"
    fi
done

# An include that climbs out of its folder stops the configuration.
probe=src/text/layer_probe_climbing.hpp
trap 'rm -f "$probe"' EXIT
echo '#include "../log/log.hpp"' >"$probe"
if cmake -S . -B "$build" >"$build/climbing.log" 2>&1 || ! tr -s ' \n' ' ' <"$build/climbing.log" | grep -q 'may not climb out'; then
    fail "an include with \"..\" did not stop the configuration"
fi
rm -f "$probe"
cmake -S . -B "$build" >/dev/null

if ((failures)); then
    echo "layers: $failures failures (probe output in $build/probes.log)" >&2
    exit 1
fi
echo "layers: every module includes and calls only what it declares (${#modules[@]} modules)"
