#include "engine/pagefile/row_stream.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace tidewell::engine::pagefile {
namespace {

std::string Text(const Value& v) {
  return std::string(v.bytes.begin(), v.bytes.end());
}

// Row k holds k, a text of k's digits repeated and, every 300th row, a blob larger than a
// whole batch's bytes. The caller's buffers are overwritten after every Put: whatever the
// writer reads must be its own copy, but for the large rows, which are never copied.
TEST(RowStream, WritesEveryRowInOrderFromItsOwnCopy) {
  std::vector<std::string> seen;
  std::vector<bool> leaves;
  size_t groups = 0;
  const uint8_t* large = nullptr;  // the caller's buffer of the large row being put
  {
    RowStream stream([&](std::span<const RowStream::Row> rows) {
      ++groups;
      for (const RowStream::Row& r : rows) {
        ASSERT_EQ(r.values.size(), 3u);
        seen.push_back(std::to_string(r.table) + "/" + std::to_string(r.rowid) + "/" +
                       std::to_string(r.pgno) + "/" + std::to_string(r.values[0].i) + "/" +
                       Text(r.values[1]) + "/" + std::to_string(r.values[2].bytes.size()));
        leaves.push_back(r.new_leaf);
        if (r.values[2].bytes.size() > 1000) {
          EXPECT_EQ(r.values[2].bytes.data(), large);
        }
      }
    });
    std::string text, blob;
    for (int64_t k = 1; k <= 3000; ++k) {
      text = std::string(static_cast<size_t>(k % 50), static_cast<char>('0' + k % 10));
      blob.assign(k % 300 == 0 ? 300 * 1024 : 10, 'b');
      std::vector<Value> values(3);
      values[0].kind = Value::kInt;
      values[0].i = k;
      values[1].kind = Value::kText;
      values[1].bytes = Bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      values[2].kind = Value::kBlob;
      values[2].bytes = Bytes(reinterpret_cast<const uint8_t*>(blob.data()), blob.size());
      large = values[2].bytes.data();
      stream.Put(static_cast<size_t>(k % 3), k, static_cast<uint32_t>(k / 7), k % 7 == 0, values);
      text.assign(text.size(), 'x');
      blob.assign(blob.size(), 'x');
    }
    stream.Drain();
  }
  ASSERT_EQ(seen.size(), 3000u);
  for (int64_t k = 1; k <= 3000; ++k) {
    const std::string text(static_cast<size_t>(k % 50), static_cast<char>('0' + k % 10));
    EXPECT_EQ(seen[static_cast<size_t>(k - 1)], std::to_string(k % 3) + "/" + std::to_string(k) +
                                                    "/" + std::to_string(k / 7) + "/" +
                                                    std::to_string(k) + "/" + text + "/" +
                                                    std::to_string(k % 300 == 0 ? 300 * 1024 : 10));
    EXPECT_EQ(leaves[static_cast<size_t>(k - 1)], k % 7 == 0);
  }
  EXPECT_GT(groups, 1u);  // handed over in batches, not all at the end
  EXPECT_LT(groups, 3000u);
}

// A write that throws stops the writing: Drain rethrows it once, and no row put after it
// is written.
TEST(RowStream, AFailedWriteIsRethrownOnceAndEndsTheWriting) {
  std::vector<int64_t> written;
  RowStream stream([&](std::span<const RowStream::Row> rows) {
    for (const RowStream::Row& r : rows) {
      if (r.rowid == 700) throw std::runtime_error("disk full");
      written.push_back(r.rowid);
    }
  });
  const std::vector<Value> none;
  for (int64_t k = 1; k <= 2000; ++k) stream.Put(0, k, 1, false, none);
  EXPECT_THROW(stream.Drain(), std::runtime_error);
  for (int64_t k = 2001; k <= 2100; ++k) stream.Put(0, k, 1, false, none);
  EXPECT_NO_THROW(stream.Drain());
  ASSERT_FALSE(written.empty());
  EXPECT_LT(written.back(), 700);
  for (size_t i = 0; i < written.size(); ++i) EXPECT_EQ(written[i], static_cast<int64_t>(i + 1));
}

}  // namespace
}  // namespace tidewell::engine::pagefile
