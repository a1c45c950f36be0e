#!/usr/bin/env bash
# Packaging check: builds the Debian package from the default build, checks
# its files and dependencies, unpacks it into a scratch folder and starts the
# unpacked program headless under the test bed (the emulated converter at the
# kernel's USB interface, found by the system's libusb-0.1) until its window
# is up, then closes it; the program must exit with 0.
set -euo pipefail
build=${1:-build/default}
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls -t "$build"/kelto_*_amd64.deb | head -n 1)
echo "package: $deb"
dpkg-deb -c "$deb"

listing=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/kelto ./usr/bin/kelto-cli ./usr/share/applications/kelto.desktop \
         ./usr/share/icons/hicolor/32x32/apps/kelto.png ./usr/lib/udev/rules.d/70-kelto.rules; do
  grep -qx "$f" <<<"$listing" || { echo "missing in package: $f"; exit 1; }
done
if grep -E 'emulator|driver' <<<"$listing"; then
  echo "test-only files in the package"; exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# The ballast page's layout builds on Qt's private text layout, so the
# package must pin the exact Qt it was built against.
for d in libusb-0.1-4 libqt6widgets6 qt6-qpa-plugins 'qt6-base-abi (= '; do
  grep -qF "$d" <<<"$depends" || { echo "missing dependency: $d"; exit 1; }
done
# Nothing world-writable, nothing setuid.
if dpkg-deb -c "$deb" | awk '{print $1}' | grep -E '^.{8}w|^...s|^......s'; then
  echo "unsafe permissions in package"; exit 1
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
dpkg-deb -x "$deb" "$scratch"
testbed=$build/emulator/kelto-testbed
driver=$build/tools/driver/libkelto-driver.so
set +e
QT_QPA_PLATFORM=offscreen KELTO_DRIVER="wait:300;close" \
  timeout 60 "$testbed" --preload "$driver" -- "$scratch/usr/bin/kelto" >"$scratch/out.log" 2>&1
rc=$?
set -e
if [ "$rc" -ne 0 ]; then
  cat "$scratch/out.log"; echo "unpacked program exited with $rc"; exit 1
fi
echo "unpacked program started, showed its window and closed with exit code 0"
