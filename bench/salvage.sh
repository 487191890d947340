#!/usr/bin/env bash
# Runs the salvage benchmarks from a build folder:
#   bench/salvage.sh BUILD_DIR [WORK_DIR] [FILES_PER_KIND] [SIZE_MB]
# 1. the corruption corpus: Tidewell's page-level salvage, the sqlite3 shell's .recover
#    (with bench/dbpage_ext.c loaded) and the engine's RepairDatabase over the same files;
#    besides our own files it damages real SQLite files nobody here wrote,
#    $TIDEWELL_FOREIGN_DB (':'-separated; default: PROJ's proj.db from Debian's proj-data,
#    and the files bench/real_files.sh makes with spatialite, fossil and python3, all of
#    which `make bench` installs);
# 2. the salvage of a damaged file of SIZE_MB (default 1024) MB: time and peak memory
#    (SIZE_MB 0 skips it).
set -euo pipefail
build="$(cd "${1:?usage: bench/salvage.sh BUILD_DIR [WORK_DIR] [FILES_PER_KIND] [SIZE_MB]}" && pwd)"
work="${2:-${TMPDIR:-/tmp}/tidewell-salvage-bench}"
per_kind="${3:-3}"
size_mb="${4:-1024}"
if [ -z "${TIDEWELL_FOREIGN_DB:-}" ]; then
  foreign=/usr/share/proj/proj.db
  [ -f "$foreign" ] || echo "bench/salvage.sh: no $foreign; the corpus runs without it" >&2
  if made=$(bash "$(dirname "$0")/real_files.sh" "$work/real"); then
    foreign="$foreign:$made"
  else
    echo "bench/salvage.sh: the files of other programs could not be made" >&2
  fi
else
  foreign=$TIDEWELL_FOREIGN_DB
fi
cmake --build "$build" --target bench-salvage-corpus bench-salvage-memory dbpage
"$build/bench/bench-salvage-corpus" "$work/corpus" "$build/bench/libdbpage.so" "$per_kind" "$foreign"
if [ "$size_mb" != 0 ]; then
  "$build/bench/bench-salvage-memory" "$work/memory" "$size_mb"
fi
