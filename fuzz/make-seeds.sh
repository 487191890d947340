#!/usr/bin/env bash
# Regenerates the fuzz seeds: small databases (page size 512, a few KB each) that between
# them hold every page kind the salvage reads: table and index b-trees of two levels,
# overflow chains, freelist trunk and leaf pages, an auto-vacuum file with pointer-map
# pages, a UTF-16 file and a catalog that spans more than one page.
set -euo pipefail
out="$(cd "$(dirname "$0")" && pwd)/seeds"
mkdir -p "$out"
rm -f "$out"/*.db
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
ls -l "$out"
