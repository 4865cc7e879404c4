#!/usr/bin/env bash
# Installs what the tests of shells in containers need, if missing: Debian's
# container engine (dockerd, containerd, runc, docker-init and the docker
# client), and procps, whose ps lists a container's processes for `docker
# top`. The tests start a dockerd of their own, on a socket and in
# directories of their own; the system's docker and containerd services, if
# installing the packages just started them, are stopped and disabled again.
# Run as root.
set -euo pipefail
source "$(dirname "$0")/lib/apt.sh"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -c "install ok installed" || true; }
services=()
[[ $(installed docker.io) == 0 ]] && services+=(docker.service docker.socket)
[[ $(installed containerd) == 0 ]] && services+=(containerd.service)

install_missing docker.io procps
if ((${#services[@]})) && command -v systemctl >/dev/null && [[ -d /run/systemd/system ]]; then
    systemctl disable --now "${services[@]}" >/dev/null 2>&1 || true
fi
