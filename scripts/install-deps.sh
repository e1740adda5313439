#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Stowkeep need.
# Idempotent: does nothing when every package is present already.
set -euo pipefail

# Checked by the test setup.install_deps: the build's libraries and tools (libdeflate and
# ISA-L compress), GoogleTest and libzip for the engine's tests, 7-Zip, bsdtar
# (libarchive-tools), unzip and Python as the tests' outside readers, faketime for the
# black-box tests' clock, dbus-daemon (dbus-run-session) for the desktop-service tests,
# exfat-fuse and exfatprogs for a restore onto an exFAT stick mounted through FUSE, and
# dpkg-dev (dpkg-shlibdeps) for the package.
packages=(
  build-essential cmake ninja-build pkgconf
  qt6-base-dev libgl-dev libqt6svg6
  zlib1g-dev libssl-dev libsqlite3-dev
  libdeflate-dev libisal-dev
  libgtest-dev libzip-dev p7zip-full zip unzip libarchive-tools python3
  faketime libfaketime dbus-daemon exfat-fuse exfatprogs
  dpkg-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  sudo=()
else
  sudo=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
