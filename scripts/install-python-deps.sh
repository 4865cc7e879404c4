#!/usr/bin/env bash
# Installs what the Python client's tests and benchmark need, if missing:
# Debian's pytest, pexpect (the yardstick the tests and the benchmark run
# beside the client), pyte (the client's optional screen), mypy (the
# check of its type hints), and setuptools, pip and venv (the check that the
# package installs without a network index). Run as root on a fresh machine.
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

install_missing python3 python3-pytest python3-pexpect python3-pyte mypy python3-setuptools python3-pip python3-venv
