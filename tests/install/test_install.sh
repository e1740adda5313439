#!/usr/bin/env bash
# What `cmake --install` and `make package` deliver, from a configured build folder: every
# file under the prefix asked for (the autostart entry in the system's autostart folder),
# a bin link that points into that prefix, and a Debian package with the same files and
# the libraries the program needs among its dependencies.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

expected=(
  ./etc/xdg/autostart/stowkeep.desktop
  ./opt/sk/bin/stowkeep
  ./opt/sk/libexec/stowkeep/help.html
  ./opt/sk/libexec/stowkeep/stowkeep
  ./opt/sk/share/applications/stowkeep.desktop
  ./opt/sk/share/doc/stowkeep/changelog.gz
  ./opt/sk/share/doc/stowkeep/copyright
  ./opt/sk/share/icons/hicolor/scalable/apps/stowkeep.svg
  ./opt/sk/share/man/man1/stowkeep.1.gz
)

# A prefix other than the one the build was configured with.
DESTDIR="$work/root" cmake --install "$build" --prefix /opt/sk >/dev/null
got=$(cd "$work/root" && find . \( -type f -o -type l \) | sort)
[ "$got" = "$(printf '%s\n' "${expected[@]}")" ] || fail "installed files differ: $got"
[ "$(readlink "$work/root/opt/sk/bin/stowkeep")" = ../libexec/stowkeep/stowkeep ] \
  || fail "bin link: $(readlink "$work/root/opt/sk/bin/stowkeep")"
[ -x "$work/root/opt/sk/bin/stowkeep" ] || fail "bin link does not reach the program"
grep -qx 'Exec=stowkeep' "$work/root/etc/xdg/autostart/stowkeep.desktop" || fail "autostart entry"

(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/pkg" >/dev/null)
deb=$(ls "$work"/pkg/stowkeep_*.deb)
listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
want=$(printf '%s\n' "${expected[@]}" | sed 's#^\./opt/sk/#./usr/#' | sort)
[ "$listed" = "$want" ] || fail "package files differ: $listed"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6svg6 libsqlite3-0 libssl3 zlib1g; do
  [[ $depends == *"$lib"* ]] || fail "package does not depend on $lib: $depends"
done
echo "install and package: OK"
