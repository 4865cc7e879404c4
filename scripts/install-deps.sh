#!/usr/bin/env bash
# Installs the Debian packages that building and running the broker and the
# attach client need, if any is missing. Run as root on a fresh machine
# (apt-get). The tests' own packages come with scripts/install-test-deps.sh.
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

packages=(
    g++ cmake make pkg-config          # toolchain
    nlohmann-json3-dev                 # JSON
    libmodpbase64-dev                  # Base64 (stringencoders)
    libssl-dev                         # attach --join: SHA-1 of the WebSocket handshake, TLS of https links
)

install_missing "${packages[@]}"
