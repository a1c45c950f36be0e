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
         ./usr/share/icons/hicolor/32x32/apps/kelto.png ./usr/lib/udev/rules.d/70-kelto.rules \
         ./usr/share/man/man1/kelto.1.gz ./usr/share/man/man1/kelto-cli.1.gz \
         ./usr/share/bash-completion/completions/kelto-cli \
         ./usr/share/metainfo/example.kelto_lighting.kelto.metainfo.xml \
         ./usr/share/doc/kelto/copyright ./usr/share/doc/kelto/changelog.gz; do
  grep -qx "$f" <<<"$listing" || { echo "missing in package: $f"; exit 1; }
done
if grep -E 'emulator|driver' <<<"$listing"; then
  echo "test-only files in the package"; exit 1
fi
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for d in libusb-0.1-4 libqt6widgets6 qt6-qpa-plugins libqt6sql6-sqlite; do
  grep -qF "$d" <<<"$depends" || { echo "missing dependency: $d"; exit 1; }
done
# Built on Qt's private text layout (KELTO_QT_PRIVATE) the program works
# only with the exact Qt it was built against, and the package must say so;
# built without it, it must not tie itself to one Qt.
# The pin's name is the system's: qt6-base-abi on Debian 12,
# qt6-base-private-abi from Debian 13 on.
private=$(sed -n 's/^KELTO_QT_PRIVATE:BOOL=//p' "$build/CMakeCache.txt")
pin='qt6-base(-private)?-abi'
if [ "$private" = ON ]; then
  grep -qE "$pin \\(= " <<<"$depends" || { echo "missing dependency: qt6-base-abi or qt6-base-private-abi"; exit 1; }
elif grep -qE "$pin" <<<"$depends"; then
  echo "package pins one Qt though it uses no private Qt interface"; exit 1
fi
# Nothing world-writable, nothing setuid.
if dpkg-deb -c "$deb" | awk '{print $1}' | grep -E '^.{8}w|^...s|^......s'; then
  echo "unsafe permissions in package"; exit 1
fi

# Debian's own checks, and those of the desktop's metadata: not one error
# or warning (lintian's informational tags are allowed).
validators=$(mktemp -d)
dpkg-deb -x "$deb" "$validators"
failed=0
echo "lintian:"
# lintian says once that it runs as root; that is no finding.
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2) || failed=1
echo "appstreamcli validate:"
metainfo=$validators/usr/share/metainfo/example.kelto_lighting.kelto.metainfo.xml
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || failed=1
echo "$out"
grep -qE '^[EW]:' <<<"$out" && failed=1
echo "desktop-file-validate:"
out=$(desktop-file-validate "$validators/usr/share/applications/kelto.desktop" 2>&1) || failed=1
echo "${out:-no findings}"
[ -z "$out" ] || failed=1
# The metadata's newest release is the package's version.
grep -q "<release version=\"$(dpkg-deb -f "$deb" Version)\"" "$metainfo" || {
  echo "the metadata's newest release is not $(dpkg-deb -f "$deb" Version)"; failed=1; }
# The distribution's hardening (PIE, stack protector, fortified calls,
# relro and bindnow; stack clash protection shows only in functions with
# large frames). Debian 12's C start files carry no control-flow marking,
# so no program linked there can: that one check is not asked for.
# The manual page as man shows it: each option a paragraph of its own (an
# option whose text starts on the next line once ran into the one before),
# and every exit code.
manpage=$validators/usr/share/man/man1/kelto-cli.1.gz
if zcat "$manpage" | grep -E '^\\-\\-[a-z]'; then
  echo "kelto-cli(1): an option above runs into the paragraph before it"; failed=1
fi
page=$(MANWIDTH=80 man -l "$manpage" 2>/dev/null)
exits=$(sed -n '/^EXIT STATUS/,/^FILES/p' <<<"$page")
for code in 0 1 2 129 130 143; do
  grep -qE "^ +$code +[a-z]" <<<"$exits" || { echo "kelto-cli(1): exit status $code missing"; failed=1; }
done
echo "hardening-check:"
# Judged line by line, so that a check a newer hardening-check adds for
# the same start-file marking (branch protection, Debian 13) is let pass
# too, and nothing else.
hardening=$(hardening-check --nocfprotection "$validators/usr/bin/kelto" \
  "$validators/usr/bin/kelto-cli" 2>&1) || true
echo "$hardening"
if grep -E ': no\b' <<<"$hardening" | grep -qvE '^ (Control flow integrity|Branch Protection):'; then
  failed=1
fi
grep -qE '^ Position Independent Executable: yes' <<<"$hardening" || failed=1
rm -rf "$validators"
[ "$failed" -eq 0 ] || { echo "package validators or hardening-check found faults"; exit 1; }

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
