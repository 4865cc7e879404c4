#!/usr/bin/env bash
# Installs the Debian packages the broker, its tests and its benchmarks need,
# if any is missing. Run as root on a fresh machine (apt-get).
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

packages=(
    g++ cmake make pkg-config          # toolchain
    nlohmann-json3-dev                 # JSON
    libmodpbase64-dev                  # Base64 (stringencoders)
    libgtest-dev                       # unit and end-to-end tests
    libbenchmark-dev                   # micro-benchmarks
    python3                            # small programs used as shells in tests, soak script
    dpkg-dev                           # dpkg-shlibdeps for the Debian package
    lintian                            # checks the Debian package
    man-db groff-base                  # renders and checks the man pages
)

install_missing "${packages[@]}"
