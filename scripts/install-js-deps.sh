#!/usr/bin/env bash
# Installs what the Node.js client and the browser terminal need, if missing:
# Node.js and npm, Debian's chromium for the browser test, then the npm
# packages from the committed lock files. Run as root on a fresh machine.
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"
cd "$(dirname "$0")/.."

packages=(
    chromium                           # the browser test (driven by playwright-core)
    fonts-dejavu-core                  # a monospace font for the page
    vim                                # vi, the full-screen program of the browser test's reload
    openssh-server openssh-client      # the tests of shells over ssh start an sshd of their own
    iproute2                           # ... in a network namespace of their own (ip netns)
    asciinema                          # reads back the recordings of both terminals (asciinema cat)
    openssl                            # a certificate for the TLS proxy of the attach client's join test
)
# The tests start their own sshd; the system's ssh service, if installing the
# package just started it, is stopped and disabled again.
ssh_service_was_installed=$(dpkg-query -W -f='${Status}' openssh-server 2>/dev/null | grep -c "install ok installed" || true)
# A Node.js from elsewhere (this image's comes from NodeSource, with npm) also does.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    packages+=(nodejs npm)
fi

install_missing "${packages[@]}"
if [[ $ssh_service_was_installed == 0 ]] && command -v systemctl >/dev/null && [[ -d /run/systemd/system ]]; then
    systemctl disable --now ssh.service ssh.socket >/dev/null 2>&1 || true
fi

major=$(node -p 'process.versions.node.split(".")[0]')
if ((major < 20)); then
    echo "Node.js 20 or later is needed, this is $(node --version): install it from NodeSource or Debian 13" >&2
    exit 1
fi

for folder in clients/node web; do
    (cd "$folder" && npm ci --no-audit --no-fund --loglevel=error)
done
