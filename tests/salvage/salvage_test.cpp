// The page-level salvage end to end on files the tests damage themselves: which rows come
// back, that none comes back wrong or in another table, and what happens to the rest.
#include "engine/pagefile/salvage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <span>

#include "engine/errors.h"
#include "tests/salvage/salvage_files.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using tidewell::testing::CellsOnPage;
using tidewell::testing::FillPage;
using tidewell::testing::Names;
using tidewell::testing::OverwriteAt;
using tidewell::testing::PagesOf;
using tidewell::testing::ReadRows;
using tidewell::testing::Rows;
using tidewell::testing::Sql;
using tidewell::testing::TempDir;

// Links and Queue have different shapes; Pages has bodies that overflow; Twin has the
// same shape as Queue, so only key ranges and tree pointers can tell their pages apart.
const char* kCrawlerSchema =
    "PRAGMA page_size=1024;"
    "CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Status INTEGER, Checked REAL);"
    "CREATE UNIQUE INDEX Links_Url ON Links(Url);"
    "CREATE TABLE Pages(ID INTEGER PRIMARY KEY, Body TEXT);"
    "CREATE TABLE Queue(QID INTEGER PRIMARY KEY, Url TEXT, Priority INTEGER);"
    "CREATE TABLE Settings(Name TEXT PRIMARY KEY, Value TEXT);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<1500)"
    " INSERT INTO Links SELECT i, 'https://host' || (i % 37) || '.example/page/' || i,"
    " 200 + (i % 3) * 100, 45000.25 + i FROM n;"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<40)"
    " INSERT INTO Pages SELECT i, printf('%.*c', 2500 + i * 37, 'p') || i FROM n;"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<900)"
    " INSERT INTO Queue SELECT i, 'https://queue.example/' || i, i % 9 FROM n;"
    "INSERT INTO Settings VALUES ('Start', 'yes'), ('Depth', '4'), ('Agent', 'Vardlink');";

class Salvage : public ::testing::Test {
 protected:
  void SetUp() override {
    src_ = dir_.File("crawl.db");
    out_ = dir_.File("salvaged.db");
    Sql(src_, kCrawlerSchema);
    for (const char* t : {"Links", "Pages", "Queue", "Settings"}) truth_[t] = ReadRows(src_, t);
  }

  SalvageReport Run() { return PageLevelSalvage(src_, out_, {}); }

  // Every row that came back is exactly the original; returns how many of the table's rows
  // are missing.
  size_t MissingAfterExactCheck(const std::string& table) {
    Rows got = ReadRows(out_, table);
    const Rows& want = truth_[table];
    for (const auto& [id, row] : got) {
      auto it = want.find(id);
      EXPECT_TRUE(it != want.end()) << table << " has a row that was never there: " << id;
      if (it != want.end()) {
        EXPECT_EQ(row, it->second) << table << " row " << id;
      }
    }
    return want.size() - got.size();
  }

  void ExpectAllBack() {
    for (const auto& [t, rows] : truth_) EXPECT_EQ(MissingAfterExactCheck(t), 0u) << t;
  }

  TempDir dir_;
  std::string src_, out_;
  std::map<std::string, Rows> truth_;
};

TEST_F(Salvage, HealthyFileComesBackWholeWithItsSchema) {
  SalvageReport r = Run();
  ExpectAllBack();
  EXPECT_EQ(r.rows_recovered, 1500u + 40 + 900 + 3);
  EXPECT_EQ(r.rows_dropped, 0u);
  EXPECT_EQ(r.rows_lost_found, 0u);
  EXPECT_EQ(Names(out_, "index"), Names(src_, "index"));
  EXPECT_EQ(Names(out_, "table"), Names(src_, "table"));
  // The unique index works on the new file.
  EXPECT_THROW(Sql(out_, "INSERT INTO Links(Url) VALUES('https://host1.example/page/1')"),
               std::runtime_error);
}

TEST_F(Salvage, ZeroedLeafLosesOnlyItsOwnRows) {
  uint32_t leaf = PagesOf(src_, "Links", "leaf").at(5);
  int cells = CellsOnPage(src_, leaf);
  ASSERT_GT(cells, 0);
  FillPage(src_, leaf, 0);
  Run();
  EXPECT_EQ(MissingAfterExactCheck("Links"), static_cast<size_t>(cells));
  for (const char* t : {"Pages", "Queue", "Settings"}) EXPECT_EQ(MissingAfterExactCheck(t), 0u);
}

TEST_F(Salvage, RowsBeneathADamagedInteriorPageComeBack) {
  uint32_t root = tidewell::testing::RootPageOf(src_, "Links");
  ASSERT_FALSE(PagesOf(src_, "Links", "internal").empty());
  OverwriteAt(src_, uint64_t{root - 1} * 1024, std::string(1024, '\x77'));
  SalvageReport r = Run();
  ExpectAllBack();
  EXPECT_EQ(r.rows_lost_found, 0u);
}

TEST_F(Salvage, SameShapedTablesWithDamagedRootsAreNotGuessed) {
  Sql(src_,
      "CREATE TABLE Twin(QID INTEGER PRIMARY KEY, Url TEXT, Priority INTEGER);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<700)"
      " INSERT INTO Twin SELECT i, 'https://twin.example/' || i, i % 4 FROM n;");
  truth_["Twin"] = ReadRows(src_, "Twin");
  // Both roots gone: every leaf of both could belong to either table.
  for (const char* t : {"Queue", "Twin"}) {
    uint32_t root = tidewell::testing::RootPageOf(src_, t);
    OverwriteAt(src_, uint64_t{root - 1} * 1024, std::string(1024, '\x33'));
  }
  SalvageReport r = Run();
  EXPECT_EQ(MissingAfterExactCheck("Queue"), 900u);
  EXPECT_EQ(MissingAfterExactCheck("Twin"), 700u);
  EXPECT_EQ(r.rows_lost_found, 1600u);
  EXPECT_EQ(ReadRows(out_, kLostAndFoundTable).size(), 1600u);
  EXPECT_EQ(MissingAfterExactCheck("Links"), 0u);
}

TEST_F(Salvage, CyclicChildPointerEndsAndKeepsTheRest) {
  uint32_t root = tidewell::testing::RootPageOf(src_, "Links");
  // The root's right child points back at the root.
  std::string self = {static_cast<char>(root >> 24), static_cast<char>(root >> 16),
                      static_cast<char>(root >> 8), static_cast<char>(root)};
  OverwriteAt(src_, uint64_t{root - 1} * 1024 + 8, self);
  Run();
  size_t missing = MissingAfterExactCheck("Links");
  EXPECT_LT(missing, 1500u);
  for (const char* t : {"Pages", "Queue", "Settings"}) EXPECT_EQ(MissingAfterExactCheck(t), 0u);
}

TEST_F(Salvage, SmashedHeaderIsReadWithThePageSizeFoundFromThePages) {
  OverwriteAt(src_, 0, std::string(100, '\x11'));
  SalvageReport r = Run();
  ExpectAllBack();
  EXPECT_GT(r.pages_decoded, 0u);
}

TEST(SalvageFormats, SmashedHeaderOfAUtf16FileIsReadInTheEncodingOfItsCatalog) {
  TempDir dir;
  std::string src = dir.File("u16.db"), out = dir.File("u16-out.db");
  Sql(src,
      "PRAGMA encoding='UTF-16be'; CREATE TABLE s(name TEXT, value TEXT);"
      "INSERT INTO s VALUES('Größe', 'groß'), ('emoji', '\xF0\x9F\x98\x80'), ('x', NULL);");
  Rows truth = ReadRows(src, "s");
  OverwriteAt(src, 0, std::string(100, '\x11'));
  PageLevelSalvage(src, out, {});
  EXPECT_EQ(ReadRows(out, "s"), truth);
}

TEST_F(Salvage, DamagedCatalogPutsRowsInLostAndFoundWithTheirPage) {
  // Page 1's cells are gone; the header survives.
  OverwriteAt(src_, 100, std::string(1024 - 100, '\0'));
  SalvageReport r = Run();
  EXPECT_EQ(r.rows_recovered, 0u);
  EXPECT_EQ(r.rows_lost_found, 1500u + 40 + 900 + 3);
  Rows lost = ReadRows(out_, kLostAndFoundTable);
  EXPECT_EQ(lost.size(), r.rows_lost_found);
  // The row "Start"/"yes" of Settings is there with the page it was on.
  bool found = false;
  for (const auto& [id, row] : lost) {
    if (row.find("3:Start|3:yes|") != std::string::npos) {
      found = true;
      EXPECT_NE(row.rfind("1:", 0), std::string::npos);  // SourcePage is an integer
      EXPECT_EQ(row.find("1:0|"), std::string::npos);    // and not zero
    }
  }
  EXPECT_TRUE(found);
}

TEST_F(Salvage, CatalogWithoutItsHeaderAndCellPointersIsReadFromItsRecords) {
  Sql(src_,
      "CREATE VIEW Busy AS SELECT Url FROM Links WHERE Status = 200;"
      "CREATE TRIGGER Done AFTER DELETE ON Queue BEGIN SELECT 1; END;");
  std::map<std::string, std::vector<std::string>> names;
  for (const char* type : {"table", "index", "view", "trigger"}) names[type] = Names(src_, type);
  // The b-tree header of page 1 and its cell pointers: the statements themselves stay.
  OverwriteAt(src_, 100, std::string(40, '\x77'));
  SalvageReport r = Run();
  ExpectAllBack();
  EXPECT_EQ(r.rows_lost_found, 0u);
  for (const auto& [type, list] : names) EXPECT_EQ(Names(out_, type), list) << type;
}

TEST_F(Salvage, PartlyDamagedCatalogStillGivesTheTablesItNames) {
  // A catalog spread over several pages: many tables with long statements.
  std::string sql;
  for (int i = 0; i < 30; ++i) {
    sql += "CREATE TABLE Extra" + std::to_string(i) + "(ID INTEGER PRIMARY KEY, Note" +
           std::string(60, 'x') + " TEXT, Other" + std::string(60, 'y') + " INTEGER);";
  }
  Sql(src_, sql);
  std::vector<uint32_t> catalog_leaves = PagesOf(src_, "sqlite_schema", "leaf");
  ASSERT_GE(catalog_leaves.size(), 3u);
  // Damage the last catalog leaf, which holds some of the Extra tables only.
  FillPage(src_, catalog_leaves.back(), 0);
  Run();
  for (const auto& [t, rows] : truth_) EXPECT_EQ(MissingAfterExactCheck(t), 0u) << t;
}

TEST_F(Salvage, TruncatedFileGivesWhatIsLeftExactly) {
  std::string bytes = tidewell::testing::ReadAll(src_);
  tidewell::testing::WriteAll(src_, bytes.substr(0, bytes.size() * 2 / 3 + 500));
  SalvageReport r = Run();
  size_t missing = 0;
  for (const auto& [t, rows] : truth_) missing += MissingAfterExactCheck(t);
  EXPECT_GT(missing, 0u);
  EXPECT_GT(r.rows_recovered, 0u);
}

TEST(SalvageTruncated, ValueRunningIntoACutPageIsDroppedNotZeroFilled) {
  TempDir dir;
  std::string src = dir.File("bodies.db"), out = dir.File("out.db");
  Sql(src,
      "PRAGMA page_size=1024; CREATE TABLE b(id INTEGER PRIMARY KEY, body TEXT, n INTEGER);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i<30)"
      " INSERT INTO b SELECT i, printf('%.*c', 3000 + i, 'b'), i FROM k;");
  Rows truth = ReadRows(src, "b");
  // The last page is an overflow page of the last row; cut it in half.
  std::string bytes = tidewell::testing::ReadAll(src);
  tidewell::testing::WriteAll(src, bytes.substr(0, bytes.size() - 512));
  PageLevelSalvage(src, out, {});
  Rows got = ReadRows(out, "b");
  EXPECT_EQ(got.size(), truth.size() - 1);
  for (const auto& [id, row] : got) EXPECT_EQ(row, truth.at(id)) << id;
}

// Whatever kind of table the reader knows, it keeps every row of it when the damage is in
// another table.
TEST(SalvageKinds, EveryKindOfTableKeepsItsRowsWhenAnotherTableIsDamaged) {
  TempDir dir;
  const std::string rows =
      " WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i<700)"
      " INSERT INTO t SELECT ";
  struct Case {
    const char* name;
    std::string sql;
  } cases[] = {
      {"rowid alias", "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT, c REAL);" + rows +
                          "i, 'text ' || i, i / 7.0 FROM k;"},
      {"no rowid alias", "CREATE TABLE t(b TEXT, c INT);" + rows + "'v' || i, i FROM k;"},
      {"without rowid, key not in declared order",
       "CREATE TABLE t(url TEXT, host TEXT NOT NULL, hits INT,"
       " PRIMARY KEY(hits, url)) WITHOUT ROWID;" +
           rows + "'https://h' || (i % 13) || '/' || i, 'h' || (i % 13), i % 50 FROM k;"},
      {"without rowid, values overflowing",
       "CREATE TABLE t(k TEXT PRIMARY KEY, body BLOB) WITHOUT ROWID;" + rows +
           "'key' || i, CASE WHEN i % 9 = 0 THEN zeroblob(1700) ELSE x'01' END FROM k;"},
      {"values overflowing", "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);" + rows +
                                 "i, printf('%.*c', 100 + (i % 50) * 60, 'x') FROM k;"},
      {"autoincrement", "CREATE TABLE t(a INTEGER PRIMARY KEY AUTOINCREMENT, b TEXT);" + rows +
                            "NULL, 'row ' || i FROM k;"},
      {"auto-vacuum file", "PRAGMA auto_vacuum=FULL; CREATE TABLE t(a INTEGER PRIMARY KEY, b);" +
                               rows + "i, 'text ' || i FROM k; DELETE FROM t WHERE a % 3 = 0;"},
      {"UTF-16 file",
       "PRAGMA encoding='UTF-16le'; CREATE TABLE t(name TEXT PRIMARY KEY, v) WITHOUT ROWID;" +
           rows + "'Größe ' || i, 'groß \xF0\x9F\x98\x80' FROM k;"},
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string src = dir.File(std::to_string(n) + ".db");
    std::string out = dir.File(std::to_string(n++) + "-out.db");
    Sql(src, "PRAGMA page_size=1024;" + c.sql +
                 "CREATE TABLE victim(a INTEGER PRIMARY KEY, b TEXT);"
                 "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i<300)"
                 " INSERT INTO victim SELECT i, 'victim ' || i FROM k;");
    auto truth = tidewell::testing::RowSet(src, "t");
    ASSERT_EQ(truth.size(), c.name == std::string("auto-vacuum file") ? 467u : 700u) << c.name;
    uint32_t leaf = PagesOf(src, "victim", "leaf").at(1);
    auto lost = static_cast<size_t>(CellsOnPage(src, leaf));
    FillPage(src, leaf, 0);
    SalvageReport r = PageLevelSalvage(src, out, {});
    EXPECT_EQ(tidewell::testing::RowSet(out, "t"), truth) << c.name;
    EXPECT_EQ(r.rows_lost_found, 0u) << c.name;
    EXPECT_EQ(ReadRows(out, "victim").size(), 300u - lost) << c.name;
  }
}

// With its root gone, a WITHOUT ROWID table's pages are found by shape, unless an index's
// records could have that shape too: then they go to lost-and-found, never into the table.
TEST(SalvageKinds, WithoutRowidRowsBeneathADamagedRootComeBackOrAreSetApart) {
  TempDir dir;
  std::string src = dir.File("wr.db"), out = dir.File("wr-out.db");
  Sql(src,
      "PRAGMA page_size=1024;"
      "CREATE TABLE t(url TEXT, host TEXT, hits INT, seen REAL, PRIMARY KEY(url)) WITHOUT ROWID;"
      "CREATE TABLE l(url TEXT, n INT); CREATE INDEX l_url ON l(url);"
      "CREATE TABLE u(a TEXT UNIQUE, b INT);"  // an index with no statement, at most 3 wide
      "CREATE TABLE w(word TEXT PRIMARY KEY, freq INT, lang TEXT) WITHOUT ROWID;"
      "CREATE INDEX w_lower ON w(lower(word), freq);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i<900)"
      " INSERT INTO t SELECT 'https://h/' || i, 'h' || (i % 7), i, i / 4.0 FROM k;"
      "INSERT INTO l SELECT url, hits FROM t; INSERT INTO w SELECT 'Word' || hits, hits, 'en' FROM "
      "t;");
  std::map<std::string, std::multiset<std::string>> truth;
  size_t on_t_root = 0;  // rows live on interior pages too
  for (const char* name : {"t", "w"}) {
    truth[name] = tidewell::testing::RowSet(src, name);
    uint32_t root = tidewell::testing::RootPageOf(src, name);
    ASSERT_FALSE(PagesOf(src, name, "internal").empty());
    if (name == std::string("t")) on_t_root = static_cast<size_t>(CellsOnPage(src, root));
    FillPage(src, root, 0x5a);
  }
  // The index's pages too: records (lower(word), freq, word) have the table's shape.
  ASSERT_FALSE(PagesOf(src, "w_lower", "internal").empty());
  FillPage(src, tidewell::testing::RootPageOf(src, "w_lower"), 0x5a);
  SalvageReport r = PageLevelSalvage(src, out, {});
  EXPECT_EQ(tidewell::testing::RowSet(out, "t").size(), truth["t"].size() - on_t_root);
  EXPECT_GT(r.rows_lost_found, 0u);
  for (const auto& [name, rows] : truth) {
    for (const auto& row : tidewell::testing::RowSet(out, name)) EXPECT_EQ(rows.count(row), 1u);
  }
  EXPECT_EQ(tidewell::testing::RowSet(out, "l").size(), 900u);
}

// A child pointer of a WITHOUT ROWID table's tree left pointing into an index (a page of
// another version of the file): the index's records have the table's shape, but are not
// its rows.
TEST(SalvageKinds, AStaleChildPointerIntoAnIndexGivesNoRowsToTheTable) {
  TempDir dir;
  std::string src = dir.File("stale.db"), out = dir.File("stale-out.db");
  Sql(src,
      "PRAGMA page_size=1024;"
      "CREATE TABLE w(word TEXT PRIMARY KEY, freq INT, lang TEXT) WITHOUT ROWID;"
      "CREATE INDEX w_lower ON w(lower(word), freq);"
      "WITH RECURSIVE k(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM k WHERE i<900)"
      " INSERT INTO w SELECT 'Word' || i, i, 'en' FROM k;");
  auto truth = tidewell::testing::RowSet(src, "w");
  uint32_t root = tidewell::testing::RootPageOf(src, "w");
  uint32_t index_leaf = PagesOf(src, "w_lower", "leaf").at(1);
  std::string child = {static_cast<char>(index_leaf >> 24), static_cast<char>(index_leaf >> 16),
                       static_cast<char>(index_leaf >> 8), static_cast<char>(index_leaf)};
  OverwriteAt(src, uint64_t{root - 1} * 1024 + 8, child);  // the root's right child
  PageLevelSalvage(src, out, {});
  auto got = tidewell::testing::RowSet(out, "w");
  EXPECT_GT(got.size(), 0u);
  for (const auto& row : got) EXPECT_EQ(truth.count(row), 1u) << row;
}

TEST_F(Salvage, BrokenOverflowChainDropsOnlyThatRow) {
  std::vector<uint32_t> overflow = PagesOf(src_, "Pages", "overflow");
  ASSERT_FALSE(overflow.empty());
  // A page in the middle of a chain (its next pointer is set): the chain ends early. And
  // the last page of another chain zeroed, as a freed page of another version of the file
  // is: the chain still adds up, but a text full of NULs is not the row.
  std::string bytes = tidewell::testing::ReadAll(src_);
  uint32_t middle = 0, last = 0;
  for (uint32_t p : overflow) {
    size_t at = size_t{p - 1} * 1024;
    bool has_next = bytes[at] || bytes[at + 1] || bytes[at + 2] || bytes[at + 3];
    if (has_next && middle == 0) middle = p;
    if (!has_next) last = p;
  }
  ASSERT_NE(middle, 0u);
  ASSERT_GT(last, middle + 8);  // other rows lie between: not the same chain
  FillPage(src_, middle, 0);
  FillPage(src_, last, 0);
  SalvageReport r = Run();
  EXPECT_EQ(MissingAfterExactCheck("Pages"), 2u);
  EXPECT_EQ(r.rows_dropped, 2u);
  EXPECT_EQ(MissingAfterExactCheck("Links"), 0u);
}

// A disk that fails reads of some pages: a read stops at the first bad page, as pread does
// with EIO.
class FailingDisk final : public pagefile::ByteSource {
 public:
  FailingDisk(std::string bytes, std::set<uint32_t> bad) : bytes_(std::move(bytes)), bad_(bad) {}
  uint64_t Size() const override { return bytes_.size(); }
  size_t ReadAt(uint64_t offset, std::span<uint8_t> out) const override {
    size_t n = 0;
    for (; n < out.size() && offset + n < bytes_.size(); ++n) {
      if (bad_.count(static_cast<uint32_t>((offset + n) / 1024 + 1))) break;
      out[n] = static_cast<uint8_t>(bytes_[offset + n]);
    }
    return n;
  }

 private:
  std::string bytes_;
  std::set<uint32_t> bad_;
};

TEST_F(Salvage, PagesTheDiskCannotReadAreDamagedPagesNotTheEnd) {
  uint32_t leaf = PagesOf(src_, "Links", "leaf").at(3);
  auto on_leaf = static_cast<size_t>(CellsOnPage(src_, leaf));
  // The last page of an overflow chain: read as zeros, its row would come back wrong.
  std::string bytes = tidewell::testing::ReadAll(src_);
  uint32_t chain_end = 0;
  for (uint32_t p : PagesOf(src_, "Pages", "overflow")) {
    if (bytes.compare(size_t{p - 1} * 1024, 4, std::string(4, '\0')) == 0) chain_end = p;
  }
  ASSERT_NE(chain_end, 0u);
  PageLevelSalvage(std::make_unique<FailingDisk>(bytes, std::set<uint32_t>{leaf, chain_end}), src_,
                   out_, {});
  EXPECT_EQ(MissingAfterExactCheck("Links"), on_leaf);
  EXPECT_EQ(MissingAfterExactCheck("Pages"), 1u);
  EXPECT_EQ(MissingAfterExactCheck("Queue"), 0u);
}

TEST_F(Salvage, DeletedRowsOnFreePagesStayDeleted) {
  Sql(src_, "DELETE FROM Queue WHERE QID > 300;");
  truth_["Queue"] = ReadRows(src_, "Queue");
  SalvageReport r = Run();
  ExpectAllBack();
  EXPECT_EQ(r.rows_lost_found, 0u);
}

TEST_F(Salvage, DuplicateKeysAreKeptOnceAndCounted) {
  // A copy of a Queue leaf on a free page, then the header (and with it the freelist) and
  // Queue's root destroyed: both copies of each row are found by the scan.
  Sql(src_,
      "CREATE TABLE Scratch(a INTEGER PRIMARY KEY, b BLOB);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<100)"
      " INSERT INTO Scratch SELECT i, zeroblob(300) FROM n; DROP TABLE Scratch;");
  std::string bytes = tidewell::testing::ReadAll(src_);
  uint32_t trunk = (uint8_t(bytes[32]) << 24) | (uint8_t(bytes[33]) << 16) |
                   (uint8_t(bytes[34]) << 8) | uint8_t(bytes[35]);
  ASSERT_NE(trunk, 0u);
  uint32_t free_leaf = (uint8_t(bytes[size_t{trunk - 1} * 1024 + 8]) << 24) |
                       (uint8_t(bytes[size_t{trunk - 1} * 1024 + 9]) << 16) |
                       (uint8_t(bytes[size_t{trunk - 1} * 1024 + 10]) << 8) |
                       uint8_t(bytes[size_t{trunk - 1} * 1024 + 11]);
  ASSERT_GE(free_leaf, 2u);
  uint32_t queue_leaf = PagesOf(src_, "Queue", "leaf").at(2);
  int cells = CellsOnPage(src_, queue_leaf);
  OverwriteAt(src_, uint64_t{free_leaf - 1} * 1024,
              bytes.substr(size_t{queue_leaf - 1} * 1024, 1024));
  uint32_t root = tidewell::testing::RootPageOf(src_, "Queue");
  OverwriteAt(src_, uint64_t{root - 1} * 1024, std::string(1024, '\x44'));
  OverwriteAt(src_, 0, std::string(100, '\x44'));
  SalvageReport r = Run();
  EXPECT_EQ(r.duplicate_keys, static_cast<uint64_t>(cells));
  ExpectAllBack();
}

TEST_F(Salvage, ProgressCountsPagesUpToTheTotal) {
  uint64_t last_done = 0, last_total = 0, calls = 0;
  bool monotonic = true;
  PageLevelSalvage(src_, out_, [&](std::string_view, uint64_t done, uint64_t total) {
    if (done < last_done || done > total) monotonic = false;
    last_done = done;
    last_total = total;
    ++calls;
  });
  EXPECT_GE(calls, 1u);
  EXPECT_TRUE(monotonic);
  EXPECT_EQ(last_total, std::filesystem::file_size(src_) / 1024);
  EXPECT_EQ(last_done, last_total);
}

class NotADatabase : public ::testing::TestWithParam<std::string> {};

TEST_P(NotADatabase, IsRefusedWithNoDestinationLeft) {
  TempDir dir;
  std::string src = dir.File("input"), out = dir.File("out.db");
  tidewell::testing::WriteAll(src, GetParam());
  try {
    PageLevelSalvage(src, out, {});
    ADD_FAILURE() << "salvaged something from noise";
  } catch (const EngineException& e) {
    EXPECT_EQ(e.error().number, kErrCannotRepair);
    EXPECT_NE(e.error().description.find(src), std::string::npos);
  }
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(tidewell::testing::ReadAll(src), GetParam());
}

std::string Noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 99;
  for (char& c : s) {
    x = x * 1664525 + 1013904223;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

INSTANTIATE_TEST_SUITE_P(Inputs, NotADatabase,
                         ::testing::Values(std::string(), std::string(8192, '\0'), Noise(300000),
                                           std::string("SQLite format 3") + '\0' + Noise(20000),
                                           std::string(40000, 'x') + "\r\nnot a database\r\n"));

TEST(SalvageArguments, AnExistingDestinationIsNeverOverwritten) {
  TempDir dir;
  std::string src = dir.File("a.db"), out = dir.File("b.db");
  Sql(src, "CREATE TABLE t(a); INSERT INTO t VALUES(1);");
  tidewell::testing::WriteAll(out, "keep me");
  EXPECT_THROW(PageLevelSalvage(src, out, {}), EngineException);
  EXPECT_EQ(tidewell::testing::ReadAll(out), "keep me");
}

}  // namespace
}  // namespace tidewell::engine
