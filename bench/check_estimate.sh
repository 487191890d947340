#!/usr/bin/env bash
# bench/check_estimate.sh [BUILD_DIR] [SIZE_MB]
#
# How close `check`'s estimate of the compacted size comes to what Compress then really
# produces, on files with deleted rows: the sample crawler database (rows deleted here and
# there, and a whole range deleted), its queue database, and two files of other shapes made
# with the sqlite3 shell (many small rows under an index plus a WITHOUT ROWID table; large
# blobs on 1 KB pages). Also times `check` against a bare `PRAGMA quick_check`, to show
# what the space figures add. Not a test: it prints a table.
set -euo pipefail

build=${1:-build}
size_mb=${2:-50}
cli=$(realpath "$build/cli/tidewell-cli")
make_sample=$(realpath "$build/tools/make-sample")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# member NAME: the number NAME in the JSON object on standard input.
member() { grep -o "\"$1\":[0-9]*" | head -1 | cut -d: -f2; }

printf '%-34s %12s %6s %12s %12s %7s %8s %8s\n' file bytes free estimate compacted error \
  'check s' 'qc s'
measure() {
  local label=$1 db=$2
  local space t0 t1 t2 est free bytes real
  t0=$(date +%s.%N)
  # Checking a queue database alone finds no queue database of its own (exit 2).
  space=$({ "$cli" --json check "$db" || true; } | grep '"event":"space"' | grep -F "\"file\":\"$db\"")
  t1=$(date +%s.%N)
  sqlite3 "$db" 'PRAGMA quick_check' >/dev/null
  t2=$(date +%s.%N)
  est=$(member compacted_bytes_estimate <<<"$space")
  free=$(member free_pages <<<"$space")
  bytes=$(member file_bytes <<<"$space")
  # Compress treats the queue database too; a missing one only changes the exit status.
  "$cli" compress "$db" >/dev/null 2>&1 || true
  real=$(stat -c %s "$db")
  awk -v l="$label" -v b="$bytes" -v f="$free" -v e="$est" -v r="$real" -v t0="$t0" -v t1="$t1" \
    -v t2="$t2" 'BEGIN { printf "%-34s %12d %6d %12d %12d %+6.1f%% %8.2f %8.2f\n",
      l, b, f, e, r, 100 * (e - r) / r, t1 - t0, t2 - t1 }'
}

mkdir -p "$work/scattered" "$work/range"
"$make_sample" "$work/scattered" --size-mb "$size_mb" >/dev/null
cp "$work/scattered/"*.mdb "$work/range/"
sqlite3 "$work/scattered/Vardlink.mdb" \
  'DELETE FROM Pages WHERE rowid % 7 < 4; DELETE FROM Links WHERE rowid % 7 < 3; DELETE FROM Queue WHERE rowid % 4 = 0;'
sqlite3 "$work/scattered/Vardlink-Queue.mdb" 'DELETE FROM Queue WHERE rowid % 3 = 0;'
sqlite3 "$work/range/Vardlink.mdb" \
  'DELETE FROM Pages WHERE rowid < (SELECT max(rowid) / 2 FROM Pages); DELETE FROM Links WHERE rowid > 300;'

# Foreign shapes, made here with the sqlite3 shell.
sqlite3 "$work/events.db" <<'SQL'
CREATE TABLE events(id INTEGER PRIMARY KEY, host TEXT, path TEXT, ts INTEGER, note TEXT);
CREATE INDEX ev_host ON events(host, ts);
CREATE TABLE kv(k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200000)
INSERT INTO events SELECT i, 'host' || (abs(random()) % 500) || '.example',
  '/p/' || substr(hex(randomblob(40)), 1, 5 + abs(random()) % 75), abs(random()) % 1000000000,
  CASE WHEN random() % 2 = 0 THEN NULL ELSE hex(randomblob(abs(random()) % 150)) END FROM n;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000)
INSERT OR REPLACE INTO kv SELECT 'key' || (abs(random()) % 10000000), randomblob(10 + abs(random()) % 2000) FROM n;
DELETE FROM events WHERE id % 3 > 0;
DELETE FROM kv WHERE k LIKE '%5';
SQL
sqlite3 "$work/blobs.db" <<'SQL'
PRAGMA page_size = 1024;
CREATE TABLE t(a INTEGER PRIMARY KEY, b BLOB);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30000)
INSERT INTO t SELECT i, randomblob(300 + abs(random()) % 2700) FROM n;
DELETE FROM t WHERE a % 4 = 1;
SQL

# What the space figures cost: a WAL-mode copy without its side files is measured but not
# opened, so `check` on it does the figures alone. Timed with the files in the page cache
# and with them dropped from it (only these files: dd's nocache drops a file's pages).
cp "$work/scattered/Vardlink.mdb" "$work/wal.mdb"
sqlite3 "$work/wal.mdb" 'PRAGMA journal_mode = WAL' >/dev/null
uncache() { for f in "$@"; do dd if="$f" iflag=nocache count=0 status=none; done; }
seconds() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" >/dev/null 2>&1 || true
  t1=$(date +%s.%N)
  awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }'
}
sample_files=("$work/scattered/Vardlink.mdb" "$work/scattered/Vardlink-Queue.mdb")
uncache "$work/wal.mdb" "${sample_files[@]}"
figures_cold=$(seconds "$cli" check "$work/wal.mdb")
whole_cold=$(seconds "$cli" check "${sample_files[0]}")
figures=$(seconds "$cli" check "$work/wal.mdb")
whole=$(seconds "$cli" check "${sample_files[0]}")
sampled=$({ "$cli" --json check "$work/wal.mdb" || true; } | grep '"event":"space"' | member sampled_pages)

measure "sample, rows deleted here and there" "$work/scattered/Vardlink.mdb"
measure "its queue database" "$work/scattered/Vardlink-Queue.mdb"
measure "sample, a range of rows deleted" "$work/range/Vardlink.mdb"
measure "small rows + WITHOUT ROWID (4 KB)" "$work/events.db"
measure "large blobs (1 KB pages)" "$work/blobs.db"

printf '\nspace figures alone (%s pages sampled): %.3f s cold, %.3f s warm\n' "$sampled" \
  "$figures_cold" "$figures"
printf 'the whole check of that file and its queue:  %.3f s cold, %.3f s warm\n' "$whole_cold" "$whole"
