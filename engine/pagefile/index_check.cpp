#include "engine/pagefile/index_check.h"

#include <cmath>

#include "engine/pagefile/committed.h"

namespace tidewell::engine::pagefile {

uint64_t FoldValue(uint64_t h, const Value& v) {
  switch (v.kind) {
    case Value::kInt:
      return Fold(h ^ 1, static_cast<uint64_t>(v.i));
    case Value::kReal: {
      if (std::trunc(v.r) == v.r && v.r >= -9.2e18 && v.r <= 9.2e18)
        return Fold(h ^ 1, static_cast<uint64_t>(static_cast<int64_t>(v.r)));
      uint64_t bits;
      std::memcpy(&bits, &v.r, 8);
      return Fold(h ^ 2, bits);
    }
    case Value::kText:
      return FoldBytes(h ^ 3, v.bytes.data(), v.bytes.size());
    case Value::kBlob:
      return FoldBytes(h ^ 4, v.bytes.data(), v.bytes.size());
    default:
      return Fold(h ^ 5, 0);
  }
}

namespace {

int Sign(int64_t d) {
  return d < 0 ? -1 : d > 0 ? 1 : 0;
}

int CompareText(Bytes a, Bytes b, char collation) {
  if (collation == 'R') {
    while (!a.empty() && a.back() == ' ') a = a.first(a.size() - 1);
    while (!b.empty() && b.back() == ' ') b = b.first(b.size() - 1);
  }
  size_t n = std::min(a.size(), b.size());
  if (collation != 'N') {
    int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    n = 0;  // equal up to the shorter one: the lengths decide
  }
  for (size_t k = 0; k < n; ++k) {
    uint8_t x = a[k], y = b[k];
    if (collation == 'N') {
      if (x >= 'A' && x <= 'Z') x = static_cast<uint8_t>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<uint8_t>(y + 32);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return Sign(static_cast<int64_t>(a.size()) - static_cast<int64_t>(b.size()));
}

}  // namespace

// SQLite's order of values: NULL, numbers, text, blobs.
int CompareValues(const Value& a, const Value& b, char collation) {
  auto rank = [](Value::Kind k) {
    return k == Value::kNull ? 0 : k == Value::kText ? 2 : k == Value::kBlob ? 3 : 1;
  };
  int ra = rank(a.kind), rb = rank(b.kind);
  if (ra != rb) return ra < rb ? -1 : 1;
  if (ra == 0) return 0;
  if (ra == 1) {
    if (a.kind == Value::kInt && b.kind == Value::kInt) return a.i < b.i ? -1 : a.i > b.i;
    double x = a.kind == Value::kInt ? static_cast<double>(a.i) : a.r;
    double y = b.kind == Value::kInt ? static_cast<double>(b.i) : b.r;
    return x < y ? -1 : x > y;
  }
  return CompareText(a.bytes, b.bytes, ra == 2 ? collation : 'B');
}

namespace {

constexpr size_t kMaxDepth = 64;  // far deeper than any real b-tree; a loop ends here

class IndexCheck {
 public:
  IndexCheck(const IndexCheckInput& in, std::unique_ptr<ByteSource> source)
      : in_(in), file_(std::move(source), in.page_size), seen_(size_t{in.page_count} + 1) {}

  IndexCheckResult Run() {
    if (!file_.ok() || file_.page_size() != in_.page_size)
      return {IndexCheckResult::kMismatch, "the page size does not read"};
    for (const IndexedTable& table : in_.tables) {
      std::vector<TupleSums> from_table(table.indexes.size());
      if (!WalkTable(table, "table " + table.name, table.root, 0, &from_table)) return result_;
      for (size_t k = 0; k < table.indexes.size(); ++k) {
        const TableIndex& index = table.indexes[k];
        entries_ = {};
        have_previous_ = false;
        if (!WalkIndex(index, "index " + index.name, index.root, 0)) return result_;
        if (!(entries_ == from_table[k])) {
          Fail("index " + index.name + " does not match table " + table.name);
          return result_;
        }
      }
    }
    return result_;
  }

 private:
  bool Fail(const std::string& problem,
            IndexCheckResult::Verdict verdict = IndexCheckResult::kMismatch) {
    result_ = {verdict, problem};
    return false;
  }

  // Reads a page of the tree for the first and only time.
  bool Enter(uint32_t pgno, size_t depth, const std::string& tree, BtreePage* page) {
    if (in_.stop && *in_.stop) return Fail("stopped");
    if (depth >= kMaxDepth || pgno == 0 || pgno > in_.page_count || seen_[pgno])
      return Fail(tree + " reaches page " + std::to_string(pgno) + " twice or out of range");
    seen_[pgno] = true;
    if (buffers_.size() <= depth) buffers_.resize(depth + 1);
    if (!file_.ReadPage(pgno, &buffers_[depth]) ||
        !ParseBtreePage(buffers_[depth], pgno, file_.usable(), page))
      return Fail(tree + " holds page " + std::to_string(pgno) + ", which does not read");
    return true;
  }

  // Decodes the record of a cell, read into `bytes` when it does not fit on the page.
  bool Payload(const PayloadCell& cell, std::vector<uint8_t>* bytes, std::vector<Value>* values) {
    if (cell.first_overflow == 0) return DecodeRecord(cell.local, values);
    return ReadFullPayload(file_, cell, nullptr, bytes, nullptr) && DecodeRecord(*bytes, values);
  }

  bool WalkTable(const IndexedTable& table, const std::string& tree, uint32_t pgno, size_t depth,
                 std::vector<TupleSums>* sums) {
    BtreePage page;
    if (!Enter(pgno, depth, tree, &page)) return false;
    if (!page.IsTable()) return Fail(tree + " holds index page " + std::to_string(pgno));
    for (uint32_t i = 0; i < page.cell_count; ++i) {
      if (!page.IsLeaf()) {
        uint32_t child = 0;
        int64_t key = 0;
        if (!ParseTableInteriorCell(page, i, &child, &key))
          return Fail(tree + ": page " + std::to_string(pgno) + " does not read");
        if (!WalkTable(table, tree, child, depth + 1, sums)) return false;
        continue;
      }
      PayloadCell cell;
      if (!ParseTableLeafCell(page, i, &cell) || !Payload(cell, &row_bytes_, &row_values_))
        return Fail(tree + ": a row of page " + std::to_string(pgno) + " does not read");
      const Value rowid{Value::kInt, cell.rowid, 0, {}};
      for (size_t k = 0; k < table.indexes.size(); ++k) {
        uint64_t h = 0x5bd1e995;
        for (int field : table.indexes[k].fields) {
          if (field >= 0 && static_cast<size_t>(field) >= row_values_.size())
            return Fail(tree + " has rows written before a column was added",
                        IndexCheckResult::kUndecided);
          const bool is_rowid = field < 0 || field == table.rowid_field;
          h = FoldValue(h, is_rowid ? rowid : row_values_[static_cast<size_t>(field)]);
        }
        (*sums)[k].Add(Finish(h));
      }
    }
    return page.IsLeaf() || WalkTable(table, tree, page.right_child, depth + 1, sums);
  }

  // Index entries sit in leaves and between the children of interior pages; reading them
  // in that order gives the key order.
  bool WalkIndex(const TableIndex& index, const std::string& tree, uint32_t pgno, size_t depth) {
    BtreePage page;
    if (!Enter(pgno, depth, tree, &page)) return false;
    if (page.IsTable()) return Fail(tree + " holds table page " + std::to_string(pgno));
    for (uint32_t i = 0; i < page.cell_count; ++i) {
      PayloadCell cell;
      if (!ParseIndexCell(page, i, &cell))
        return Fail(tree + ": an entry of page " + std::to_string(pgno) + " does not read");
      if (!page.IsLeaf() && !WalkIndex(index, tree, cell.left_child, depth + 1)) return false;
      if (!Entry(index, cell)) return false;
    }
    return page.IsLeaf() || WalkIndex(index, tree, page.right_child, depth + 1);
  }

  bool Entry(const TableIndex& index, const PayloadCell& cell) {
    const size_t cur = have_previous_ ? 1 - previous_ : 0;
    std::vector<Value>& values = entry_values_[cur];
    if (!Payload(cell, &entry_bytes_[cur], &values) || values.size() != index.fields.size())
      return Fail("index " + index.name + " holds an entry that does not read");
    uint64_t h = 0x5bd1e995;
    for (const Value& v : values) h = FoldValue(h, v);
    entries_.Add(Finish(h));
    if (have_previous_ && !InOrder(index, entry_values_[previous_], values))
      return Fail("index " + index.name + " is out of order or not unique");
    previous_ = cur;
    have_previous_ = true;
    return true;
  }

  static bool InOrder(const TableIndex& index, const std::vector<Value>& before,
                      const std::vector<Value>& after) {
    int cmp = 0;
    size_t differs_at = after.size();
    for (size_t k = 0; k < after.size() && cmp == 0; ++k) {
      const char c = k < index.collations.size() ? index.collations[k] : 'B';
      const bool desc = c >= 'a';
      cmp = CompareValues(before[k], after[k], desc ? static_cast<char>(c - 32) : c);
      if (desc) cmp = -cmp;
      if (cmp != 0) differs_at = k;
    }
    const size_t keys = std::min(after.size(), index.key_columns);
    const bool key_null = std::any_of(after.begin(), after.begin() + static_cast<ptrdiff_t>(keys),
                                      [](const Value& v) { return v.kind == Value::kNull; });
    return cmp < 0 && !(index.unique && differs_at >= index.key_columns && !key_null);
  }

  const IndexCheckInput& in_;
  PageFile file_;
  std::vector<bool> seen_;
  std::vector<std::vector<uint8_t>> buffers_;  // one page per depth of the walk
  std::vector<uint8_t> row_bytes_;
  std::vector<Value> row_values_;
  // The entry read last and the one being read. An entry on its page is read where it lies:
  // the next entry in key order is on the same page, on a page nearer the root, or on a leaf
  // reached through pages deeper than the one holding the last entry, so no page buffer the
  // last entry lies in is read over before the two are compared. An entry that goes on in
  // overflow pages is put together in a buffer of its own.
  std::vector<uint8_t> entry_bytes_[2];
  std::vector<Value> entry_values_[2];
  size_t previous_ = 0;
  bool have_previous_ = false;
  TupleSums entries_;
  IndexCheckResult result_;
};

}  // namespace

IndexCheckResult CheckIndexesAgainstTables(const IndexCheckInput& in,
                                           std::unique_ptr<ByteSource> source) {
  try {
    return IndexCheck(in, std::move(source)).Run();
  } catch (const std::exception& e) {
    return {IndexCheckResult::kMismatch, e.what()};
  }
}

IndexCheckResult CheckIndexesAgainstTables(const IndexCheckInput& in) {
  try {
    return CheckIndexesAgainstTables(in, OpenCommittedSource(in.path));
  } catch (const std::exception& e) {
    return {IndexCheckResult::kMismatch, e.what()};
  }
}

}  // namespace tidewell::engine::pagefile
