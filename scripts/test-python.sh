#!/usr/bin/env bash
# Checks the Python client's type hints (mypy --strict) and runs its tests
# against a broker binary: the path given as $1, else $TERMINAL_STREAM_BROKER,
# else the optimised build in build/release. Then installs the package into
# a scratch virtual environment, without a network index, as its README
# says. Needs scripts/install-python-deps.sh (and, for the ssh tests'
# harness, scripts/install-js-deps.sh) first.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/lib/broker.sh
use_broker "${1:-}"

# Debian's python3, which Debian's pytest and pexpect belong to (another
# python3 may come first on PATH).
python=/usr/bin/python3
echo "== Python client: its type hints, strictly"
(cd clients/python && "$python" -m mypy --strict --cache-dir=/dev/null terminal_stream)
echo "== Python client"
(cd clients/python && timeout 600 "$python" -m pytest -q -p no:cacheprovider tests)

echo "== Python client: pip install without a network index"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$python" -m venv --without-pip --system-site-packages "$scratch/venv"
"$scratch/venv/bin/python" -m pip install --quiet --no-index --no-build-isolation ./clients/python
(cd "$scratch" && venv/bin/python -c 'import terminal_stream, terminal_stream.sync; print("installed", terminal_stream.__version__, terminal_stream.__file__)')
