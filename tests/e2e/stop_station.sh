#!/bin/sh
# A station run is stopped once its units are in their page loops: every
# unit must still end with its record, and the summary must follow.
#   stop_station.sh KELTO_CLI FILE.upg WORKDIR
cli=$1 upg=$2 work=$3
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
kill -TERM $station
wait $station
code=$?
cat "$work/out"
cat "$work/err" >&2
exit $code
