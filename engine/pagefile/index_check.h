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

// Two words at a time into two sums, so that neither waits on the other's multiply.
inline uint64_t FoldBytes(uint64_t h, const uint8_t* p, size_t n) {
  uint64_t a = Fold(h, n), b = Fold(h ^ 0x6a09e667f3bcc909ULL, n);
  for (; n >= 16; p += 16, n -= 16) {
    uint64_t w[2];
    std::memcpy(w, p, 16);
    a = Fold(a, w[0]);
    b = Fold(b, w[1]);
  }
  // The last bytes in whole loads that may overlap (the length is already in the sums): a
  // copy of a varying length into a buffer read back at once stalls on every value.
  uint64_t w0 = 0, w1 = 0;
  if (n >= 8) {
    std::memcpy(&w0, p, 8);
    std::memcpy(&w1, p + n - 8, 8);
  } else if (n >= 4) {
    uint32_t lo, hi;
    std::memcpy(&lo, p, 4);
    std::memcpy(&hi, p + n - 4, 4);
    w0 = (uint64_t{hi} << 32) | lo;
  } else if (n > 0) {  // n > 0 only where p is a real buffer
    w0 = uint64_t{p[0]} | uint64_t{p[n / 2]} << 8 | uint64_t{p[n - 1]} << 16;
  }
  // A change of one byte reaches only one of the two sums: the fold that joins them cannot
  // cancel it.
  return Fold(Fold(Fold(a, w0), w1), b);
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
