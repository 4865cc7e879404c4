#!/usr/bin/env bash
# Installs what the Node.js client and the browser terminal need, if missing:
# Node.js and npm, Debian's chromium for the browser test, then the npm
# packages from the committed lock files. Run as root on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    chromium                           # the browser test (driven by playwright-core)
    fonts-dejavu-core                  # a monospace font for the page
)
# A Node.js from elsewhere (this image's comes from NodeSource, with npm) also does.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi

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
    apt-get install -y -qq --no-install-recommends -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

major=$(node -p 'process.versions.node.split(".")[0]')
if ((major < 20)); then
    echo "Node.js 20 or later is needed, this is $(node --version): install it from NodeSource or Debian 13" >&2
    exit 1
fi

for folder in clients/node web; do
    (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error)
done
