#!/usr/bin/env bash
# Installs what the C++ tests, the package checks and the micro-benchmarks
# need on top of scripts/install-deps.sh, if any is missing. Run as root on
# a fresh machine (apt-get).
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

"$(dirname "$0")/install-deps.sh"
packages=(
    libgtest-dev                       # unit and end-to-end tests
    libbenchmark-dev                   # micro-benchmarks
    python3                            # small programs used as shells in tests, soak script
    dpkg-dev                           # dpkg-shlibdeps for the Debian package
    lintian                            # checks the Debian package
    man-db groff-base                  # renders and checks the man pages
    asciinema                          # reads back the attach client's recordings (asciinema cat)
)

install_missing "${packages[@]}"
