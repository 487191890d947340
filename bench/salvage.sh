#!/usr/bin/env bash
# Runs the salvage benchmarks from a build folder:
#   bench/salvage.sh BUILD_DIR [WORK_DIR] [FILES_PER_KIND] [SIZE_MB]
# 1. the corruption corpus: Tidewell's page-level salvage, the sqlite3 shell's .recover
#    (with bench/dbpage_ext.c loaded) and the engine's RepairDatabase over the same files;
# 2. the salvage of a damaged file of SIZE_MB (default 1024) MB: time and peak memory.
set -euo pipefail
build="$(cd "${1:?usage: bench/salvage.sh BUILD_DIR [WORK_DIR] [FILES_PER_KIND] [SIZE_MB]}" && pwd)"
work="${2:-${TMPDIR:-/tmp}/tidewell-salvage-bench}"
per_kind="${3:-3}"
size_mb="${4:-1024}"
cmake --build "$build" --target bench-salvage-corpus bench-salvage-memory dbpage
"$build/bench/bench-salvage-corpus" "$work/corpus" "$build/bench/libdbpage.so" "$per_kind"
"$build/bench/bench-salvage-memory" "$work/memory" "$size_mb"
