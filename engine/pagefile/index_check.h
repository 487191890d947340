// Every index compared with its table by reading the b-trees straight from the file: each
// row of the table gives the entry each of its indexes must hold, each index entry is read
// once in key order, and the two sides are compared by order-independent sums, so nothing
// is looked up row by row. A missing, extra, doubled or changed entry changes the sums; an
// entry out of order, or a second one with the same key under a unique index, is seen as
// the index is read.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/pagefile/format.h"

namespace tidewell::engine::pagefile {

// --- The sums both checks use ---

inline uint64_t Fold(uint64_t h, uint64_t word) {
  h = (h ^ word) * 0x9e3779b97f4a7c15ULL;
  return (h << 31) | (h >> 33);
}

inline uint64_t Finish(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  return h ^ (h >> 33);
}

inline uint64_t FoldBytes(uint64_t h, const uint8_t* p, size_t n) {
  h = Fold(h, n);
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = Fold(h, w);
  }
  uint64_t w = 0;
  if (n) std::memcpy(&w, p, n);  // n > 0 only where p is a real buffer
  return Fold(h, w);
}

// A whole REAL may be stored as an integer on one side; it is summed as the integer.
uint64_t FoldValue(uint64_t h, const Value& v);

// SQLite's order of two values under a collation: 'B' binary, 'N' nocase, 'R' rtrim.
int CompareValues(const Value& a, const Value& b, char collation);

// One multiset of tuples: two independent sums and a count.
struct TupleSums {
  uint64_t sum = 0, remixed = 0, count = 0;
  void Add(uint64_t tuple_hash) {
    sum += tuple_hash;
    remixed += Finish(tuple_hash ^ 0x2545f4914f6cdd1dULL);
    ++count;
  }
  bool operator==(const TupleSums&) const = default;
};

// --- The check read from the file ---

struct TableIndex {
  std::string name;
  uint32_t root = 0;
  // For each column of the index's records, the field of the table's records it comes
  // from; -1 is the rowid.
  std::vector<int> fields;
  std::string collations;  // one letter per column: B, N, R; lower case when descending
  size_t key_columns = 0;  // the leading columns that make up the key
  bool unique = false;
};

struct IndexedTable {
  std::string name;
  uint32_t root = 0;
  int rowid_field = -1;  // the INTEGER PRIMARY KEY column, stored as NULL: its value is the rowid
  std::vector<TableIndex> indexes;
};

struct IndexCheckInput {
  std::string path;
  uint32_t page_size = 0, page_count = 0;
  std::vector<IndexedTable> tables;
  const std::atomic<bool>* stop = nullptr;  // set: give up at the next page
};

struct IndexCheckResult {
  enum Verdict { kMatch, kMismatch, kUndecided } verdict = kMatch;
  std::string problem;  // what differs, or why this reader cannot decide
};

// kUndecided when a row is shorter than the fields its indexes need (a column added later
// holds its default there, which only SQLite knows): the caller then lets SQLite compare.
IndexCheckResult CheckIndexesAgainstTables(const IndexCheckInput& in);
// The same over another source of the file's bytes (fuzzing); `in.path` is not read.
IndexCheckResult CheckIndexesAgainstTables(const IndexCheckInput& in,
                                           std::unique_ptr<ByteSource> source);

}  // namespace tidewell::engine::pagefile
