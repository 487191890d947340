// Page accounting of a database file, read once from start to end and then walked, tree by
// tree, with a few bits kept per page: every page must sit in exactly one place (a b-tree,
// an overflow chain, the freelist or the pointer map). SQLite 3.40's own check skips this
// whole bookkeeping when the schema holds a view, and a torn commit or a smashed freelist
// then passes as healthy.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tidewell::engine::pagefile {

struct AccountingInput {
  std::string path;
  uint32_t page_size = 0;       // as SQLite reads it
  uint32_t page_count = 0;      // as SQLite counts it
  std::vector<uint32_t> roots;  // every b-tree root of the catalog, page 1 included
  std::function<void(uint32_t pages_read)> progress;  // may be empty
};

// Empty when the pages add up; otherwise what is wrong, naming the first page found.
std::string CheckPageAccounting(const AccountingInput& in);

}  // namespace tidewell::engine::pagefile
