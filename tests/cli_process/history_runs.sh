#!/usr/bin/env bash
# The history of real kelto-cli processes: a run whose process is killed
# (SIGKILL: nothing of it runs after) stays as unfinished, with its host and
# process id; the next run is recorded beside it; each unit of upgrade --all
# writes its own entry, naming the file the station was given.
#   history_runs.sh KELTO_CLI FILE.upg HISTORY
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
KELTO_EMU_DEVICES=2 "$cli" upgrade --all --history "$history" "$upg" >/dev/null || exit 1
listed=$("$cli" history --history "$history")
echo "$listed"
[ "$(echo "$listed" | wc -l)" -eq 4 ] || exit 1
echo "$listed" | head -1 | grep -q "  unfinished  .* $(hostname) pid $pid\b" || exit 1
[ "$(echo "$listed" | tail -3 | grep -c "  ok  $upg  ")" -eq 3 ] || exit 1
[ "$("$cli" history --history "$history" --serial KT0000002 | wc -l)" -eq 1 ] || exit 1
