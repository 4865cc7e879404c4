#!/usr/bin/env bash
# Checks that the build enforces the module layering (cmake/Modules.cmake):
# a file of the text module may use text, but an include of a module above
# it fails to compile, and a call into one fails to link. Builds three
# one-file probes (tests/layering/) in their own build tree.
#   scripts/check-layers.sh [BUILD_DIR]   (default build/layers)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/layers}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTSB_BUILD_TESTS=OFF -DTSB_LAYER_PROBE=ON >/dev/null

probe() {
    cmake --build "$build" --target "layer_probe_$1" -j 2 >"$build/probe-$1.log" 2>&1
}

if ! probe allowed; then
    tail -n 20 "$build/probe-allowed.log" >&2
    echo "layers: the allowed probe does not build, so the other two prove nothing" >&2
    exit 1
fi
if probe upward_include || ! grep -q "log/log.hpp: No such file" "$build/probe-upward_include.log"; then
    tail -n 20 "$build/probe-upward_include.log" >&2
    echo "layers: text including the log module's header did not fail as it should" >&2
    exit 1
fi
if probe upward_call || ! grep -q "undefined reference to .tsb::log_message" "$build/probe-upward_call.log"; then
    tail -n 20 "$build/probe-upward_call.log" >&2
    echo "layers: text calling into the log module did not fail to link as it should" >&2
    exit 1
fi
echo "layers: an upward include fails to compile and an upward call fails to link"
