// The file-format reader on hand-made and SQLite-made bytes: varints, records, the page
// kinds, and every check that keeps a damaged page from being read out of bounds.
#include "engine/pagefile/format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/pagefile/schema.h"
#include "tests/salvage/salvage_files.h"
#include "tests/support/files.h"

namespace tidewell::engine::pagefile {
namespace {

using tidewell::testing::PagesOf;
using tidewell::testing::ReadAll;
using tidewell::testing::Sql;
using tidewell::testing::TempDir;

std::vector<uint8_t> B(std::initializer_list<int> v) {
  std::vector<uint8_t> out;
  for (int x : v) out.push_back(static_cast<uint8_t>(x));
  return out;
}

TEST(Varint, DecodesOneToNineBytes) {
  uint64_t v = 0;
  auto one = B({0x7f});
  EXPECT_EQ(ReadVarint(one, &v), 1u);
  EXPECT_EQ(v, 127u);
  auto two = B({0x81, 0x00});
  EXPECT_EQ(ReadVarint(two, &v), 2u);
  EXPECT_EQ(v, 128u);
  // Nine bytes: the last one contributes all eight bits.
  auto nine = B({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  EXPECT_EQ(ReadVarint(nine, &v), 9u);
  EXPECT_EQ(v, ~uint64_t{0});
}

TEST(Varint, RunningPastTheEndIsNotAValue) {
  uint64_t v = 0;
  auto cut = B({0x81, 0x82});
  EXPECT_EQ(ReadVarint(cut, &v), 0u);
  EXPECT_EQ(ReadVarint({}, &v), 0u);
}

TEST(Record, DecodesEverySerialType) {
  // header: size 10; types NULL, int8, int16, int24, int32, int48, int64, real, 0, 1, then
  // text "hi" (17) and blob of 1 (14).
  auto rec =
      B({13,   0,    1,    2,    3,    4,    5,    6,    7, 8, 9, 17, 14,  // header (13 bytes)
         0xff,                                                             // -1
         0x01, 0x00,                                                       // 256
         0x01, 0x00, 0x00,                                                 // 65536
         0x80, 0x00, 0x00, 0x00,                                           // INT32_MIN
         0x00, 0x01, 0x00, 0x00, 0x00, 0x00,                               // 2^32
         0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,                   // INT64_MAX
         0x3f, 0xf8, 0,    0,    0,    0,    0,    0,                      // 1.5
         'h',  'i',  0xab});
  std::vector<Value> v;
  ASSERT_TRUE(DecodeRecord(rec, &v));
  ASSERT_EQ(v.size(), 12u);
  EXPECT_EQ(v[0].kind, Value::kNull);
  EXPECT_EQ(v[1].i, -1);
  EXPECT_EQ(v[2].i, 256);
  EXPECT_EQ(v[3].i, 65536);
  EXPECT_EQ(v[4].i, INT32_MIN);
  EXPECT_EQ(v[5].i, int64_t{1} << 32);
  EXPECT_EQ(v[6].i, INT64_MAX);
  EXPECT_EQ(v[7].kind, Value::kReal);
  EXPECT_DOUBLE_EQ(v[7].r, 1.5);
  EXPECT_EQ(v[8].i, 0);
  EXPECT_EQ(v[9].i, 1);
  EXPECT_EQ(v[10].kind, Value::kText);
  EXPECT_EQ(std::string(v[10].bytes.begin(), v[10].bytes.end()), "hi");
  EXPECT_EQ(v[11].kind, Value::kBlob);
  EXPECT_EQ(v[11].bytes.size(), 1u);
}

TEST(Record, LengthsThatDisagreeWithTheSizeAreRejected) {
  std::vector<Value> v;
  EXPECT_FALSE(DecodeRecord(B({2, 1, 5, 6}), &v));  // one byte too many
  EXPECT_FALSE(DecodeRecord(B({2, 2, 5}), &v));     // one byte short
  EXPECT_FALSE(DecodeRecord(B({9, 1, 5}), &v));     // header larger than the record
  EXPECT_FALSE(DecodeRecord(B({2, 10}), &v));       // reserved serial type
  EXPECT_FALSE(DecodeRecord(B({2, 11}), &v));
  // A text claiming a billion bytes in a ten-byte record.
  EXPECT_FALSE(DecodeRecord(B({6, 0x87, 0xee, 0xb5, 0x94, 0x0d, 'a', 'b', 'c', 'd'}), &v));
  EXPECT_FALSE(DecodeRecord(B({0}), &v));  // header size smaller than itself
  // NaN is never stored as a real.
  EXPECT_FALSE(DecodeRecord(B({2, 7, 0x7f, 0xf8, 0, 0, 0, 0, 0, 1}), &v));
  EXPECT_TRUE(DecodeRecord(B({2, 1, 5}), &v));
}

TEST(Record, HeaderAloneGivesTheTypesOfAnOverflowingRecord) {
  std::vector<uint64_t> types;
  // A 4-byte header: int8 and a 100-byte text (13 + 2 * 100 = 213 = 0x81 0x55); only the
  // header is on the page.
  auto local = B({4, 1, 0x81, 0x55});
  EXPECT_FALSE(DecodeRecordHeader(local, 4 + 1 + 99, &types));
  EXPECT_FALSE(DecodeRecordHeader(B({4, 1, 0x81}), 4 + 1 + 100, &types));  // header cut off
  ASSERT_TRUE(DecodeRecordHeader(local, 4 + 1 + 100, &types));
  ASSERT_EQ(types.size(), 2u);
  EXPECT_EQ(types[1], 213u);
}

TEST(LocalPayload, MatchesTheFormulasOfTheFormat) {
  // 4096-byte pages: table leaves keep up to 4061 bytes, index cells up to 1002.
  EXPECT_EQ(LocalPayloadSize(4061, 4096, true), 4061u);
  EXPECT_EQ(LocalPayloadSize(1002, 4096, false), 1002u);
  uint32_t min_local = ((4096 - 12) * 32 / 255) - 23;
  uint32_t k = min_local + (5000 - min_local) % (4096 - 4);
  EXPECT_EQ(LocalPayloadSize(5000, 4096, true), k <= 4061 ? k : min_local);
  EXPECT_LE(LocalPayloadSize(1u << 30, 4096, false), 1002u);
}

// A real file from SQLite, read with the reader: the four page kinds, overflow chains.
class RealFile : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("real.db");
    Sql(path_,
        "PRAGMA page_size=1024;"
        "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, body TEXT);"
        "CREATE INDEX t_name ON t(name);"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<400)"
        " INSERT INTO t SELECT i, 'name number ' || i, CASE WHEN i % 50 = 0 THEN"
        " printf('%.3000c', 'x') ELSE 'short' END FROM n;");
    bytes_ = ReadAll(path_);
  }
  PageFile Open() { return PageFile(OpenFileSource(path_)); }
  BtreePage Page(const PageFile& f, uint32_t pgno, std::vector<uint8_t>* buf) {
    EXPECT_TRUE(f.ReadPage(pgno, buf));
    BtreePage p;
    EXPECT_TRUE(ParseBtreePage(*buf, pgno, f.usable(), &p));
    return p;
  }
  TempDir dir_;
  std::string path_;
  std::string bytes_;
};

TEST_F(RealFile, HeaderAndPageCountComeFromTheFile) {
  PageFile f = Open();
  ASSERT_TRUE(f.ok());
  EXPECT_TRUE(f.page_size_from_header());
  EXPECT_EQ(f.page_size(), 1024u);
  EXPECT_EQ(f.page_count(), bytes_.size() / 1024);
  EXPECT_TRUE(f.header().magic_ok);
}

TEST_F(RealFile, EveryPageKindDecodes) {
  PageFile f = Open();
  std::vector<uint8_t> buf;
  uint32_t interior = PagesOf(path_, "t", "internal").at(0);
  BtreePage p = Page(f, interior, &buf);
  EXPECT_EQ(p.type, kTableInterior);
  EXPECT_TRUE(PageAccountsExactly(p));
  uint32_t child = 0;
  int64_t key = 0;
  ASSERT_TRUE(ParseTableInteriorCell(p, 0, &child, &key));
  EXPECT_GE(child, 2u);
  EXPECT_LE(child, f.page_count());

  uint32_t leaf = PagesOf(path_, "t", "leaf").at(0);
  p = Page(f, leaf, &buf);
  EXPECT_EQ(p.type, kTableLeaf);
  PayloadCell c;
  ASSERT_TRUE(ParseTableLeafCell(p, 0, &c));
  EXPECT_EQ(c.rowid, 1);
  std::vector<Value> v;
  ASSERT_TRUE(DecodeRecord(c.local, &v));
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[0].kind, Value::kNull);  // the rowid column is stored as NULL
  EXPECT_EQ(std::string(v[1].bytes.begin(), v[1].bytes.end()), "name number 1");

  uint32_t index_interior = PagesOf(path_, "t_name", "internal").at(0);
  p = Page(f, index_interior, &buf);
  EXPECT_EQ(p.type, kIndexInterior);
  ASSERT_TRUE(ParseIndexCell(p, 0, &c));
  EXPECT_NE(c.left_child, 0u);
  uint32_t index_leaf = PagesOf(path_, "t_name", "leaf").at(0);
  p = Page(f, index_leaf, &buf);
  EXPECT_EQ(p.type, kIndexLeaf);
  ASSERT_TRUE(ParseIndexCell(p, 0, &c));
  ASSERT_TRUE(DecodeRecord(c.local, &v));
  EXPECT_EQ(v.size(), 2u);  // the indexed column and the rowid
}

// Finds the cell of row `rowid` by walking the leaves of t.
bool FindCell(const PageFile& f, const std::string& path, int64_t rowid, std::vector<uint8_t>* buf,
              BtreePage* page, PayloadCell* cell) {
  for (uint32_t leaf : PagesOf(path, "t", "leaf")) {
    f.ReadPage(leaf, buf);
    if (!ParseBtreePage(*buf, leaf, f.usable(), page)) continue;
    for (uint32_t i = 0; i < page->cell_count; ++i) {
      if (ParseTableLeafCell(*page, i, cell) && cell->rowid == rowid) return true;
    }
  }
  return false;
}

TEST_F(RealFile, OverflowChainIsReadWhole) {
  PageFile f = Open();
  std::vector<uint8_t> buf, payload;
  BtreePage p;
  PayloadCell c;
  ASSERT_TRUE(FindCell(f, path_, 50, &buf, &p, &c));
  ASSERT_NE(c.first_overflow, 0u);
  std::vector<uint32_t> chain;
  ASSERT_TRUE(ReadFullPayload(f, c, nullptr, &payload, &chain));
  EXPECT_EQ(payload.size(), c.payload_size);
  // What does not stay on the page fills 1020-byte overflow pages.
  EXPECT_EQ(chain.size(), (c.payload_size - c.local.size() + 1019) / 1020);
  EXPECT_GE(chain.size(), 2u);
  std::vector<Value> v;
  ASSERT_TRUE(DecodeRecord(payload, &v));
  EXPECT_EQ(v[2].bytes.size(), 3000u);
}

TEST_F(RealFile, CyclicOrShortOverflowChainsAreRefused) {
  std::vector<uint8_t> buf, payload;
  BtreePage p;
  PayloadCell c;
  {
    PageFile f = Open();
    ASSERT_TRUE(FindCell(f, path_, 50, &buf, &p, &c));
  }
  uint32_t first = c.first_overflow;
  // The first overflow page points back at itself.
  std::string self(4, '\0');
  self[0] = static_cast<char>(first >> 24);
  self[1] = static_cast<char>(first >> 16);
  self[2] = static_cast<char>(first >> 8);
  self[3] = static_cast<char>(first);
  tidewell::testing::OverwriteAt(path_, uint64_t{first - 1} * 1024, self);
  {
    PageFile f = Open();
    ASSERT_TRUE(FindCell(f, path_, 50, &buf, &p, &c));
    EXPECT_FALSE(ReadFullPayload(f, c, nullptr, &payload, nullptr));
  }
  // The chain ends one page early.
  tidewell::testing::OverwriteAt(path_, uint64_t{first - 1} * 1024, std::string(4, '\0'));
  {
    PageFile f = Open();
    ASSERT_TRUE(FindCell(f, path_, 50, &buf, &p, &c));
    EXPECT_FALSE(ReadFullPayload(f, c, nullptr, &payload, nullptr));
  }
}

TEST_F(RealFile, HugeDeclaredPayloadIsRefusedWithoutAllocatingIt) {
  PageFile f = Open();
  std::vector<uint8_t> buf, payload;
  BtreePage p;
  PayloadCell c;
  ASSERT_TRUE(FindCell(f, path_, 50, &buf, &p, &c));
  c.payload_size = uint64_t{1} << 31;  // more than the whole file could hold
  EXPECT_FALSE(ReadFullPayload(f, c, nullptr, &payload, nullptr));
  EXPECT_LT(payload.capacity(), 1u << 20);
}

TEST(PageBounds, DamagedHeadersAndCellsAreRefused) {
  std::vector<uint8_t> page(1024, 0);
  BtreePage p;
  page[0] = 13;
  page[3] = 0x01;  // 256 cells: the pointer array alone needs 520 bytes (fits)
  page[4] = 0x00;
  page[5] = 0x02;  // content starts at 512: inside the pointer array
  page[6] = 0x00;
  EXPECT_FALSE(ParseBtreePage(page, 2, 1024, &p));
  page[3] = 0x02;  // 512 cells: 1032 bytes of pointers, beyond the page
  EXPECT_FALSE(ParseBtreePage(page, 2, 1024, &p));
  page[0] = 7;  // not a page kind
  page[3] = 0;
  EXPECT_FALSE(ParseBtreePage(page, 2, 1024, &p));

  // One cell whose pointer points past the usable area, one truncated at the page end.
  std::fill(page.begin(), page.end(), 0);
  page[0] = 13;
  page[4] = 2;
  page[5] = 0x03;
  page[6] = 0xf0;  // content at 1008
  page[8] = 0x04;
  page[9] = 0x10;  // cell 0 at 1040: beyond the page
  page[10] = 0x03;
  page[11] = 0xfc;    // cell 1 at 1020: 4 bytes left
  page[1020] = 0x7f;  // payload of 127 bytes, cannot fit
  page[1021] = 0x01;
  ASSERT_TRUE(ParseBtreePage(page, 2, 1024, &p));
  PayloadCell c;
  EXPECT_FALSE(ParseTableLeafCell(p, 0, &c));
  EXPECT_FALSE(ParseTableLeafCell(p, 1, &c));
  EXPECT_FALSE(ParseTableLeafCell(p, 2, &c));  // beyond the cell count
}

TEST(PageSize, FoundFromThePagesWhenTheHeaderIsGone) {
  TempDir dir;
  std::string path = dir.File("smashed.db");
  Sql(path,
      "PRAGMA page_size=2048; CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT);"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<3000)"
      " INSERT INTO t SELECT i, 'value ' || i FROM n;");
  tidewell::testing::OverwriteAt(path, 0, std::string(100, '\x5a'));
  PageFile f(OpenFileSource(path));
  ASSERT_TRUE(f.ok());
  EXPECT_FALSE(f.page_size_from_header());
  EXPECT_EQ(f.page_size(), 2048u);
}

TEST(PageSize, NoiseHasNone) {
  std::vector<uint8_t> noise(100000);
  uint32_t x = 12345;
  for (auto& b : noise) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  EXPECT_FALSE(PageFile(MemorySource(noise)).ok());
  std::vector<uint8_t> zeros(65536, 0);
  EXPECT_FALSE(PageFile(MemorySource(zeros)).ok());
  EXPECT_FALSE(PageFile(MemorySource({})).ok());
}

}  // namespace
}  // namespace tidewell::engine::pagefile
