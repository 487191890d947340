// The big-endian fields of a database file, read and written in place by page and offset:
// what a test needs to rewrite the links between pages by hand.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace tidewell::testing {

class PageFields {
 public:
  explicit PageFields(const std::string& path) : path_(path), page_size_(PageSizeOf(path)) {}
  const std::string& path() const { return path_; }

  // A field of `bytes` bytes at offset `at` of a page (page 1's offsets count from the file's
  // start, header included).
  uint32_t Get(uint32_t page, uint32_t at, int bytes = 4) const {
    const std::string b = ReadAll(path_).substr(Offset(page, at), bytes);
    uint32_t v = 0;
    for (char c : b) v = v << 8 | uint8_t(c);
    return v;
  }
  void Put(uint32_t page, uint32_t at, uint32_t v, int bytes = 4) const {
    std::string b(bytes, '\0');
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) b[i] = char(v & 0xff);
    OverwriteAt(path_, Offset(page, at), b);
  }
  uint32_t Pages() const { return uint32_t(std::filesystem::file_size(path_) / page_size_); }

  // Where cell i of a b-tree page starts, as its cell pointer says.
  uint32_t CellAt(uint32_t page, uint32_t i) const {
    const uint32_t header = page == 1 ? 100 : 0;
    return Get(page, header + (Get(page, header, 1) < 8 ? 12 : 8) + 2 * i, 2);
  }
  // Left child of cell i of an interior page; the right child when i is the cell count.
  uint32_t Child(uint32_t page, uint32_t i) const { return Get(page, ChildAt(page, i)); }
  void SetChild(uint32_t page, uint32_t i, uint32_t child) const {
    Put(page, ChildAt(page, i), child);
  }

  // The freelist: its first trunk page and that trunk's leaves.
  uint32_t Trunk() const { return Get(1, 32); }
  uint32_t FreeCount() const { return Get(1, 36); }
  std::vector<uint32_t> TrunkLeaves() const {
    std::vector<uint32_t> out;
    for (uint32_t i = 0, n = Get(Trunk(), 4); i < n; ++i) out.push_back(Get(Trunk(), 8 + 4 * i));
    return out;
  }

 private:
  uint64_t Offset(uint32_t page, uint32_t at) const { return uint64_t{page - 1} * page_size_ + at; }
  uint32_t ChildAt(uint32_t page, uint32_t i) const {
    const uint32_t header = page == 1 ? 100 : 0;
    return i == Get(page, header + 3, 2) ? header + 8 : CellAt(page, i);
  }
  std::string path_;
  uint32_t page_size_;
};

}  // namespace tidewell::testing
