#!/usr/bin/env bash
# Builds the salvage fuzz target with clang's libFuzzer, AddressSanitizer and UBSan, and
# runs it for the given number of seconds (default 1800) on a copy of the seeds. The
# per-input timeout (FUZZ_TIMEOUT, default 60 s) is wall-clock time, generous because the
# run is meant to sit at nice 19 on a busy machine.
#   fuzz/run-fuzz.sh [SECONDS] [WORK_DIR]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
secs="${1:-1800}"
work="${2:-$root/build-fuzz}"
cxx="${CXX_FUZZ:-clang++-14}"
mkdir -p "$work/corpus" "$work/artifacts"
"$cxx" -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root" "$here/salvage_fuzz.cpp" "$root/engine/pagefile/format.cpp" \
  "$root/engine/pagefile/recover.cpp" "$root/engine/pagefile/schema.cpp" \
  "$root/engine/pagefile/index_check.cpp" "$root/engine/pagefile/committed.cpp" \
  "$root/engine/file_lock.cpp" "$root/engine/errors.cpp" \
  -o "$work/salvage_fuzzer"
cp -n "$here"/seeds/* "$work/corpus/" 2>/dev/null || true
cd "$work"
exec ./salvage_fuzzer -max_total_time="$secs" -timeout="${FUZZ_TIMEOUT:-60}" -rss_limit_mb=2048 \
  -max_len=131072 -print_final_stats=1 -artifact_prefix="$work/artifacts/" corpus
