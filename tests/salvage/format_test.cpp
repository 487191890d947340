// The record format on hand-made bytes, where the values SQLite would rarely write are
// easy to spell out; the salvage tests read SQLite's own pages end to end.
#include "engine/pagefile/format.h"

#include <gtest/gtest.h>

namespace tidewell::engine::pagefile {
namespace {

std::vector<uint8_t> B(std::initializer_list<int> v) {
  return {v.begin(), v.end()};
}

TEST(Varint, DecodesOneToNineBytesAndNothingRunningPastTheEnd) {
  struct {
    std::vector<uint8_t> in;
    size_t length;
    uint64_t value;
  } rows[] = {{B({0x7f}), 1, 127},
              {B({0x81, 0x00}), 2, 128},
              {B({0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}), 9, ~uint64_t{0}},
              {B({0x81, 0x82}), 0, 0},
              {{}, 0, 0}};
  for (const auto& row : rows) {
    uint64_t v = 0;
    EXPECT_EQ(ReadVarint(row.in, &v), row.length) << row.value;
    EXPECT_EQ(row.length ? v : 0, row.value);
  }
}

TEST(Record, DecodesEverySerialType) {
  // NULL, 1-, 2-, 3-, 4-, 6- and 8-byte integers, a real, the constants 0 and 1, "hi", a
  // one-byte blob.
  const std::vector<uint8_t> record =
      B({13,   0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    17,
         14,   0xff, 0x01, 0x00, 0x01, 0x00, 0x00, 0x80, 0,    0,    0,    0x01,
         0x02, 0x03, 0x04, 0x05, 0x06, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
         0xff, 0x3f, 0xf8, 0,    0,    0,    0,    0,    0,    'h',  'i',  0xab});
  std::vector<Value> v;  // its text and blob point into the record
  ASSERT_TRUE(DecodeRecord(record, &v));
  ASSERT_EQ(v.size(), 12u);
  const int64_t ints[] = {-1, 256, 65536, INT32_MIN, 0x010203040506, INT64_MAX};
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(v[i + 1].i, ints[i]) << i;
  EXPECT_EQ(v[0].kind, Value::kNull);
  EXPECT_EQ(v[7].kind, Value::kReal);
  EXPECT_DOUBLE_EQ(v[7].r, 1.5);
  EXPECT_EQ(v[8].i, 0);
  EXPECT_EQ(v[9].i, 1);
  EXPECT_EQ(v[10].kind, Value::kText);
  EXPECT_EQ(std::string(v[10].bytes.begin(), v[10].bytes.end()), "hi");
  EXPECT_EQ(v[11].kind, Value::kBlob);
  ASSERT_EQ(v[11].bytes.size(), 1u);
  EXPECT_EQ(v[11].bytes[0], 0xab);
}

TEST(Record, LengthsThatDisagreeWithTheSizeAreRejected) {
  std::vector<Value> v;
  for (const auto& bad :
       {B({2, 1, 5, 6}), B({2, 2, 5}), B({9, 1, 5}), B({2, 10}), B({2, 11}), B({0}),
        // a text claiming a billion bytes in a ten-byte record
        B({6, 0x87, 0xee, 0xb5, 0x94, 0x0d, 'a', 'b', 'c', 'd'}),
        // NaN is never stored as a real
        B({2, 7, 0x7f, 0xf8, 0, 0, 0, 0, 0, 1})}) {
    EXPECT_FALSE(DecodeRecord(bad, &v)) << int(bad[0]) << " " << bad.size();
  }
  EXPECT_TRUE(DecodeRecord(B({2, 1, 5}), &v));
}

}  // namespace
}  // namespace tidewell::engine::pagefile
