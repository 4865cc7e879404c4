#!/usr/bin/env bash
# Installs what the libFuzzer targets (fuzz/, scripts/fuzz.sh) need beyond
# scripts/install-deps.sh, if missing: clang 16 and its sanitizer runtimes,
# libFuzzer among them. Run as root (apt-get).
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

packages=(clang-16 libclang-rt-16-dev)
install_missing "${packages[@]}"
