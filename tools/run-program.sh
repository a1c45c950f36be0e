#!/usr/bin/env bash
# Starts the program. Without a display it runs under a virtual X server,
# leaves a screenshot of the window in build/kelto-window.png and closes.
set -euo pipefail
exe=${1:-build/default/app/kelto}
shot=${SHOT:-build/kelto-window.png}

if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  exec "$exe"
fi

xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "$0" & pid=$!
  sleep 3
  import -window root "$1"
  kill -TERM $pid; wait $pid || true
' "$exe" "$shot"
echo "No display: ran headless; screenshot in $shot"
