#!/usr/bin/env bash
# A run whose process is killed (SIGKILL: nothing of it runs after) stays in
# the history as unfinished, with its host and process id, and the next run
# is recorded beside it.
#   killed_run.sh KELTO_CLI FILE.upg HISTORY
set -u
cli=$1 upg=$2 history=$3
rm -f "$history" "$history"-wal "$history"-shm
# The realistic timing keeps the run in its page loop for seconds.
KELTO_EMU_TIMING=realistic "$cli" upgrade --history "$history" "$upg" >/dev/null 2>&1 &
pid=$!
sleep 3
kill -KILL "$pid"
wait "$pid" 2>/dev/null
"$cli" upgrade --history "$history" "$upg" >/dev/null || exit 1
listed=$("$cli" history --history "$history")
echo "$listed"
[ "$(echo "$listed" | wc -l)" -eq 2 ] || exit 1
echo "$listed" | head -1 | grep -q "  unfinished  .* $(hostname) pid $pid\b" || exit 1
echo "$listed" | tail -1 | grep -q "  ok  " || exit 1
