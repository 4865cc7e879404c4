#!/usr/bin/env bash
# Installs what the libFuzzer targets (fuzz/, scripts/fuzz.sh) need beyond
# scripts/install-deps.sh, if missing: clang 16 and its sanitizer runtimes,
# libFuzzer among them. Run as root (apt-get).
set -euo pipefail

packages=(clang-16 libclang-rt-16-dev)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
