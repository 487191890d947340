#!/usr/bin/env bash
# Regenerates the fuzz seeds: small databases (page size 512, a few KB each) that between
# them hold every page kind the salvage reads: table and index b-trees of two levels,
# overflow chains, freelist trunk and leaf pages, an auto-vacuum file with pointer-map
# pages, a UTF-16 file, a catalog that spans more than one page, WITHOUT ROWID tables of
# two levels (one with its root smashed) and a catalog page whose b-tree header and cell
# pointers are smashed while its records stay; and the two companions a crash leaves, a
# hot rollback journal and a write-ahead log with commits (copied while the shell that
# wrote them still had them open).
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/seeds"
mkdir -p "$out"
rm -f "$out"/*.db "$out"/*.journal "$out"/*.wal
mk() { rm -f "$out/$1"; sqlite3 "$out/$1" "$2"; }
mk basic.db "PRAGMA page_size=512;
CREATE TABLE links(id INTEGER PRIMARY KEY, url TEXT NOT NULL, status INTEGER, checked REAL);
CREATE UNIQUE INDEX links_url ON links(url);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<60)
INSERT INTO links SELECT i, 'http://example.com/p' || i, 200 + i % 3, 45000.5 + i FROM n;"
mk overflow.db "PRAGMA page_size=512;
CREATE TABLE pages(url TEXT PRIMARY KEY, body TEXT, raw BLOB);
INSERT INTO pages VALUES('a', printf('%.1500c', 'x'), randomblob(700));
INSERT INTO pages VALUES('b', 'short', NULL);
INSERT INTO pages VALUES('c', printf('%.900c', 'y'), zeroblob(10));"
mk freelist.db "PRAGMA page_size=512;
CREATE TABLE q(id INTEGER PRIMARY KEY, url TEXT, prio INTEGER);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<80)
INSERT INTO q SELECT i, 'http://q.example/' || i, i % 5 FROM n;
DELETE FROM q WHERE id > 20;"
mk autovacuum.db "PRAGMA page_size=512; PRAGMA auto_vacuum=FULL;
CREATE TABLE s(k TEXT PRIMARY KEY, v TEXT) WITHOUT ROWID;
CREATE TABLE t(a, b, c);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<40)
INSERT INTO t SELECT i, -i * 1000000007, printf('%.300c', 'z') FROM n;
INSERT INTO s VALUES('x','1'),('y','2');"
mk utf16.db "PRAGMA page_size=512; PRAGMA encoding='UTF-16le';
CREATE TABLE settings(name TEXT, value TEXT);
INSERT INTO settings VALUES('Start','ja'),('Größe','1.5'),('emoji','😀');"
mk schema.db "PRAGMA page_size=512;
CREATE TABLE a1(x INTEGER PRIMARY KEY AUTOINCREMENT, y TEXT DEFAULT 'no', z NUMERIC);
CREATE TABLE a2(\"quoted \"\"name\"\"\" TEXT, [br] INT, \`bt\` REAL, CONSTRAINT pk PRIMARY KEY(br));
CREATE TABLE a3(p, q, r, s, t, u, v, w, PRIMARY KEY(p, q));
CREATE INDEX a1_y ON a1(y DESC);
CREATE VIEW v1 AS SELECT * FROM a1;
CREATE TRIGGER tr AFTER INSERT ON a1 BEGIN UPDATE a1 SET z = 1 WHERE x = new.x; END;
INSERT INTO a1(y, z) VALUES('one', 1), ('two', 2.5), (NULL, 'text');
INSERT INTO a2 VALUES('q', 7, 1e300);
ALTER TABLE a2 ADD COLUMN added TEXT DEFAULT 'd';
INSERT INTO a2 VALUES('r', 8, -0.0, 'new');"
mk withoutrowid.db "PRAGMA page_size=512;
CREATE TABLE h(url TEXT, host TEXT NOT NULL, hits INT, PRIMARY KEY(hits, url)) WITHOUT ROWID;
CREATE INDEX h_host ON h(host);
CREATE TABLE k(name TEXT PRIMARY KEY, body BLOB) WITHOUT ROWID;
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<70)
INSERT INTO h SELECT 'http://h' || (i % 7) || '/' || i, 'h' || (i % 7), i % 9 FROM n;
INSERT INTO k VALUES('big', zeroblob(900)), ('small', x'00');"
# Bytes overwritten in place, as a damaged disk leaves them.
smash() { printf "%${3}s" '' | tr ' ' "$4" | dd of="$out/$1" bs=1 seek="$2" conv=notrunc status=none; }
cp "$out/withoutrowid.db" "$out/withoutrowid-root.db"
root=$(sqlite3 "$out/withoutrowid.db" "SELECT rootpage FROM sqlite_schema WHERE name='h'")
smash withoutrowid-root.db $(((root - 1) * 512)) 512 Z
cp "$out/schema.db" "$out/catalog-pointers.db"
smash catalog-pointers.db 100 40 w
mk catalog-tree.db "PRAGMA page_size=512;
$(for i in $(seq 1 12); do echo "CREATE TABLE t$i(id INTEGER PRIMARY KEY, note_$i TEXT, n INT);
CREATE VIEW v$i AS SELECT note_$i FROM t$i WHERE n > $i; INSERT INTO t$i VALUES($i, 'x$i', $i);"; done)"
tmp="$(mktemp -d)"
sqlite3 "$tmp/j.db" "PRAGMA page_size=512; CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<40)
INSERT INTO t SELECT i, printf('%.40c', 'j') FROM n;"
sqlite3 "$tmp/j.db" <<EOF
PRAGMA cache_size = 1;
BEGIN;
UPDATE t SET v = 'changed';
.system cp "$tmp/j.db-journal" "$out/hot.journal"
EOF
sqlite3 "$tmp/w.db" <<EOF
PRAGMA page_size = 512;
PRAGMA journal_mode = WAL;
PRAGMA wal_autocheckpoint = 0;
CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);
INSERT INTO t VALUES (1, 'one'), (2, 'two');
UPDATE t SET v = 'three' WHERE id = 2;
.system cp "$tmp/w.db-wal" "$out/log.wal"
EOF
rm -rf "$tmp"
ls -l "$out"
