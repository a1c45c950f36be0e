#!/usr/bin/env bash
# Tries the project on a fresh Debian as a new user would: builds a minimal
# root of SUITE with mmdebstrap in a scratch folder, copies the committed
# tree into it and runs, inside it, the README's two commands (make test,
# then make run) and the package check. Prints each step's time and the
# outcome; the root is removed at the end (KEEP=1 keeps it).
#
#   tools/check-distribution.sh trixie [MIRROR]
#
# Needs root (chroot, mounts) and mmdebstrap; the network reaches MIRROR.
# Long: everything is built from scratch with the suite's own compiler.
set -euo pipefail
suite=${1:?usage: tools/check-distribution.sh SUITE [MIRROR]}
mirror=${2:-http://deb.debian.org/debian}
cd "$(dirname "$0")/.."
[ "$(id -u)" -eq 0 ] || { echo "check-distribution: needs root (chroot and mounts)" >&2; exit 2; }
command -v mmdebstrap >/dev/null || {
  echo "check-distribution: mmdebstrap is not installed (apt-get install mmdebstrap)" >&2; exit 2; }

root=$(mktemp -d "${TMPDIR:-/var/tmp}/kelto-$suite.XXXXXX")
mounted=()
cleanup() {
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
  [ "${KEEP:-0}" = 1 ] && { echo "root kept in $root"; return; }
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

step() { # NAME COMMAND...
  local name=$1 start=$SECONDS rc=0
  shift
  echo "== $name"
  "$@" || rc=$?
  echo "== $name: $([ $rc -eq 0 ] && echo passed || echo "FAILED ($rc)") in $((SECONDS - start)) s"
  return $rc
}

inside() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 \
    TERM=dumb bash -c "cd /src && $1"
}

total=$SECONDS
# sudo and ca-certificates as a user's machine has them; the project's own
# script installs the rest.
step "root ($suite)" mmdebstrap --variant=apt --include=sudo,ca-certificates,make,git \
  "$suite" "$root" "$mirror"
for m in proc sys dev dev/pts dev/shm; do
  mkdir -p "$root/$m"
  case $m in
    proc) mount -t proc proc "$root/proc" ;;
    dev/shm) mount -t tmpfs tmpfs "$root/dev/shm" ;;
    *) mount --rbind "/$m" "$root/$m" ;;
  esac
  mounted+=("$root/$m")
done
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/src"
git archive HEAD | tar -x -C "$root/src"
# The shared third-party sources, where present, at ../shared as in CI.
if [ -d ../shared ]; then
  mkdir -p "$root/shared"
  mount --bind -o ro ../shared "$root/shared"
  mounted+=("$root/shared")
fi
echo "suite: $(chroot "$root" cat /etc/debian_version), head: $(git rev-parse --short HEAD)"

failed=0
step "make test" inside "make test" || failed=1
step "make run" inside "make run" || failed=1
step "package check" inside "tools/packaging/check-package.sh build/default" || failed=1
echo "== $suite: $([ $failed -eq 0 ] && echo passed || echo FAILED) in $((SECONDS - total)) s"
exit $failed
