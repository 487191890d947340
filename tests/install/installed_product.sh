#!/bin/bash
# The installed product, as the package gets it: `cmake --install` of the build into a
# scratch DESTDIR, then exactly the files the package must hold, and the installed
# tidewell-cli run from a crawler's folder on files the sqlite3 shell wrote.
#
#   installed_product.sh BUILD_DIR VERSION window|console
set -u
build=$1 version=$2 flavour=$3
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-install.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

root=$scratch/root
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$scratch/install.log" 2>&1; then
  cat "$scratch/install.log"
  fail "cmake --install failed"
  exit 1
fi

# Everything the package holds, and nothing else.
expected=(
  usr/bin/tidewell-cli
  usr/share/man/man1/tidewell-cli.1.gz
  usr/share/doc/tidewell/README.md
  usr/share/doc/tidewell/LICENSE
  usr/share/doc/tidewell/docs/cli.md
  usr/share/doc/tidewell/docs/guarantees.md
  usr/share/doc/tidewell/docs/benchmarks.md
  usr/share/doc/tidewell/copyright
)
if [ "$flavour" = window ]; then
  expected+=(
    usr/bin/tidewell
    usr/share/man/man1/tidewell.1.gz
    usr/share/applications/tidewell.desktop
    usr/share/icons/hicolor/scalable/apps/tidewell.svg
  )
fi
diff <(printf '%s\n' "${expected[@]}" | sort) <(cd "$root" && find . -type f -printf '%P\n' | sort) \
  >"$scratch/files.diff" || { cat "$scratch/files.diff"; fail "installed files differ (< missing, > unexpected)"; }

for bin in "${expected[@]}"; do
  case $bin in usr/bin/*) [ -x "$root/$bin" ] || fail "$bin is not executable" ;; esac
done
for page in "$root"/usr/share/man/man1/*.1.gz; do
  [ -e "$page" ] || continue
  zcat "$page" | grep -q '^\.SH FILES' || fail "$(basename "$page") has no FILES section"
done
grep -q 'MIT licence' "$root/usr/share/doc/tidewell/copyright" 2>/dev/null ||
  fail "the copyright file does not name the licence"

desktop=$root/usr/share/applications/tidewell.desktop
if [ "$flavour" = window ]; then
  if ! command -v desktop-file-validate >/dev/null; then
    fail "desktop-file-validate is missing (make deps installs desktop-file-utils)"
  else
    out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop entry: $out"
    [ -z "$out" ] || fail "desktop entry: $out"
  fi
  grep -qx 'Exec=tidewell VL %f' "$desktop" || fail "the desktop entry does not pass a file"
  grep -q '^MimeType=.*application/vnd\.sqlite3;' "$desktop" ||
    fail "the desktop entry offers no SQLite type"
fi

# The installed console, run where a user runs it: in the crawler's folder, no path given.
cli=$root/usr/bin/tidewell-cli
if [ -x "$cli" ]; then
  out=$("$cli" --version 2>&1)
  [ "$out" = "tidewell-cli $version" ] || fail "--version said: $out"

  crawl=$scratch/crawl
  mkdir -p "$crawl"
  for db in Vardlink.mdb Vardlink-Queue.mdb; do
    sqlite3 "$crawl/$db" "CREATE TABLE Urls(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL);
      CREATE UNIQUE INDEX UrlKey ON Urls(Url);
      WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50)
      INSERT INTO Urls SELECT i, 'https://example.org/' || i FROM n;" ||
      fail "sqlite3 could not write $db"
  done
  before=$(cd "$crawl" && ls)
  out=$(cd "$crawl" && "$cli" check 2>&1)
  status=$?
  [ $status = 0 ] || fail "check exited $status"
  grep -q "^$crawl/Vardlink.mdb:" <<<"$out" || fail "check did not look in the current folder"
  grep -q "Urls: 50 records" <<<"$out" || fail "check did not count the rows"
  [ "$(grep -c '^  sound$' <<<"$out")" = 2 ] || fail "check did not find both files sound"
  [ "$(cd "$crawl" && ls)" = "$before" ] || fail "check left files behind"
  [ $failures = 0 ] || echo "$out"
fi

[ $failures = 0 ] && echo "installed product: ${#expected[@]} files, tidewell-cli runs"
exit $((failures > 0))
