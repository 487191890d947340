// The page-level salvage end to end on files the tests damage themselves: which rows come
// back, that none comes back wrong or in another table, and what the report counts.
#include "engine/pagefile/salvage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "engine/errors.h"
#include "tests/salvage/salvage_files.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using namespace tidewell::testing;

// Every kind of table the reader knows. Whole Checked values are stored as integers and
// must come back as reals; Pages' bodies overflow; Twin has Queue's shape, so only key
// ranges and tree pointers tell their pages apart; Words has the shape of its own
// expression index's records; Hits keeps its key out of declared order and some values
// overflow. No row fits unless the quoting, comments and virtual column are read right.
// Pages come last: the file ends inside the overflow chain of its last row.
const char* const kFixture =
    "CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url VARCHAR(255) NOT NULL, Status INT,"
    " Checked DOUBLE PRECISION); CREATE UNIQUE INDEX Links_Url ON Links(Url);"
    "CREATE TABLE Pages(ID INTEGER PRIMARY KEY, Body TEXT);"
    "CREATE TABLE Queue(QID INTEGER PRIMARY KEY, Url TEXT, Priority INTEGER);"
    "CREATE TABLE Twin(QID INTEGER, Url TEXT, Priority INT, CHECK (Priority >= 0), PRIMARY "
    "KEY(QID));"
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
    "INSERT INTO Queue SELECT i, 'https://queue.example/' || i, i % 9 FROM n WHERE i <= 900;"
    "INSERT INTO Twin SELECT i, 'https://twin.example/' || i, i % 4 FROM n WHERE i <= 700;"
    "INSERT INTO \"Set tings\" VALUES ('Start', 'yes'), ('Depth', '4'), ('Agent', 'Vardlink');"
    "INSERT INTO Words SELECT 'Word' || i, i, 'en' FROM n WHERE i <= 900;"
    "INSERT INTO Hits SELECT 'https://h' || (i % 13) || '/' || i, 'h' || (i % 13), i % 50,"
    " CASE WHEN i % 9 = 0 THEN zeroblob(1700) ELSE x'01' END FROM n WHERE i <= 700;"
    "INSERT INTO Pages SELECT i, printf('%.*c', 1049 + 1020 * (i % 4), 'p') || i FROM n WHERE i <= "
    "40;";
const char* const kTables[] = {"Links", "Pages", "Queue", "Twin", "Set tings", "Words", "Hits"};

constexpr size_t kSome = SIZE_MAX;  // at least one, and not all

struct Want {
  std::map<std::string, size_t> missing = {};  // rows per table; the other tables lose none
  size_t lost_found = 0, dropped = 0, duplicates = 0;
  bool catalog_kept = true;
  std::set<uint32_t> unreadable = {};  // pages the disk fails to read
};

struct Damage {
  const char* name;
  const char* pragmas;
  std::string sql;  // on the whole file, before the damage
  std::function<Want(const std::string& file)> apply;
};

uint64_t At(uint32_t page) {
  return uint64_t{page - 1} * 1024;
}
size_t Cells(const std::string& file, uint32_t page) {
  return std::stoul(Query(file, "SELECT ncell FROM dbstat WHERE pageno = " + std::to_string(page))
                        .at(0)
                        .substr(2));
}
std::string Be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
void ExpectCount(size_t got, size_t want, size_t all, const std::string& what) {
  EXPECT_TRUE(want == kSome ? got > 0 && got < all : got == want) << what << ": " << got;
}

// A disk that fails reads of some pages: a read stops at the first bad page, as pread does
// with EIO.
class FailingDisk final : public pagefile::ByteSource {
 public:
  FailingDisk(std::string bytes, std::set<uint32_t> bad) : bytes_(std::move(bytes)), bad_(bad) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const override {
    size_t n = 0;
    for (; n < out.size() && offset + n < bytes_.size() && !bad_.count((offset + n) / 1024 + 1);
         ++n)
      out[n] = static_cast<uint8_t>(bytes_[offset + n]);
    return n;
  }

 private:
  std::string bytes_;
  std::set<uint32_t> bad_;
};

class SalvageDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(SalvageDamage, BringsBackExactlyTheRowsTheDamageLeaves) {
  TempDir dir;
  std::string src = dir.File("crawl.db"), out = dir.File("salvaged.db");
  Sql(src, std::string("PRAGMA page_size=1024;") + GetParam().pragmas + kFixture + GetParam().sql);
  std::map<std::string, std::multiset<std::string>> truth;
  for (const char* t : kTables) truth[t] = RowSet(src, t);
  const char* catalog = "SELECT type, name, sql FROM sqlite_schema ORDER BY name";
  std::vector<std::string> schema = Query(src, catalog);
  uint32_t page_size = PageSizeOf(src);
  Want want = GetParam().apply(src);
  std::string bytes = ReadAll(src);
  uint64_t done = 0, total = 0;
  auto progress = [&](std::string_view, uint64_t d, uint64_t t) {
    EXPECT_TRUE(d >= done && d <= t) << d << " of " << t << " after " << done;
    done = d;
    total = t;
  };
  SalvageReport r = want.unreadable.empty()
                        ? PageLevelSalvage(src, out, progress)
                        : PageLevelSalvage(std::make_unique<FailingDisk>(bytes, want.unreadable),
                                           src, out, progress);
  EXPECT_EQ(ReadAll(src), bytes);
  EXPECT_EQ(done, total);
  EXPECT_EQ(total, bytes.size() / page_size);
  size_t recovered = 0;
  for (const auto& [t, rows] : truth) {
    std::multiset<std::string> got = RowSet(out, t);
    EXPECT_TRUE(std::includes(rows.begin(), rows.end(), got.begin(), got.end()))
        << t << " has rows that were never there";
    ExpectCount(rows.size() - got.size(), want.missing.count(t) ? want.missing[t] : 0, rows.size(),
                t);
    recovered += got.size();
  }
  EXPECT_EQ(r.rows_recovered, recovered);
  ExpectCount(r.rows_lost_found, want.lost_found, SIZE_MAX, "lost and found");
  EXPECT_EQ(Query(out, "SELECT 1 FROM MSysLostAndFound WHERE SourcePage > 1").size(),
            r.rows_lost_found);
  ExpectCount(r.rows_dropped, want.dropped, SIZE_MAX, "dropped");
  EXPECT_EQ(r.duplicate_keys, want.duplicates);
  std::vector<std::string> salvaged_schema = Query(out, catalog);
  std::erase_if(salvaged_schema,
                [](auto& row) { return row.find("MSysLostAndFound") != row.npos; });
  EXPECT_EQ(salvaged_schema == schema, want.catalog_kept);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SalvageDamage,
    ::testing::Values(
        Damage{"Healthy", "", "", [](const std::string&) { return Want{}; }},
        Damage{"LeafZeroedInAnAutoVacuumFile", "PRAGMA auto_vacuum=FULL;",
               "DELETE FROM Queue WHERE QID % 3 = 0;",
               [](const std::string& f) {
                 uint32_t leaf = PagesOf(f, "Links", "leaf").at(5);
                 size_t cells = Cells(f, leaf);
                 FillPage(f, leaf, 0);
                 return Want{.missing = {{"Links", cells}}};
               }},
        Damage{"InteriorPageSmashed", "", "",
               [](const std::string& f) {
                 OverwriteAt(f, At(RootPageOf(f, "Links")), std::string(1024, '\x77'));
                 return Want{};
               }},
        Damage{"RootsOfSameShapedTablesSmashed", "", "",
               [](const std::string& f) {
                 for (const char* name : {"Queue", "Twin"})
                   OverwriteAt(f, At(RootPageOf(f, name)), std::string(1024, '\x33'));
                 return Want{.missing = {{"Queue", 900}, {"Twin", 700}}, .lost_found = 1600};
               }},
        Damage{"ChildPointerBackToTheRoot", "", "",
               [](const std::string& f) {
                 uint32_t root = RootPageOf(f, "Links");
                 OverwriteAt(f, At(root) + 8, Be32(root));  // the right child
                 return Want{};
               }},
        Damage{"HeaderSmashedInAUtf16File", "PRAGMA encoding='UTF-16be';", "",
               [](const std::string& f) {
                 OverwriteAt(f, 0, std::string(100, '\x11'));
                 return Want{};
               }},
        Damage{"CatalogCellsGone", "PRAGMA page_size=4096;", "",
               [](const std::string& f) {
                 // Every row of the rowid tables; WITHOUT ROWID rows cannot be told from index
                 // entries.
                 Want w{.lost_found = 1500 + 40 + 900 + 700 + 3, .catalog_kept = false};
                 for (const char* name : kTables) w.missing[name] = RowSet(f, name).size();
                 OverwriteAt(f, 100, std::string(4096 - 100, '\0'));
                 return w;
               }},
        Damage{"CatalogHeaderAndCellPointersGone", "PRAGMA page_size=4096;", "",
               [](const std::string& f) {
                 OverwriteAt(f, 100, std::string(40, '\x77'));
                 return Want{};
               }},
        Damage{"LaterCatalogLeafZeroed", "",
               [] {
                 std::string sql;  // statements long enough to spread over several pages
                 for (int i = 0; i < 30; ++i)
                   sql += "CREATE TABLE Extra" + std::to_string(i) + "(ID INTEGER PRIMARY KEY, N" +
                          std::string(120, 'x') + ");";
                 return sql;
               }(),
               [](const std::string& f) {
                 FillPage(f, PagesOf(f, "sqlite_schema", "leaf").back(), 0);
                 return Want{.catalog_kept = false};
               }},
        Damage{"CutInsideTheLastOverflowPage", "", "",
               [](const std::string& f) {
                 std::string bytes = ReadAll(f);
                 WriteAll(f, bytes.substr(0, bytes.size() - 512));
                 return Want{.missing = {{"Pages", 1}}, .dropped = 1};
               }},
        Damage{"CutToTwoThirds", "", "",
               [](const std::string& f) {
                 std::string bytes = ReadAll(f);
                 WriteAll(f, bytes.substr(0, bytes.size() * 2 / 3 + 500));
                 return Want{.missing = {{"Hits", kSome}, {"Pages", 40}}, .dropped = kSome};
               }},
        Damage{"OverflowChainsBroken", "", "",
               [](const std::string& f) {
                 // A page in the middle of one chain, so it ends early; the last page of
                 // another, zeroed as a page freed by another version of the file is: the
                 // chain adds up, but a text full of NULs is not the row.
                 std::string bytes = ReadAll(f);
                 uint32_t middle = 0, last = 0;
                 for (uint32_t p : PagesOf(f, "Pages", "overflow")) {
                   bool has_next = bytes.compare(At(p), 4, std::string(4, '\0')) != 0;
                   if (has_next && middle == 0) middle = p;
                   if (!has_next) last = p;
                 }
                 EXPECT_GT(last, middle + 8);  // other rows lie between: not the same chain
                 FillPage(f, middle, 0);
                 FillPage(f, last, 0);
                 return Want{.missing = {{"Pages", 2}}, .dropped = 2};
               }},
        Damage{"PagesTheDiskCannotRead", "", "",
               [](const std::string& f) {
                 // The last page of a chain: read as zeros, its row would come back wrong.
                 uint32_t leaf = PagesOf(f, "Links", "leaf").at(3);
                 return Want{.missing = {{"Links", Cells(f, leaf)}, {"Pages", 1}},
                             .dropped = kSome,
                             .unreadable = {leaf, PagesOf(f, "Pages", "overflow").back()}};
               }},
        Damage{"DeletedRowsOnFreePages", "", "DELETE FROM Queue WHERE QID > 300;",
               [](const std::string&) { return Want{}; }},
        Damage{"CopyOfALeafOnAFreePageWithTheHeaderSmashed", "",
               "CREATE TABLE Scratch AS SELECT zeroblob(300) FROM n; DROP TABLE Scratch;",
               [](const std::string& f) {
                 // The scan finds both copies of each row of that leaf.
                 std::string bytes = ReadAll(f);
                 auto get32 = [&](uint64_t at) {
                   return pagefile::Get32(reinterpret_cast<const uint8_t*>(&bytes[at]));
                 };
                 uint32_t free_leaf = get32(At(get32(32)) + 8);  // first leaf of the first trunk
                 uint32_t leaf = PagesOf(f, "Queue", "leaf").at(2);
                 size_t cells = Cells(f, leaf);
                 OverwriteAt(f, At(free_leaf), bytes.substr(At(leaf), 1024));
                 OverwriteAt(f, At(RootPageOf(f, "Queue")), std::string(1024, '\x44'));
                 OverwriteAt(f, 0, std::string(100, '\x44'));
                 return Want{.duplicates = cells};
               }},
        Damage{"WithoutRowidRootsSmashed", "", "",
               [](const std::string& f) {
                 // Words' index has the table's shape: its records go to lost and found.
                 size_t on_root = Cells(f, RootPageOf(f, "Hits"));
                 for (const char* name : {"Hits", "Words", "Words_lower"})
                   FillPage(f, RootPageOf(f, name), 0x5a);
                 return Want{.missing = {{"Hits", on_root}, {"Words", 900}}, .lost_found = kSome};
               }},
        Damage{"StaleChildPointerIntoAnIndex", "", "",
               [](const std::string& f) {
                 // As a page of another version of the file: the index's records have the
                 // table's shape but are not its rows.
                 uint32_t index_leaf = PagesOf(f, "Words_lower", "leaf").at(1);
                 OverwriteAt(f, At(RootPageOf(f, "Words")) + 8, Be32(index_leaf));
                 return Want{.missing = {{"Words", kSome}}, .lost_found = kSome};
               }}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SalvageRefuses, WhatIsNotADatabaseAndAnExistingDestination) {
  TempDir dir;
  std::string src = dir.File("input"), out = dir.File("out.db"), noise(300000, '\0');
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

}  // namespace
}  // namespace tidewell::engine
