#!/usr/bin/env bash
# Makes SQLite files with programs other than ours, for the salvage corpus:
#   bench/real_files.sh DIR
# prints their paths, separated by ':'. Each is written by the program itself (Debian's
# spatialite-bin, fossil and python3, which `make bench` installs):
#   geo.sqlite   spatialite's metadata (a catalog of some 300 entries over many pages, page 1
#                an interior page, many tables of one shape) and a table of points with its
#                R*Tree index, in write-ahead mode;
#   blobs.fossil a fossil repository holding a few binaries: blobs of up to megabytes, long
#                overflow chains;
#   docs.db      python3's sqlite3 module, in write-ahead mode: an index of the copyright
#                files under /usr/share/doc, a WITHOUT ROWID table and an FTS5 table.
set -euo pipefail
dir="$(mkdir -p "${1:?usage: bench/real_files.sh DIR}" && cd "$1" && pwd)"
rm -rf "${dir:?}"/geo.sqlite* "$dir"/blobs.fossil* "$dir"/docs.db* "$dir/ws" "$dir/home"
mkdir -p "$dir/home" "$dir/ws"

spatialite "$dir/geo.sqlite" "PRAGMA journal_mode=WAL; SELECT InitSpatialMetadata(1);
  CREATE TABLE places(id INTEGER PRIMARY KEY, name TEXT NOT NULL, kind TEXT);
  SELECT AddGeometryColumn('places', 'geom', 4326, 'POINT', 'XY');
  WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 3000)
  INSERT INTO places(id, name, kind, geom) SELECT i, 'place ' || i,
    CASE i % 3 WHEN 0 THEN 'town' WHEN 1 THEN 'river' ELSE 'hill' END,
    MakePoint((i % 360) - 180.0, (i % 170) - 85.0, 4326) FROM k;
  SELECT CreateSpatialIndex('places', 'geom');" >/dev/null 2>&1

# fossil wants a user and a home of its own; the checkout is only the way in.
(
  export HOME="$dir/home" USER=crawler
  fossil init -A crawler "$dir/blobs.fossil" >/dev/null
  cd "$dir/ws"
  fossil open "$dir/blobs.fossil" >/dev/null
  cp /usr/bin/fossil /usr/bin/spatialite /usr/bin/sqlite3 .
  head -c 300000 /dev/zero | tr '\0' 'x' >repeated.txt
  fossil add . >/dev/null
  fossil commit -m "binaries" --no-warnings >/dev/null 2>&1
  fossil close --force >/dev/null 2>&1
)
rm -rf "$dir/ws" "$dir/home"

python3 - "$dir/docs.db" <<'PY'
import os, sqlite3, sys
db = sqlite3.connect(sys.argv[1])
db.execute("PRAGMA journal_mode=WAL")
db.executescript("""
CREATE TABLE package(name TEXT PRIMARY KEY, files INTEGER, bytes INTEGER) WITHOUT ROWID;
CREATE TABLE copyright(id INTEGER PRIMARY KEY, package TEXT NOT NULL, text TEXT);
CREATE INDEX copyright_package ON copyright(package);
CREATE VIRTUAL TABLE words USING fts5(package, text);
""")
root = "/usr/share/doc"
for name in sorted(os.listdir(root))[:150]:
    path = os.path.join(root, name, "copyright")
    if not os.path.isfile(path):
        continue
    with open(path, "rb") as f:
        text = f.read().decode("utf-8", "replace")
    files = len(os.listdir(os.path.join(root, name)))
    db.execute("INSERT INTO package VALUES (?, ?, ?)", (name, files, len(text)))
    db.execute("INSERT INTO copyright(package, text) VALUES (?, ?)", (name, text))
    db.execute("INSERT INTO words VALUES (?, ?)", (name, text))
db.commit()
db.close()
PY

echo "$dir/geo.sqlite:$dir/blobs.fossil:$dir/docs.db"
