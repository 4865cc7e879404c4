#!/usr/bin/env bash
# Installs what the tests of shells in containers need, if missing: Debian's
# container engine (dockerd, containerd, runc and the docker client). The
# tests start a dockerd of their own, on a socket and in directories of
# their own; the system's docker service, if installing the package just
# started it, is stopped and disabled again. Run as root.
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

docker_was_installed=$(dpkg-query -W -f='${Status}' docker.io 2>/dev/null | grep -c "install ok installed" || true)
install_missing docker.io
if [[ $docker_was_installed == 0 ]] && command -v systemctl >/dev/null && [[ -d /run/systemd/system ]]; then
    systemctl disable --now docker.service docker.socket containerd.service >/dev/null 2>&1 || true
fi
