#!/usr/bin/env bash
# Installs the Debian 12 packages the project needs, and only those missing.
set -euo pipefail

packages=(
  cmake make g++ clang clang-format pkg-config binutils ccache
  qt6-base-dev qt6-base-private-dev qt6-base-dev-tools libgl-dev
  libusb-dev libusb-0.1-4
  umockdev libumockdev-dev
  libbenchmark-dev
  xvfb xauth imagemagick
  srecord python3 procps
  dpkg-dev fakeroot
  help2man lintian appstream desktop-file-utils bash-completion
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
