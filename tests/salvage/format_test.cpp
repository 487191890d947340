#include "engine/pagefile/format.h"

#include <gtest/gtest.h>

namespace tidewell::engine::pagefile {
namespace {
TEST(Varint, OneByte) {
  uint8_t b[] = {0x05};
  uint64_t v = 0;
  EXPECT_EQ(ReadVarint(b, &v), 1u);
  EXPECT_EQ(v, 5u);
}
}  // namespace
}  // namespace tidewell::engine::pagefile
