#!/usr/bin/env bash
# Runs the program against the emulated converter (no device needed) for a
# firmware change with the sample firmware's upgrade file.
#
#   tools/run-program.sh [build/default/app/kelto]
#
# With a display the window opens and the operator presses "Firmware
# Change" and picks the upgrade file printed below. Without one the program
# runs on a virtual X server (or Qt's offscreen platform), a preloaded
# operator does the same, the log lines and the outcome are printed, and a
# picture of the window after the upgrade is left in build/kelto-window.png.
# The program itself is the unchanged one, linked to the system's
# libusb-0.1: kelto-testbed serves the emulated converter at the kernel's USB
# interface (a umockdev test bed: /dev/bus/usb and /sys), and only the
# headless operator comes in through LD_PRELOAD.
set -euo pipefail
exe=${1:-build/default/app/kelto}
build=$(cd "$(dirname "$exe")/.." && pwd)
shot=${SHOT:-build/kelto-window.png}
debuglog=${DEBUGLOG:-build/kelto-debug.log}

buildlog=$(mktemp)
if ! cmake --build "$build" --target kelto kelto-testbed kelto_demo \
  kelto_sample_firmware_files >"$buildlog" 2>&1; then
  cat "$buildlog" >&2
  rm -f "$buildlog"
  exit 1
fi
rm -f "$buildlog"
upg=$build/sample-firmware/kelto_sample.upg
testbed=$build/emulator/kelto-testbed
operator=$build/tools/demo/libkelto-demo.so
for f in "$exe" "$upg" "$testbed" "$operator"; do
  [ -e "$f" ] || { echo "missing $f" >&2; exit 1; }
done

# The emulated converter: application running, real-time transfer and
# programming times, ~1.2 s to come back after a restart.
export KELTO_EMU_MODE=application KELTO_EMU_TIMING=realistic
mkdir -p "$(dirname "$shot")" "$(dirname "$debuglog")"

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Emulated converter attached (application mode)."
  echo "Press \"Firmware Change\" and pick: $upg"
  echo "Debug output goes to $debuglog"
  "$testbed" -- "$exe" 2>"$debuglog"
  exit $?
fi

echo "No display: running headless with a scripted operator."
echo "Upgrade file: $upg"
export KELTO_DEMO_FILE=$upg KELTO_DEMO_SHOT=$shot
status=0
if command -v xvfb-run >/dev/null; then
  xvfb-run -a -s "-screen 0 1024x768x24" \
    "$testbed" --preload "$operator" -- "$exe" 2>"$debuglog" || status=$?
else
  QT_QPA_PLATFORM=offscreen \
    "$testbed" --preload "$operator" -- "$exe" 2>"$debuglog" || status=$?
fi
echo "Debug output in $debuglog; screenshot in $shot"
exit $status
