#!/bin/sh
# A station run is stopped once its units are in their page loops: every
# unit must still end with its record, and the summary must follow.
#   stop_station.sh KELTO_CLI FILE.upg WORKDIR [SIGNAL...]
# Each SIGNAL (default TERM) goes to the station, one after the other;
# UNIT sends TERM to one of its units instead. Every unit process must
# have ended 3 s after the last signal, whatever became of the station.
cli=$1 upg=$2 work=$3
shift 3
[ $# -gt 0 ] || set -- TERM
mkdir -p "$work"
# Emptied here, not by the background job: the wait below must not read
# the lines of an earlier run.
: >"$work/out"
"$cli" upgrade --all --json "$upg" >"$work/out" 2>"$work/err" &
station=$!
tries=0
until grep -q "Writting firmware" "$work/out"; do
  tries=$((tries + 1))
  [ $tries -le 600 ] || break
  sleep 0.05
done
units=$(pgrep -P $station)
for s in "$@"; do
  if [ "$s" = UNIT ]; then
    units=$(echo "$units" | head -n 1)
    kill -TERM $units
  else
    kill -$s $station
  fi
done
tries=0
for unit in $units; do
  while kill -0 $unit 2>/dev/null; do
    tries=$((tries + 1))
    [ $tries -le 30 ] || break 2
    sleep 0.1
  done
done
wait $station
code=$?
cat "$work/out"
cat "$work/err" >&2
if [ $tries -le 30 ]; then
  echo "every unit ended within 3 s" >&2
else
  echo "a unit still ran 3 s after the signal" >&2
fi
exit $code
