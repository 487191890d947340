// The page-level salvage end to end on files the tests damage themselves: which rows come
// back, that none comes back wrong or in another table, and what the report counts.
#include "engine/pagefile/salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>

#include "engine/errors.h"
#include "tests/support/faulty_vfs.h"
#include "tests/support/files.h"
#include "tests/support/page_fields.h"
#include "tests/support/queries.h"

namespace tidewell::engine {
namespace {

using namespace tidewell::testing;

// Every kind of table the reader knows. Links stores its whole Checked values as integers
// in a REAL column; Pages' bodies overflow; Twin has Queue's shape, so only key ranges and
// tree pointers tell their pages apart; Words has the shape of its own expression index's
// records; Hits keeps its key out of declared order and some values overflow; Queue's row
// -1 has a nine-byte key and a six-byte value. No row fits unless the quoting and comments
// are read right. Pages come last: the file ends inside the overflow chain of its last row.
const char* const kFixture =
    "CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url VARCHAR(255) NOT NULL, Status INT,"
    " Checked DOUBLE PRECISION); CREATE UNIQUE INDEX Links_Url ON Links(Url);"
    "CREATE TABLE Pages(ID INTEGER PRIMARY KEY, Body TEXT);"
    "CREATE TABLE Queue(QID INTEGER PRIMARY KEY, Url TEXT, Priority INTEGER);"
    "CREATE TABLE Twin(QID INTEGER, Url TEXT, Priority INT, PRIMARY KEY(QID), CHECK(QID>0));"
    "CREATE TABLE \"Set tings\" ( -- name, value\n [Name] TEXT PRIMARY KEY /* (, */, `Value` TEXT);"
    "CREATE TABLE Words(word TEXT PRIMARY KEY, freq INT, lang TEXT) WITHOUT ROWID;"
    "CREATE INDEX Words_lower ON Words(lower(word), freq);"
    "CREATE TABLE Hits(url TEXT, host TEXT NOT NULL, hits INT, body BLOB, PRIMARY KEY(hits, url))"
    " WITHOUT ROWID; CREATE VIEW Busy AS SELECT Url FROM Links WHERE Status = 200;"
    "CREATE TRIGGER Done AFTER DELETE ON Queue BEGIN SELECT 1; END;"
    "CREATE TEMP TABLE n AS WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k"
    " WHERE i < 1500) SELECT i FROM k;"
    "INSERT INTO Links SELECT i, 'https://host' || (i % 37) || '.example/page/' || i,"
    " 200 + (i % 3) * 100, 45000 + i / 2.0 FROM n;"
    "INSERT INTO Queue SELECT i, 'https://q.example/' || i, i % 9 FROM n WHERE i <= 900"
    " UNION ALL SELECT -1, 'https://q.example/', 140737488355327;"
    "INSERT INTO Twin SELECT i, 'https://twin.example/' || i, i % 4 FROM n WHERE i <= 700;"
    "INSERT INTO \"Set tings\" VALUES ('Start', 'yes'), ('Depth', '4'), ('Agent', 'Vardlink');"
    "INSERT INTO Words SELECT 'Word' || i, i, 'en' FROM n WHERE i <= 900;"
    "INSERT INTO Hits SELECT 'https://h' || (i % 13) || '/' || i, 'h' || (i % 13), i % 50,"
    " CASE WHEN i % 9 = 0 THEN zeroblob(1700) ELSE x'01' END FROM n WHERE i <= 700;"
    "INSERT INTO Pages SELECT i, printf('%.*c', 1049 + 1020 * (i % 4), 'p') || i FROM n"
    " WHERE i <= 40;";
// Wide and Seen are made by one case each.
const char* const kTables[] = {"Links", "Pages", "Queue", "Twin", "Set tings",
                               "Words", "Hits",  "Wide",  "Seen"};

constexpr size_t kSome = SIZE_MAX;  // at least one, and not all

struct Want {
  std::map<std::string, size_t> missing = {};  // rows per table; the other tables lose none
  size_t lost_found = 0, dropped = 0, duplicates = 0, out_of_place = 0;
  bool catalog_kept = true;
  std::set<uint32_t> unreadable = {};  // pages the disk fails to read
};

struct Damage {
  const char *name, *pragmas;
  std::string sql;  // on the whole file, before the damage
  std::function<Want(const std::string& file)> apply;
};

using F = const std::string&;  // the file to damage
// A table three levels deep on 1 KB pages: a root over two interior pages.
const char* const kDeepWide =
    "CREATE TABLE Wide(a, b, c, d, e); WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL"
    " SELECT i + 1 FROM k WHERE i < 20000) INSERT INTO Wide SELECT i, i, i, i, i FROM k";

// Makes interior page `p` forget its last three children, as the page was before a commit
// appended them; returns the first one's number.
uint32_t CutLastChildren(F f, uint32_t p) {
  const PageFields q(f);
  const uint32_t keep = q.Get(p, 3, 2) - 3, first = q.Child(p, keep + 1);
  q.Put(p, 8, q.Child(p, keep));
  q.Put(p, 3, keep, 2);
  return first;
}
Want SmashTrunk(F f, char fill) {
  const uint32_t trunk = BigEndian32(ReadAll(f), 32);
  EXPECT_NE(trunk, 0u);
  FillPage(f, trunk, fill);
  return Want{.lost_found = kSome};
}
void ExpectCount(size_t got, size_t want, size_t all, const std::string& what) {
  EXPECT_TRUE(want == kSome ? got > 0 && got < all : got == want) << what << ": " << got;
}

// A disk that fails reads of some pages: a read stops at the first bad page, as pread does
// with EIO.
struct FailingDisk final : pagefile::ByteSource {
  std::string bytes;
  std::set<uint32_t> bad;
  uint64_t Size() const override { return bytes.size(); }
  size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const override {
    size_t n = 0;
    while (n < out.size() && offset + n < bytes.size() && !bad.count((offset + n) / 1024 + 1)) ++n;
    std::copy_n(bytes.data() + offset, n, out.data());
    return n;
  }
};

// A file to salvage, and the new file its rows go to.
template <class Base = ::testing::Test>
class SalvageFiles : public Base {
 protected:
  TempDir dir;
  const std::string src = dir.File("crawl.db"), out = dir.File("salvaged.db");
};
using Salvage = SalvageFiles<>;
using SalvageRefuses = SalvageFiles<>;

class SalvageDamage : public SalvageFiles<::testing::TestWithParam<Damage>> {};

TEST_P(SalvageDamage, BringsBackExactlyTheRowsTheDamageLeaves) {
  Sql(src, std::string("PRAGMA page_size=1024;") + GetParam().pragmas + kFixture + GetParam().sql);
  std::map<std::string, std::multiset<std::string>> truth;
  for (const char* t : kTables) truth[t] = RowSet(src, t);
  auto* catalog = "SELECT type,name,sql FROM sqlite_schema WHERE name NOT LIKE 'MSys%' ORDER BY 2";
  std::vector<std::string> schema = Query(src, catalog);
  auto* counters = "SELECT name, seq FROM sqlite_sequence ORDER BY name";
  std::vector<std::string> sequence = Query(src, counters);
  uint32_t page_size = PageSizeOf(src);
  Want want = GetParam().apply(src);
  std::string bytes = ReadAll(src);
  const uint64_t pages = (bytes.size() + page_size - 1) / page_size;  // a part counts
  // The pages are read to the last, and then the indexes built: each stage once, in order,
  // never going back, its total the same throughout.
  std::vector<std::string> stages;
  std::map<std::string, std::pair<uint64_t, uint64_t>> last;
  auto progress = [&](std::string_view stage, uint64_t d, uint64_t t) {
    if (stages.empty() || stages.back() != stage) stages.emplace_back(stage);
    auto [it, first] = last.try_emplace(std::string(stage), d, t);
    EXPECT_TRUE(d <= t && (first || (d >= it->second.first && t == it->second.second)))
        << stage << ": " << d << " of " << t << " after " << it->second.first;
    it->second = {d, t};
  };
  auto disk = std::make_unique<FailingDisk>();
  disk->bytes = bytes;
  disk->bad = want.unreadable;
  SalvageReport r = want.unreadable.empty() ? PageLevelSalvage(src, out, progress)
                                            : PageLevelSalvage(std::move(disk), src, out, progress);
  EXPECT_EQ(ReadAll(src), bytes);
  const auto [read, to_read] = last["Salvaging pages"];
  EXPECT_TRUE(read == to_read && to_read <= pages) << read << " of " << to_read;
  std::vector<std::string> in_order = {"Salvaging pages"};
  if (QueryInt(out, "SELECT count(*) FROM sqlite_schema WHERE type = 'index' AND sql NOT NULL"))
    in_order.push_back("Building indexes");
  EXPECT_EQ(stages, in_order);
  EXPECT_EQ(last["Building indexes"].first, last["Building indexes"].second);
  size_t recovered = 0;
  for (const auto& [t, rows] : truth) {
    std::multiset<std::string> got = RowSet(out, t);
    EXPECT_TRUE(std::includes(rows.begin(), rows.end(), got.begin(), got.end()))
        << t << " has rows that were never there";
    ExpectCount(rows.size() - got.size(), want.missing[t], rows.size(), t);
    recovered += got.size();
  }
  EXPECT_EQ(r.rows_recovered, recovered);
  ExpectCount(r.rows_lost_found, want.lost_found, SIZE_MAX, "lost and found");
  EXPECT_EQ(Query(out, "SELECT 1 FROM MSysLostAndFound WHERE SourcePage > 1").size(),
            r.rows_lost_found);
  ExpectCount(r.rows_dropped, want.dropped, SIZE_MAX, "dropped");
  EXPECT_EQ(r.duplicate_keys, want.duplicates);
  EXPECT_EQ(r.rows_out_of_place, want.out_of_place);
  EXPECT_EQ(Query(out, catalog) == schema, want.catalog_kept);
  if (want.catalog_kept) {
    EXPECT_EQ(Query(out, counters), sequence);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SalvageDamage,
    ::testing::Values(
        Damage{"HealthyWithDeletedRowsOnFreePages", "", "DELETE FROM Queue WHERE QID > 300;",
               [](F) { return Want{}; }},
        // Generated columns are computed again rather than written, and AUTOINCREMENT
        // counters are merged, not stored as rows beside SQLite's own: no key is handed out
        // twice.
        Damage{"GeneratedColumnsAndAutoincrementCounters", "",
               "CREATE TABLE Seen(id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT, host TEXT AS"
               " (substr(url, 9, 4)) STORED, n INT AS (length(url)) VIRTUAL, at INT);"
               "INSERT INTO Seen(url, at) VALUES ('https://a.example/1', 1),"
               " ('https://b.example/2', 2), ('https://c.example/3', 3);"
               "DELETE FROM Seen WHERE id = 3;",
               [](F) { return Want{}; }},
        Damage{"AutoVacuumLeafZeroed", "PRAGMA auto_vacuum=1;", "DELETE FROM Queue WHERE QID%3=0;",
               [](F f) {
                 uint32_t leaf = PagesOf(f, "Links", "leaf").at(5);
                 Want w{.missing = {{"Links", Cells(f, leaf)}}};
                 FillPage(f, leaf, 0);
                 return w;
               }},
        // Queue and Twin have one shape and both lose their whole key range; the pointer
        // map still names the parent of Queue's leaf whose cell is gone and of the leaves
        // under Twin's smashed root, and each comes back in its own table.
        Damage{"AutoVacuumCellAndRootOfSameShapedTablesLost", "PRAGMA auto_vacuum=1;", "",
               [](F f) {
                 OverwriteAt(f, (RootPageOf(f, "Queue") - 1) * 1024ull + 12 + 2 * 3, "\xff\xff");
                 FillPage(f, RootPageOf(f, "Twin"), 0x33);
                 return Want{};
               }},
        // Page 1's last pointer leads the catalog's walk astray to a leaf of Queue, which
        // Queue's root names again under a divider out of order: the catalog is not read
        // whole, and Queue's pointer, not the catalog's, brings the leaf's rows back.
        Damage{"CatalogAndADividerOutOfOrderNamingOneLeaf", "", "",
               [](F f) {
                 const PageFields q(f);
                 const uint32_t root = RootPageOf(f, "Queue"), cell = q.CellAt(root, 10);
                 EXPECT_TRUE(q.Get(root, cell + 4, 2) >= 0x8000 && q.Get(root, cell + 5, 1) < 0x80);
                 q.Put(root, cell + 4, 0x8001, 2);  // a two-byte key, as before
                 q.Put(1, 100 + 8, q.Get(root, cell));
                 return Want{};
               }},
        Damage{"InteriorPagesSmashedOrPointingAtThemselves", "", "",
               [](F f) {
                 FillPage(f, RootPageOf(f, "Links"), 0x77);
                 PageFields(f).Put(RootPageOf(f, "Hits"), 8, RootPageOf(f, "Hits"));
                 return Want{};
               }},
        Damage{"FileAndCatalogHeadersSmashedInAUtf16File",
               "PRAGMA page_size=4096; PRAGMA encoding='UTF-16be';", "",
               [](F f) {
                 // The statements on page 1 stay, but not the cell pointers to them.
                 OverwriteAt(f, 0, std::string(140, '\x11'));
                 return Want{};
               }},
        Damage{"CatalogCellsGone", "PRAGMA page_size=4096;", "",
               [](F f) {
                 // Every row of the rowid tables; WITHOUT ROWID rows cannot be told from index
                 // entries.
                 Want w{.lost_found = 1500 + 40 + 901 + 700 + 3, .catalog_kept = false};
                 for (const char* name : kTables) w.missing[name] = RowSet(f, name).size();
                 OverwriteAt(f, 100, std::string(4096 - 100, '\0'));
                 return w;
               }},
        Damage{"LaterCatalogLeafZeroed", "", "",
               [](F f) {
                 FillPage(f, PagesOf(f, "sqlite_schema", "leaf").back(), 0);
                 return Want{.missing = {{"Words", 900}, {"Hits", 700}}, .catalog_kept = false};
               }},
        Damage{"CutInsideTheLastOverflowPage", "", "",
               [](F f) {
                 WriteAll(f, ReadAll(f).substr(0, std::filesystem::file_size(f) - 512));
                 return Want{.missing = {{"Pages", 1}}, .dropped = 1};
               }},
        // The file ends inside a leaf of Queue: the rows whose cells lie wholly in what is
        // left of the page come back, the others are gone.
        Damage{"CutInsideALeaf", "",
               "INSERT INTO Queue SELECT i + 1000, 'https://tail.example/' || i, 1 FROM n"
               " WHERE i <= 90",
               [](F f) {
                 const std::string bytes = ReadAll(f);
                 const uint32_t last = static_cast<uint32_t>(bytes.size() / 1024);
                 EXPECT_EQ(PagesOf(f, "Queue", "leaf").back(), last);
                 std::vector<uint32_t> cells;  // offsets, packed from the end of the page
                 for (uint32_t i = 0; i < Cells(f, last); ++i)
                   cells.push_back(PageFields(f).CellAt(last, i));
                 std::sort(cells.begin(), cells.end());
                 const uint32_t cut = 700;
                 size_t gone = 0, torn = 0;  // torn: begun on the page, ended past the cut
                 for (size_t i = 0; i < cells.size(); ++i) {
                   const uint32_t end = i + 1 < cells.size() ? cells[i + 1] : 1024;
                   gone += end > cut;
                   torn += cells[i] < cut && end > cut;
                 }
                 EXPECT_LT(gone, cells.size());
                 WriteAll(f, bytes.substr(0, (last - 1) * 1024ull + cut));
                 return Want{.missing = {{"Queue", gone}}, .dropped = torn};
               }},
        Damage{"CutToTwoThirds", "", "",
               [](F f) {
                 WriteAll(f, ReadAll(f).substr(0, std::filesystem::file_size(f) * 2 / 3 + 500));
                 return Want{.missing = {{"Hits", kSome}, {"Pages", 40}}, .dropped = kSome};
               }},
        Damage{"OverflowChainsBroken", "", "",
               [](F f) {
                 // Row 1's chain of two pages ends early; the only page of row 40's is zeroed,
                 // as a page freed by another version of the file is: the chain adds up, but a
                 // text full of NULs is not the row.
                 std::vector<uint32_t> overflow = PagesOf(f, "Pages", "overflow");
                 FillPage(f, overflow.front(), 0);
                 FillPage(f, overflow.back(), 0);
                 return Want{.missing = {{"Pages", 2}}, .dropped = 2};
               }},
        Damage{"PagesTheDiskCannotRead", "", "",
               [](F f) {
                 // The last page of a chain: read as zeros, its row would come back wrong.
                 uint32_t leaf = PagesOf(f, "Links", "leaf").at(3);
                 return Want{.missing = {{"Links", Cells(f, leaf)}, {"Pages", 1}},
                             .dropped = kSome,
                             .unreadable = {leaf, PagesOf(f, "Pages", "overflow").back()}};
               }},
        Damage{"CopyOfALeafAfterTheLastPageWithTheHeaderSmashed", "", "",
               [](F f) {
                 // As a stale copy on a free page: the scan finds both copies of its rows.
                 uint32_t leaf = PagesOf(f, "Queue", "leaf").at(2);
                 Want w{.duplicates = Cells(f, leaf)};
                 WriteAll(f, ReadAll(f) + ReadAll(f).substr((leaf - 1) * 1024, 1024));
                 FillPage(f, RootPageOf(f, "Queue"), 0x44);
                 OverwriteAt(f, 0, std::string(100, '\x44'));
                 return w;
               }},
        Damage{"CopyOfALeafHoldingAnotherVersionOfARow", "", "",
               [](F f) {
                 // The copy's last byte is the Priority of a row: that row's other version
                 // goes to lost and found, the rows the copy repeats add nothing.
                 uint32_t leaf = PagesOf(f, "Queue", "leaf").at(2);
                 Want w{.lost_found = 1, .duplicates = Cells(f, leaf)};
                 std::string copy = ReadAll(f).substr((leaf - 1) * 1024, 1024);
                 copy.back() = 0x7f;
                 WriteAll(f, ReadAll(f) + copy);
                 FillPage(f, RootPageOf(f, "Queue"), 0x44);
                 return w;
               }},
        // A third table of their shape has rows up to 50 only: that the rows above lie
        // past its end (InTail) does not make it theirs when two others may own them.
        Damage{"RootsOfSameShapedTablesSmashedBesideAThird", "",
               "CREATE TABLE Wide(QID INTEGER PRIMARY KEY, Url TEXT, Priority INTEGER);"
               "INSERT INTO Wide SELECT i, 'https://w.example/' || i, 1 FROM n WHERE i <= 50",
               [](F f) {
                 FillPage(f, RootPageOf(f, "Queue"), 0x33);
                 FillPage(f, RootPageOf(f, "Twin"), 0x33);
                 return Want{.missing = {{"Queue", 901}, {"Twin", 700}}, .lost_found = 1601};
               }},
        Damage{"WithoutRowidRootsSmashed", "", "",
               [](F f) {
                 // Words' index has the table's shape: its records go to lost and found. Words'
                 // own records are told from them by the index's lower(word), and come back.
                 Want w{.missing = {{"Hits", Cells(f, RootPageOf(f, "Hits"))},
                                    {"Words", Cells(f, RootPageOf(f, "Words"))}},
                        .lost_found = kSome};
                 for (const char* name : {"Hits", "Words", "Words_lower"})
                   FillPage(f, RootPageOf(f, name), 0x5a);
                 return w;
               }},
        // An index SQLite made for a UNIQUE constraint has no statement; the records of its
        // own tree tell its width, so Hits' orphaned leaves are not taken for its entries.
        Damage{"WithoutRowidRootSmashedBesideAnIndexWithoutStatement", "",
               "CREATE TABLE Wide(a, b, c, d, e, UNIQUE(a));"
               "INSERT INTO Wide SELECT i, i, i, i, i FROM n WHERE i <= 50",
               [](F f) {
                 Want w{.missing = {{"Hits", Cells(f, RootPageOf(f, "Hits"))}}};
                 FillPage(f, RootPageOf(f, "Hits"), 0x5a);
                 return w;
               }},
        // Keys sorted every way SQLite sorts them: a key read in the wrong order would put
        // rows of a sound tree out of place.
        Damage{"KeysInEveryOrderInAUtf16File", "PRAGMA encoding='UTF-16le';",
               "CREATE TABLE Wide(a TEXT COLLATE NOCASE, b, c TEXT, PRIMARY KEY(a DESC, b,"
               " c COLLATE RTRIM)) WITHOUT ROWID; INSERT INTO Wide SELECT"
               " CASE i % 3 WHEN 0 THEN 'Ab' || (i / 9) WHEN 1 THEN 'aB' || (i / 9) ELSE 'ä' END,"
               " CASE i % 4 WHEN 0 THEN i / 2 WHEN 1 THEN i / 2 + 0.5 WHEN 2 THEN 'x' || i"
               " ELSE CAST(i AS BLOB) END, 'c' || (i % 5) || printf('%.*c', i % 3, ' ') FROM n"
               " WHERE i <= 600",
               [](F) { return Want{}; }},
        // The root of Links lost its last children, as if a commit that added them had
        // not reached it, and the header's freelist pointer, of that commit too, leads to
        // one of them: the rows above all the tree holds come back in Links.
        Damage{"AppendedLeavesNoPointerReaches", "", "",
               [](F f) {
                 PageFields(f).Put(1, 32, CutLastChildren(f, RootPageOf(f, "Links")));
                 return Want{};
               }},
        // The same under the first of two interior pages: the rows between the last that
        // page still names and the root's divider come back.
        Damage{"AppendedLeavesUnderAnInnerPage", "", kDeepWide,
               [](F f) {
                 CutLastChildren(f, PagesOf(f, "Wide", "internal").at(1));
                 return Want{};
               }},
        // A divider of Queue's root three below the last key of its left child: those three
        // rows lie outside their page's range, and come back where nothing holds their key.
        Damage{"DividerBelowTheLastKeysOfItsChild", "", "",
               [](F f) {
                 const PageFields q(f);
                 const uint32_t root = RootPageOf(f, "Queue"), cell = q.CellAt(root, 10);
                 const uint32_t varint = q.Get(root, cell + 4, 2);
                 const uint32_t key = ((varint >> 8 & 0x7f) << 7 | (varint & 0xff)) - 3;
                 EXPECT_TRUE(varint & 0x8000 && key >= 128);  // two bytes, before and after
                 q.Put(root, cell + 4, 0x8000 | key >> 7 << 8 | (key & 0x7f), 2);
                 return Want{.out_of_place = 3};
               }},
        // The rows deleted from the top of Links lie on free pages the smashed (or zeroed)
        // trunk no longer lists: above all Links' tree holds, but deleted, so not its rows.
        Damage{"FreelistTrunkSmashedAfterTheTopRowsWereDeleted", "PRAGMA secure_delete=OFF;",
               "DELETE FROM Links WHERE ID > 1300", [](F f) { return SmashTrunk(f, 0x5a); }},
        Damage{"FreelistTrunkZeroedAfterTheTopRowsWereDeleted", "PRAGMA secure_delete=OFF;",
               "DELETE FROM Links WHERE ID > 1300", [](F f) { return SmashTrunk(f, 0); }},
        // The root's divider lowered below the last keys of its left child, as a root of
        // the next version could have it: that child's last children lie outside the range
        // it is now given, but it still names them, and their rows come back.
        Damage{"RootDividerOfAnotherVersion", "", kDeepWide,
               [](F f) {
                 const PageFields q(f);
                 const uint32_t root = RootPageOf(f, "Wide"), cell = q.CellAt(root, 0);
                 const uint32_t left = PagesOf(f, "Wide", "internal").at(1);
                 const uint32_t lower = q.CellAt(left, q.Get(left, 3, 2) - 5);
                 // Both keys two-byte varints: the new one fits where the old one was.
                 for (const auto& [page, at] : {std::pair(root, cell), std::pair(left, lower)})
                   EXPECT_EQ(q.Get(page, at + 4, 2) & 0x8080, 0x8000u) << page;
                 q.Put(root, cell + 4, q.Get(left, lower + 4, 2), 2);
                 // The left child's own last child is walked, and all of it is out of range.
                 return Want{.out_of_place = Cells(f, q.Get(left, 8))};
               }},
        // A child of Words' root holding the rows of another child, one of them in another
        // version: out of the page's key range, so the version in range is the one taken.
        Damage{"ChildHoldingAnotherChildsRowsInAnotherVersion", "", "",
               [](F f) {
                 const uint32_t root = RootPageOf(f, "Words");
                 std::vector<uint32_t> leaves = PagesOf(f, "Words", "leaf");
                 std::string copy = ReadAll(f).substr((leaves.at(2) - 1) * 1024ull, 1024);
                 copy.back() = 0x7f;
                 Want w{.missing = {{"Words", Cells(f, leaves.at(0))}},
                        .lost_found = 1,
                        .duplicates = Cells(f, leaves.at(2)),
                        .out_of_place = Cells(f, leaves.at(2))};
                 EXPECT_NE(root, leaves.at(0));
                 WriteAll(f, ReadAll(f).replace((leaves.at(0) - 1) * 1024ull, 1024, copy));
                 return w;
               }},
        Damage{"StaleChildPointerIntoAnIndex", "", "",
               [](F f) {
                 // As a page of another version of the file: the index's records have the
                 // table's shape but are not its rows. The leaf the pointer should name is
                 // found by the scan, its records told from the index's by lower(word).
                 uint32_t index_leaf = PagesOf(f, "Words_lower", "leaf").at(1);
                 PageFields(f).Put(RootPageOf(f, "Words"), 8, index_leaf);
                 return Want{};
               }}),
    [](const auto& row) { return std::string(row.param.name); });

TEST_F(SalvageRefuses, WhatIsNotADatabaseAndAnExistingDestination) {
  std::string noise(300000, '\0');
  uint32_t x = 99;
  for (char& c : noise) c = static_cast<char>((x = x * 1664525 + 1013904223) >> 24);
  for (const std::string& input : {std::string(), std::string(8192, '\0'), noise,
                                   std::string("SQLite format 3", 16) + noise.substr(0, 20000),
                                   std::string(40000, 'x') + "\r\nnot a database\r\n"}) {
    WriteAll(src, input);
    try {
      PageLevelSalvage(src, out, {});
      ADD_FAILURE() << "salvaged something from " << input.size() << " bytes";
    } catch (const EngineException& e) {
      EXPECT_EQ(e.error().number, kErrCannotRepair);
      EXPECT_NE(e.error().description.find(src), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(ReadAll(src), input);
  }
  Sql(dir.File("a.db"), "CREATE TABLE t(a); INSERT INTO t VALUES(1);");
  WriteAll(out, "keep me");
  EXPECT_THROW(PageLevelSalvage(dir.File("a.db"), out, {}), EngineException);
  EXPECT_EQ(ReadAll(out), "keep me");
}

// Rows a table's own constraints refuse (the catalog says NOT NULL and CHECK where the rows
// were written without them) are dropped and counted, one by one, wherever they stand among
// the rows written many to a statement; the rows around them all come back, under the
// table's unique index built at the end.
TEST_F(Salvage, RowsTheirTableRefusesAreDroppedAndCountedOneByOne) {
  Sql(src,
      "CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT, n INT);"
      "CREATE INDEX tv ON t(v);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 3000)"
      " INSERT INTO t SELECT i, CASE WHEN i % 37 = 0 THEN NULL ELSE 'v' || i END,"
      " CASE WHEN i % 41 = 0 THEN -i ELSE i END FROM k;");
  const std::vector<std::string> kept =
      Query(src, "SELECT * FROM t WHERE v IS NOT NULL AND n >= 0 ORDER BY id");
  ASSERT_EQ(kept.size(), 3000u - 81 - 73 + 1);  // 1517 = 37 * 41 is refused twice over
  Sql(src,
      "PRAGMA writable_schema=ON;"
      "UPDATE sqlite_schema SET sql = 'CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT NOT NULL,"
      " n INT CHECK (n >= 0))' WHERE name = 't';"
      "UPDATE sqlite_schema SET sql = 'CREATE UNIQUE INDEX tv ON t(v)' WHERE name = 'tv';");
  SalvageReport r = PageLevelSalvage(src, out, {});
  EXPECT_EQ(Query(out, "SELECT * FROM t ORDER BY id"), kept);
  EXPECT_EQ(r.rows_recovered, kept.size());
  EXPECT_EQ(r.rows_dropped, 3000u - kept.size());
  EXPECT_EQ(r.duplicate_keys + r.rows_lost_found, 0u);
  EXPECT_EQ(Query(out, "PRAGMA integrity_check"), Query(out, "SELECT 'ok'"));
}

// A disk that fills up while the rows go in, or while the indexes are built, fails the
// salvage with SQLite's own reason and leaves no part of the new file behind.
TEST_F(Salvage, AFullDiskFailsTheSalvageWithItsReasonAndLeavesNothing) {
  const std::string into = dir.File("out/salvaged.db");
  std::filesystem::create_directory(dir.File("out"));
  Sql(src,
      "CREATE TABLE t(id INTEGER PRIMARY KEY, url TEXT, at INT);"
      "CREATE UNIQUE INDEX turl ON t(url); CREATE INDEX tat ON t(at, url);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 20000)"
      " INSERT INTO t SELECT i, printf('https://host%d.example/%d/page', i % 97, i), i % 13"
      " FROM k;");
  const auto size = static_cast<double>(std::filesystem::file_size(src));
  for (double share : {0.2, 0.6}) {  // in the rows, in the index builds
    std::string description;
    {
      FullDisk full(dir.File("out/"), static_cast<sqlite3_int64>(size * share));
      try {
        PageLevelSalvage(src, into, {});
      } catch (const EngineException& e) {
        description = e.error().description;
      }
    }
    EXPECT_NE(description.find("database or disk is full"), std::string::npos)
        << share << ": " << description;
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("out"))) << share;
  }
}

// The tables a virtual table's module makes (FTS5's index, an R*Tree's nodes) exist as soon
// as the virtual table does: their rows go in over what the module put there, not to
// lost-and-found, and the virtual tables answer as before.
TEST_F(Salvage, TablesOfVirtualTablesComeBackWithTheirRows) {
  Sql(src,
      "CREATE VIRTUAL TABLE words USING fts5(package, text);"
      "CREATE VIRTUAL TABLE boxes USING rtree(id, x0, x1, y0, y1);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 400)"
      " INSERT INTO words SELECT 'pkg' || i, 'copyright ' || i || ' holder' || (i % 7) FROM k;"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 400)"
      " INSERT INTO boxes SELECT i, i, i + 1, -i, 1 - i FROM k;");
  const char* const queries[] = {"SELECT package FROM words WHERE words MATCH 'holder3' ORDER BY 1",
                                 "SELECT id FROM boxes WHERE x0 >= 100 AND x1 <= 120 ORDER BY 1",
                                 "SELECT count(*) FROM words_data",
                                 "SELECT count(*) FROM boxes_node"};
  std::vector<std::vector<std::string>> want;
  for (const char* q : queries) want.push_back(Query(src, q));
  SalvageReport r = PageLevelSalvage(src, out, {});
  for (size_t i = 0; i < std::size(queries); ++i) {
    EXPECT_FALSE(want[i].empty()) << queries[i];
    EXPECT_EQ(Query(out, queries[i]), want[i]) << queries[i];
  }
  EXPECT_EQ(r.rows_lost_found, 0u);
  EXPECT_EQ(Query(out, "PRAGMA integrity_check"), Query(src, "SELECT 'ok'"));
}

// Rows that repeat a unique key, as a file holds them when its index and its table no
// longer agree: made under ordinary indexes whose statements then say UNIQUE. Each key keeps
// the row met first, the others go to lost-and-found with the page they were on. One row
// per leaf, so the k-th leaf holds rowid k.
struct RepeatedKeys {
  const char* name;
  const char* columns;  // of t, after "id INTEGER PRIMARY KEY, pad BLOB"
  const char* indexes;  // made as ordinary ones
  const char* rows;     // VALUES of the columns, rowids 1, 2, ...
  std::set<int64_t> lost;
  const char* edit = "";         // a further change to the catalog
  bool first_leaf_late = false;  // row 1's leaf is found only by the scan, after the walk
};

class SalvageRepeatedKeys : public SalvageFiles<::testing::TestWithParam<RepeatedKeys>> {};

TEST_P(SalvageRepeatedKeys, KeepTheFirstRowOfEachKey) {
  const RepeatedKeys& c = GetParam();
  Sql(src, std::string("PRAGMA page_size=1024; CREATE TABLE t(id INTEGER PRIMARY KEY, pad BLOB, ") +
               c.columns + ");" + c.indexes + "; CREATE TEMP TABLE v AS SELECT * FROM (VALUES " +
               c.rows + "); INSERT INTO t SELECT NULL, zeroblob(700), * FROM v;");
  const std::vector<std::string> rows = Query(src, "SELECT * FROM t ORDER BY id");
  const std::vector<uint32_t> leaves = PagesOf(src, "t", "leaf", "path");  // in key order
  ASSERT_EQ(leaves.size(), rows.size());
  if (c.first_leaf_late) {
    const PageFields q(src);
    q.Put(RootPageOf(src, "t"), q.CellAt(RootPageOf(src, "t"), 0), 0);
  }
  const auto* unique = "replace(sql, 'CREATE INDEX', 'CREATE UNIQUE INDEX')";
  const auto* indexes = " FROM sqlite_schema WHERE type = 'index' AND sql IS NOT NULL ORDER BY 1";
  const std::vector<std::string> schema =
      Query(src, std::string("SELECT name, ") + unique + indexes);
  Sql(src, std::string("PRAGMA writable_schema=ON; UPDATE sqlite_schema SET sql = ") + unique +
               " WHERE type = 'index';" + c.edit);

  SalvageReport r = PageLevelSalvage(src, out, {});
  std::vector<std::string> kept, lost;
  for (size_t i = 0; i < rows.size(); ++i)
    (c.lost.count(int64_t(i) + 1) ? lost : kept).push_back(rows[i]);
  EXPECT_EQ(Query(out, "SELECT * FROM t ORDER BY id"), kept);
  const size_t width = std::count(rows.front().begin(), rows.front().end(), '|');
  std::string lost_query = "SELECT SourceRowid";
  for (size_t f = 2; f <= width; ++f) lost_query += ", Field" + std::to_string(f);
  EXPECT_EQ(Query(out, lost_query + " FROM MSysLostAndFound ORDER BY 1"), lost);
  for (int64_t id : c.lost) {
    EXPECT_EQ(Query(out, "SELECT SourcePage FROM MSysLostAndFound WHERE SourceRowid = " +
                             std::to_string(id)),
              std::vector<std::string>{"1:" + std::to_string(leaves.at(size_t(id) - 1)) + "|"})
        << "row " << id;
  }
  EXPECT_EQ(r.rows_recovered, kept.size());
  EXPECT_EQ(r.duplicate_keys, c.lost.size());
  EXPECT_EQ(r.rows_lost_found, c.lost.size());
  EXPECT_EQ(Query(out, std::string("SELECT name, sql ") + indexes), schema);
  EXPECT_EQ(Query(out, "PRAGMA integrity_check"), Query(out, "SELECT 'ok'"));
}

// clang-format off
const RepeatedKeys kRepeatedKeys[] = {
    {"FirstRowKept",            "k TEXT",                "CREATE INDEX ix ON t(k)",                          "('a'), ('b'), ('a'), ('c'), ('b'), ('a')", {3, 5, 6}},
    {"PartialIndex",            "k TEXT, s INT",         "CREATE INDEX ix ON t(k) WHERE s > 0",              "('a', 1), ('a', 0), ('a', 1), ('b', 0), ('b', 0)", {3}},
    {"Expression",              "k TEXT",                "CREATE INDEX ix ON t(lower(k))",                   "('Ab'), ('aB'), ('ab '), ('x')", {2}},
    {"NullsRepeatNothing",      "k TEXT, s INT",         "CREATE INDEX ix ON t(k, s)",                       "(NULL, 1), (NULL, 1), ('a', NULL), ('a', NULL), ('a', 1), ('a', 1)", {6}},
    {"NocaseColumn",            "k TEXT COLLATE NOCASE", "CREATE INDEX ix ON t(k)",                          "('Ab'), ('aB'), ('x'), ('AB')", {2, 4}},
    {"RtrimDescending",         "k TEXT",                "CREATE INDEX ix ON t(k COLLATE RTRIM DESC)",       "('a'), ('a  '), ('a b')", {2}},
    // Row 2 repeats row 1's s; row 3 repeats row 2's k, but row 2 is not kept.
    {"TwoIndexes",              "k INT, s TEXT",         "CREATE INDEX ix ON t(k); CREATE INDEX iy ON t(s)", "(1, 'x'), (2, 'x'), (2, 'y')", {2}},
    // The same with s UNIQUE in the table's own statement, whose index SQLite makes.
    {"BesideAUniqueConstraint", "k INT, s TEXT",         "CREATE INDEX ix ON t(k)",                          "(1, 'x'), (1, 'y'), (2, 'y')", {2},
     "UPDATE sqlite_schema SET sql = replace(sql, 's TEXT', 's TEXT UNIQUE') WHERE name = 't'"},
    // Row 1 comes after the others: it is the one that goes.
    {"RowFoundAfterTheWalk",    "k TEXT",                "CREATE INDEX ix ON t(k)",                          "('a'), ('b'), ('a'), ('c'), ('a')", {1, 5}, "", true},
};
// clang-format on
// The bar of pages read counts only what the walks read: not the free pages, nor the index
// trees, which are built again and only glanced at. Otherwise it waits at the tables' share
// of the file and leaps to the end. The index pages are counted from the trees' interior
// pages; those below a damaged one are read and counted after all.
TEST_F(SalvageRefuses, PagesToReadLeaveOutTheIndexTreesAndTheFreePages) {
  Sql(src,
      "PRAGMA page_size=1024; CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url TEXT, Checked);"
      "CREATE UNIQUE INDEX Url ON Links(Url); CREATE INDEX C ON Links(Checked DESC, Url);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM k WHERE i < 6000)"
      " INSERT INTO Links SELECT i, 'https://host' || (i % 37) || '.example/page/' || i,"
      " i % 90 FROM k; DELETE FROM Links WHERE ID % 5 = 0;");
  const uint32_t index_pages = static_cast<uint32_t>(
      QueryInt(src, "SELECT count(*) FROM dbstat WHERE name IN ('Url', 'C')"));
  const uint64_t free_pages = PageFields(src).FreeCount();
  ASSERT_GT(free_pages, 0u);
  ASSERT_GT(PagesOf(src, "Url", "internal").size(), 1u);
  const uint64_t pages = ReadAll(src).size() / 1024, walked = pages - index_pages - free_pages;
  const uint32_t interior = PagesOf(src, "C", "internal").back();
  const auto below = static_cast<uint64_t>(
      QueryInt(src,
               "SELECT count(*) - 1 FROM dbstat WHERE name = 'C' AND path LIKE (SELECT path FROM "
               "dbstat WHERE pageno = " +
                   std::to_string(interior) + ") || '%'"));
  ASSERT_GT(below, 1u);
  for (const bool index_damaged : {false, true}) {
    SCOPED_TRACE(index_damaged ? "an index's interior page smashed too" : "a table leaf smashed");
    FillPage(src, PagesOf(src, "Links", "leaf").at(20), 0x5a);
    if (index_damaged) FillPage(src, interior, 0x5a);
    std::pair<uint64_t, uint64_t> told{0, 0};
    std::filesystem::remove(out);
    PageLevelSalvage(src, out, [&](std::string_view stage, uint64_t d, uint64_t t) {
      if (stage == "Salvaging pages") told = {d, t};
    });
    EXPECT_EQ(told.second, walked + (index_damaged ? below : 0));
    EXPECT_EQ(told.first, told.second);
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SalvageRepeatedKeys, ::testing::ValuesIn(kRepeatedKeys),
                         [](const auto& row) { return std::string(row.param.name); });

// The counters of many AUTOINCREMENT tables fill several leaves of sqlite_sequence. Its root
// is smashed, so its leaves are read where they lie, and after them an older copy of one of
// them, as a page of an earlier version of the file: an older counter read after a newer
// one must not lower it, or ids handed out before would be handed out again.
TEST_F(Salvage, AnOlderCounterReadLaterDoesNotLowerTheMergedOne) {
  std::string make = "PRAGMA page_size=1024;", later;
  for (int i = 0; i < 150; ++i) {
    const std::string t = "Seen" + std::to_string(i);
    make += "CREATE TABLE " + t + "(id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT); INSERT INTO " +
            t + "(url) VALUES ('https://a.example/');";
    later += "INSERT INTO " + t + "(url) VALUES ('b'), ('c'), ('d'); DELETE FROM " + t +
             " WHERE url = 'd';";
  }
  Sql(src, make);
  const std::string older = ReadAll(src);
  Sql(src, later);
  auto* counters = "SELECT name, seq FROM sqlite_sequence ORDER BY name";
  const std::vector<std::string> want = Query(src, counters);
  const std::vector<uint32_t> leaves = PagesOf(src, "sqlite_sequence", "leaf");
  ASSERT_GE(leaves.size(), 2u);
  const std::string stale = older.substr((leaves.front() - 1) * 1024ull, 1024);
  ASSERT_NE(stale, ReadAll(src).substr((leaves.front() - 1) * 1024ull, 1024));
  WriteAll(src, ReadAll(src) + stale);
  FillPage(src, RootPageOf(src, "sqlite_sequence"), 0x33);

  PageLevelSalvage(src, out, {});
  EXPECT_EQ(Query(out, counters), want);
  EXPECT_EQ(Query(out, "SELECT max(id) FROM Seen0"), Query(src, "SELECT 3"));
}

// A catalog of many pages, page 1 an interior page whose b-tree header and cell pointers are
// smashed, so the catalog is read from its leaves wherever they lie. Fetched and Mirror have
// the same shape, and Mirror's rows end below Fetched's: no row of one may land in the other.
enum class CatalogHarm {
  // A program that dropped a table and created another left a stale catalog leaf on a free
  // page before the live one, naming the new table's root under the dropped table's name.
  kStaleLeafFirst,
  kEntryLost,          // the live leaf holding Fetched's entry is zeroed as well
  kPointerIntoATable,  // the smashed header's right child names Fetched's root
};
struct ManyPageCatalog {
  const char* name;
  CatalogHarm harm;
  const char* retired_columns;  // the dropped table's, in place of ", size INT, at INT)"
  bool fetched_back;            // Fetched's rows come back in Fetched, or all in lost-and-found
};

class SalvageManyPageCatalog : public SalvageFiles<::testing::TestWithParam<ManyPageCatalog>> {};

TEST_P(SalvageManyPageCatalog, PutsNoRowInAnotherTable) {
  const std::string shape =
      "(id INTEGER PRIMARY KEY, url TEXT, host TEXT, status INT, size INT,"
      " at INT);";
  std::string sql =
      "PRAGMA page_size=1024; CREATE TABLE Scratch(x); WITH RECURSIVE k(i) AS (SELECT 1 UNION"
      " ALL SELECT i+1 FROM k WHERE i < 30) INSERT INTO Scratch SELECT zeroblob(900) FROM k;";
  for (int i = 0; i < 56; ++i) {
    sql += "CREATE TABLE Filler" + std::to_string(i) + "(k INTEGER PRIMARY KEY, name TEXT);";
    if (i == 20) sql += "CREATE TABLE Fetched" + shape;
    if (i == 40) sql += "CREATE TABLE Mirror" + shape;
  }
  for (auto [table, rows] : {std::pair{"Fetched", 1059}, std::pair{"Mirror", 300}}) {
    sql += std::string("WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i < ") +
           std::to_string(rows) + ") INSERT INTO " + table + " SELECT i, 'https://" + table +
           ".example/' || i, 'h' || (i % 7), 200, i * 3, i FROM k;";
  }
  Sql(src, sql + "DROP TABLE Scratch;");
  const std::map<std::string, std::multiset<std::string>> truth = {
      {"Fetched", RowSet(src, "Fetched")}, {"Mirror", RowSet(src, "Mirror")}};

  const std::vector<uint32_t> catalog_leaves = PagesOf(src, "sqlite_schema", "leaf");
  ASSERT_GT(catalog_leaves.size(), 4u);
  ASSERT_EQ(ReadAll(src)[100], 5) << "page 1 is not an interior page";
  std::string leaf_bytes;
  uint32_t fetched_leaf = 0;
  for (uint32_t leaf : catalog_leaves) {
    std::string page = ReadAll(src).substr((leaf - 1) * 1024ull, 1024);
    if (page.find("CREATE TABLE Fetched") != std::string::npos)
      leaf_bytes = page, fetched_leaf = leaf;
  }
  ASSERT_FALSE(leaf_bytes.empty());
  std::string header(12, '\0');
  const size_t page_one_cells = Cells(src, 1);
  switch (GetParam().harm) {
    case CatalogHarm::kStaleLeafFirst: {
      std::string stale = leaf_bytes;
      for (size_t at; (at = stale.find("Fetched")) != std::string::npos;)
        stale.replace(at, 7, "Retired");
      const std::string tail = ", size INT, at INT)";
      ASSERT_EQ(std::string(GetParam().retired_columns).size(), tail.size());
      stale.replace(stale.find(tail), tail.size(), GetParam().retired_columns);
      const std::vector<uint32_t> free_pages = PageFields(src).TrunkLeaves();
      ASSERT_FALSE(free_pages.empty());
      const uint32_t free_page = free_pages.front();
      ASSERT_LT(free_page, fetched_leaf);
      OverwriteAt(src, (free_page - 1) * 1024ull, stale);
      break;
    }
    case CatalogHarm::kEntryLost:
      FillPage(src, fetched_leaf, 0);
      break;
    case CatalogHarm::kPointerIntoATable: {
      // The content start and the rest kept, so that the page still reads as a b-tree page.
      const uint32_t root = RootPageOf(src, "Fetched");
      header = ReadAll(src).substr(100, 12);
      header.replace(3, 2, std::string(2, '\0'));
      header.replace(8, 4, {char(root >> 24), char(root >> 16), char(root >> 8), char(root)});
      break;
    }
  }
  OverwriteAt(src, 100, header + std::string(2 * page_one_cells, '\0'));

  SalvageReport r = PageLevelSalvage(src, out, {});
  for (const auto& [table, rows] : truth) {
    std::multiset<std::string> got = RowSet(out, table);
    EXPECT_TRUE(std::includes(rows.begin(), rows.end(), got.begin(), got.end()))
        << table << " has rows that were never there";
  }
  EXPECT_TRUE(RowSet(out, "Retired").empty()) << "the dropped table came back with rows";
  EXPECT_EQ(RowSet(out, "Mirror").size(), 300u);
  const size_t fetched = RowSet(out, "Fetched").size();
  EXPECT_EQ(fetched, GetParam().fetched_back ? 1059u : 0u);
  EXPECT_EQ(fetched + r.rows_lost_found, 1059u);
}

INSTANTIATE_TEST_SUITE_P(
    PageOneSmashed, SalvageManyPageCatalog,
    ::testing::Values(
        // The tree under the root holds no row of the dropped table's shape: it is Fetched's.
        ManyPageCatalog{"StaleEntryOfAnotherShape", CatalogHarm::kStaleLeafFirst,
                        ", note BLOB)       ", true},
        // Both entries fit the rows under the root: neither can be told to own it.
        ManyPageCatalog{"StaleEntryOfTheSameShape", CatalogHarm::kStaleLeafFirst,
                        ", size INT, at INT)", false},
        // Fetched's pages are nobody's that is known: Mirror's shape and tail are no claim.
        ManyPageCatalog{"EntryLost", CatalogHarm::kEntryLost, "", false},
        // The walk of the catalog is led into Fetched's tree, which must not keep it from
        // Fetched's own walk.
        ManyPageCatalog{"PointerIntoATable", CatalogHarm::kPointerIntoATable, "", true}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace tidewell::engine
