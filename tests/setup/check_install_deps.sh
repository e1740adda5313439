#!/usr/bin/env bash
# Checks that scripts/install-deps.sh names the Debian package of every file the build
# found (the arguments after the script) and of every program and library the tests run,
# so that a fresh machine gets them all from `make deps`.
set -euo pipefail

SCRIPT=${1:?usage: $0 install-deps.sh [file the build uses]...}
shift
command -v dpkg >/dev/null || { echo "SKIP: not a Debian system"; exit 0; }

named=" $(sed -n '/^packages=(/,/^)/p' "$SCRIPT" | tr -s '()\n' ' ') "
missing=0
# The packages that hold the path, or the file a link of it leads to (under /sbin for
# /usr/sbin and so on: where /usr is merged, dpkg knows some files by their old place).
owners_of() {
    local real
    real=$(readlink -f "$1")
    { dpkg -S "$1"; dpkg -S "$real"; dpkg -S "${real#/usr}" || true; } 2>/dev/null | sed 's/: .*//; s/,/ /g; s/:[a-z0-9]*//g'
}
check() {
    local owners owner
    owners=$(owners_of "$1" | tr '\n' ' ')
    [ -n "$owners" ] || { echo "no Debian package holds $1"; missing=1; return; }
    for owner in $owners; do
        [[ $named == *" $owner "* ]] && return
    done
    echo "$1 comes from $owners, which install-deps.sh does not name"
    missing=1
}

for file in "$@"; do check "$file"; done
# What the tests run: 7-Zip as the outside reader, faketime preloaded by the black-box
# tests, a private session bus for the desktop-service tests, an exFAT stick through FUSE,
# the build's own tools and the package's library lookup.
for program in 7z bsdtar unzip faketime dbus-run-session mount.exfat-fuse mkfs.exfat cmake ninja pkg-config dpkg-shlibdeps; do
    check "$(command -v "$program" || echo "/nonexistent/$program")"
done
check "$(ls /usr/lib/*/faketime/libfaketimeMT.so.1 | head -n 1)"
check "$(ls /usr/lib/*/qt6/plugins/imageformats/libqsvg.so | head -n 1)"
[ "$missing" -eq 0 ] || exit 1
echo "1 passed, 0 failed"
