#!/usr/bin/env bash
# The main job on sample data: make the crawler's three sample databases in a scratch
# folder, break one table of the main database on purpose, and run `tidewell-cli start`
# on them. Builds nothing itself (`make demo` has built BUILD_DIR already).
#   bash tools/demo.sh BUILD_DIR
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
for tool in "$build/tools/make-sample" "$build/cli/tidewell-cli"; do
  if [ ! -x "$tool" ]; then
    echo "demo: $tool not found; run 'make demo' (it builds first)" >&2
    exit 1
  fi
done
for cmd in sqlite3 dd; do
  command -v "$cmd" >/dev/null || { echo "demo: '$cmd' is needed (apt-get install sqlite3)" >&2; exit 1; }
done

scratch="$PWD/scratch/demo"
rm -rf "$scratch"
mkdir -p "$scratch"
# tidewell-cli looks for Vardlink.mdb and the template in its own folder, as the window does.
cp "$build/cli/tidewell-cli" "$scratch/"
cd "$scratch"

if [ -t 1 ]; then
  heading() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
else
  heading() { printf '\n== %s\n' "$*"; }
fi

heading "Making the sample databases in scratch/demo"
"$OLDPWD/$build/tools/make-sample" "$scratch"

table=Pages
page_size=$(sqlite3 Vardlink.mdb 'PRAGMA page_size')
root=$(sqlite3 Vardlink.mdb "SELECT rootpage FROM sqlite_master WHERE type='table' AND name='$table'")
heading "Breaking table $table on purpose: page $root ($page_size bytes) overwritten with 0xFF"
head -c "$page_size" /dev/zero | tr '\0' '\377' |
  dd of=Vardlink.mdb bs="$page_size" seek=$((root - 1)) conv=notrunc status=none

heading "Before: tidewell-cli check (read-only)"
./tidewell-cli check || echo "(check exit status $?: not sound, as intended)"

heading "tidewell-cli start: repair, compact and check Vardlink.mdb, then Vardlink-Queue.mdb"
status=0
./tidewell-cli start </dev/null || status=$?

heading "After: tidewell-cli check"
./tidewell-cli check || true

heading "Files in scratch/demo"
ls -l

if [ "$status" -ne 0 ]; then
  echo "demo: tidewell-cli start ended with exit status $status" >&2
  exit "$status"
fi
echo
echo "Done: the damaged table was found, repaired and reported; the backups lie beside the files."
