#!/bin/sh
# A database whose one value is just under SQLite's default maximum length of 1,000,000,000
# bytes: Start, Compress and Repair through tidewell-cli, each with its time and peak memory,
# and the value checked afterwards (length and samples at both ends and the middle).
#   bench/large_value.sh BUILD_DIR [BYTES]     (default 999000000; needs about 4 GB of disk)
set -eu
build=$1
bytes=${2:-999000000}
dir=${TIDEWELL_BENCH_DIR:-/tmp/tidewell-bench-scale}/large-value
rm -rf "$dir"
mkdir -p "$dir"
db=$dir/Vardlink.mdb
sqlite3 "$db" "CREATE TABLE Big(id INTEGER PRIMARY KEY, v BLOB); INSERT INTO Big(v) VALUES (randomblob($bytes));"
sqlite3 "$dir/Vardlink-Queue.mdb" "CREATE TABLE Queue(x); INSERT INTO Queue VALUES (1);"
probe="SELECT length(v), hex(substr(v, 1, 16)), hex(substr(v, $bytes / 2, 16)), hex(substr(v, -16)) FROM Big"
before=$(sqlite3 "$db" "$probe")
for action in start compress repair; do
  /usr/bin/time -f "$action: %e s, peak %M KB" "$build/cli/tidewell-cli" "$action" "$db" >"$dir/$action.out" 2>"$dir/$action.err" || true
  tail -n 1 "$dir/$action.err"
  grep -E '^\[' "$dir/$action.out" || true
  after=$(sqlite3 "$db" "$probe")
  [ "$after" = "$before" ] && echo "$action: value intact" || echo "$action: VALUE CHANGED: $after"
done
rm -rf "$dir"
