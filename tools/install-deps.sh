#!/usr/bin/env bash
# Installs the Debian packages the project needs (Debian 12 and 13), and only
# those missing. Where the releases name a package differently, the name is
# the one the system's package lists offer.
set -euo pipefail

packages=(
  cmake make g++ clang clang-format pkg-config binutils ccache
  qt6-base-dev qt6-base-private-dev qt6-base-dev-tools libgl-dev
  libusb-dev libusb-0.1-4
  umockdev libumockdev-dev
  libbenchmark-dev
  libqt6sql6-sqlite libqt6sql6-psql postgresql
  xvfb xauth imagemagick
  srecord python3 procps
  dpkg-dev fakeroot
  help2man lintian appstream desktop-file-utils bash-completion
  # The test bed's clients on libusb-1.0: lsusb, and libusb-compat-0.1 built
  # from its source for the tests.
  usbutils libusb-1.0-0-dev autoconf automake libtool
  devscripts
)

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
offers() { apt-cache show "$1" >/dev/null 2>&1; }
# A fresh system may have no package lists yet.
offers cmake || $sudo apt-get update -qq
# clang's libFuzzer and sanitizer runtimes (fuzz, asan and tsan presets):
# the package of the default clang where there is one, else the one named
# after its version (libclang-rt-14-dev, libclang-rt-19-dev, ...).
if offers libclang-rt-dev; then
  packages+=(libclang-rt-dev)
else
  clang_major=$(apt-cache depends clang 2>/dev/null | sed -n 's/.*Depends: clang-\([0-9]*\)$/\1/p' | head -n 1)
  [ -n "$clang_major" ] && offers "libclang-rt-$clang_major-dev" && packages+=("libclang-rt-$clang_major-dev")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
