#!/usr/bin/env bash
# Checks what a build installs and packages: `cmake --install` into a
# scratch DESTDIR (every file where it belongs, the man pages rendered
# without warnings), then the Debian package built with cpack from the same
# build tree, its contents listed, and lintian run on it (any error fails).
# Usage: scripts/check-install.sh BUILD_DIR   (a build that has been built)
set -euo pipefail

build=$(realpath "${1:?usage: scripts/check-install.sh BUILD_DIR}")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "== cmake --install into a DESTDIR"
DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr >/dev/null
expected=(
    usr/bin/terminal-stream-broker
    usr/bin/terminal-stream-attach
    usr/share/man/man1/terminal-stream-broker.1.gz
    usr/share/man/man1/terminal-stream-attach.1.gz
    usr/share/doc/terminal-stream-broker/README.md
    usr/share/doc/terminal-stream-broker/copyright
    usr/share/doc/terminal-stream-broker/changelog.gz
)
missing=0
for file in "${expected[@]}"; do
    if [[ ! -f "$scratch/root/$file" ]]; then
        echo "missing: /$file" >&2
        missing=1
    fi
done
for program in terminal-stream-broker terminal-stream-attach; do
    [[ -x "$scratch/root/usr/bin/$program" ]] || { echo "not executable: $program" >&2; missing=1; }
done
unexpected=$(cd "$scratch/root" && find . -type f | sed 's|^\./||' | sort | grep -vxF -f <(printf '%s\n' "${expected[@]}") || true)
if [[ -n "$unexpected" ]]; then
    echo "installed but not expected:" >&2
    echo "$unexpected" >&2
    missing=1
fi
((missing == 0)) || exit 1
echo "installed: ${#expected[@]} files"

echo "== man pages"
for page in "$scratch"/root/usr/share/man/man1/*.1.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null || true)
    if [[ -n "$warnings" ]]; then
        echo "$(basename "$page"): $warnings" >&2
        exit 1
    fi
    echo "$(basename "$page"): renders without warnings"
done

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
deb=$(find "$scratch/package" -maxdepth 1 -name '*.deb' | head -n 1)
[[ -n "$deb" ]] || { echo "cpack made no .deb" >&2; exit 1; }
echo "$(basename "$deb"):"
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -c "$deb"

echo "== lintian"
# As root lintian warns that it runs as root; only errors fail the check.
lintian --fail-on error "$deb" 2>&1 | grep -v "running with root privileges" || true
lintian --fail-on error "$deb" >/dev/null 2>&1
echo "lintian: no errors"
