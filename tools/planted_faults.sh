#!/bin/bash
# What the test suite catches: plants one fault at a time into the product code, builds,
# runs the suite until its first failure, and puts the file back.
#
#   tools/planted_faults.sh [SOURCE_DIR [BUILD_DIR [FAULTS_FILE]]]
#
# SOURCE_DIR defaults to this checkout. Point it at an exported copy (git archive) to
# measure one commit while working on another; its files are changed while a fault is in.
# BUILD_DIR (default SOURCE_DIR/build-faults) is configured once and rebuilt incrementally.
# FAULTS_FILE defaults to tools/planted_faults.txt. Prints one line a fault:
#   CAUGHT  name  (first failing test)   ESCAPED  name   INVALID  name  (why)
# A fault that stops the build is INVALID, not caught: the suite never ran against it.
# ONLY=REGEX restricts the run to the faults whose names match.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
src=$(cd "${1:-$here}" && pwd)
build=${2:-$src/build-faults}
faults=${3:-$here/tools/planted_faults.txt}
jobs=${JOBS:-2}
export CCACHE_DIR=${CCACHE_DIR:-/work/.ccache} QT_QPA_PLATFORM=offscreen

log() { echo "$@" >&2; }

if [ ! -f "$build/build.ninja" ]; then
  launcher=()
  command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache
                                             -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
    >/dev/null || exit 1
fi
# The test programs run directly, lowest layer first, each split into $jobs shards that run
# side by side and stop at their first failure: a caught fault costs only the tests up to
# the one that catches it. The fuzz replay runs last, through CTest.
# PROGRAMS="..." runs only those (the fuzz replay always runs).
all_programs="collection_tests engine_tests salvage_tests maintenance_tests repair_tests workflows_tests"
all_programs+=" cli_tests app_tests whole_tests"
read -r -a programs <<<"${PROGRAMS:-$all_programs}"
# The programs the tests run, the program the console tests start, and what the installed
# product's test installs; no benchmarks.
targets=("${programs[@]}" tidewell-cli tidewell tidewell_man_pages salvage_fuzz_replay)
build() { nice -n 5 ninja -C "$build" -j "$jobs" "${targets[@]}" >"$build/fault-build.log" 2>&1 </dev/null; }

failure=""
suite() {
  failure=""
  local p exe i pids ok
  for p in "${programs[@]}"; do
    exe=$(find "$build/tests" -name "$p" -type f -perm -u+x | head -1)
    [ -n "$exe" ] || continue
    pids=()
    for ((i = 0; i < jobs; i++)); do
      GTEST_TOTAL_SHARDS=$jobs GTEST_SHARD_INDEX=$i timeout 1200 nice -n 5 "$exe" \
        --gtest_fail_fast --gtest_brief=1 >"$build/fault-$p-$i.log" 2>&1 </dev/null &
      pids+=($!)
    done
    ok=1
    for i in "${pids[@]}"; do wait "$i" || ok=0; done
    if [ "$ok" = 0 ]; then
      failure=$(grep -h -m1 -o '^\[  FAILED  \] [^ ,]*' "$build"/fault-"$p"-*.log | head -1 |
                cut -c14-)
      failure="$p ${failure:-(crashed or timed out)}"
      return 1
    fi
  done
  (cd "$build" && ctest -R salvage_fuzz_smoke --timeout 400 -Q </dev/null >/dev/null) ||
    { failure="salvage_fuzz_smoke"; return 1; }
  (cd "$build" && ctest -R installed_product -Q </dev/null >/dev/null) ||
    { failure="installed_product"; return 1; }
}

# The suite must pass without a fault, or every fault would look caught.
if [ -z "${SKIP_CLEAN:-}" ]; then
  build || { log "the unchanged source does not build"; exit 1; }
  suite || { log "the unchanged suite fails: $failure"; exit 1; }
fi

caught=0 escaped=0 invalid=0
while IFS=$'\t' read -r -u 3 name file search replace; do
  [[ -z "$name" || "$name" == \#* ]] && continue
  [[ -n "${ONLY:-}" && ! "$name" =~ $ONLY ]] && continue
  target="$src/$file"
  backup=$(mktemp)
  cp "$target" "$backup"
  # Exactly one match, or the fault is not the one written down.
  if ! python3 - "$target" "$search" "$replace" <<'EOF'; then
import sys
def unescape(s):
    return s.encode().decode("unicode_escape").encode("latin-1").decode()
path, search, replace = sys.argv[1], unescape(sys.argv[2]), unescape(sys.argv[3])
text = open(path, encoding="utf-8").read()
if text.count(search) != 1:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(search, replace))
EOF
    echo "INVALID  $name  (text not found exactly once in $file)"
    invalid=$((invalid + 1))
  elif ! build; then
    echo "INVALID  $name  (does not build)"
    invalid=$((invalid + 1))
  elif suite; then
    echo "ESCAPED  $name"
    escaped=$((escaped + 1))
  else
    echo "CAUGHT   $name  ($failure)"
    caught=$((caught + 1))
  fi
  # A plain copy gives the file a new time, so the next build compiles it again.
  cp "$backup" "$target"
  rm -f "$backup"
done 3<"$faults"
build
echo "caught $caught, escaped $escaped, invalid $invalid"
