#include "engine/pagefile/check.h"

#include <algorithm>

#include "engine/pagefile/committed.h"
#include "engine/pagefile/format.h"

namespace tidewell::engine::pagefile {
namespace {

// What one pass of the file keeps per page: enough to follow b-tree children, overflow
// chains and freelist trunks afterwards without reading the page again. Children and
// overflow heads of page p are the ranges [first_*[p], first_*[p + 1]) of the shared lists.
struct PageNote {
  uint32_t next = 0;  // first four bytes: the next page of an overflow chain or trunk
  uint32_t first_child = 0;
  uint32_t first_overflow = 0;
  uint8_t type = 0;  // b-tree page type, 0 when the page does not decode as one
  bool cells_ok = false;
};

struct OverflowHead {
  uint32_t page;
  uint32_t length;  // pages the payload needs beyond the b-tree page
};

// Pointer-map entry types of the file format.
enum : uint8_t {
  kMapRoot = 1,
  kMapFree = 2,
  kMapOverflowFirst = 3,
  kMapOverflowNext = 4,
  kMapChild = 5
};

class Accounting {
 public:
  explicit Accounting(const AccountingInput& in)
      : in_(in), file_(OpenCommittedSource(in.path), in.page_size), n_(in.page_count) {}

  std::string Run() {
    if (!file_.ok() || file_.page_size() != in_.page_size) return "the page size does not read";
    if (file_.page_count() < n_) return "the file is shorter than its page count";
    auto_vacuum_ = file_.header().largest_root != 0;
    lock_page_ = static_cast<uint32_t>(0x40000000u / in_.page_size + 1);
    ReadAllPages();
    used_.assign(size_t{n_} + 1, 0);
    if (auto_vacuum_) expected_.assign(size_t{n_} + 1, {0, 0});
    if (lock_page_ <= n_) used_[lock_page_] = 1;
    if (auto_vacuum_)
      for (uint32_t p = 2; p <= n_; ++p)
        if (IsMapPage(p)) used_[p] = 1;
    for (uint32_t root : in_.roots)
      if (auto problem = WalkTree(root); !problem.empty()) return problem;
    if (auto problem = WalkFreelist(); !problem.empty()) return problem;
    for (uint32_t p = 1; p <= n_; ++p)
      if (!used_[p]) return "page " + std::to_string(p) + " is never used";
    if (auto_vacuum_) return CheckPointerMap();
    return {};
  }

 private:
  // One sequential read, a megabyte at a time.
  void ReadAllPages() {
    notes_.assign(size_t{n_} + 2, PageNote{});
    const uint32_t size = in_.page_size, usable = file_.usable();
    const uint32_t per_read = std::max<uint32_t>(1, (1u << 20) / size);
    const ByteSource& source = file_.source();  // the same image, read once more in order
    std::vector<uint8_t> chunk(size_t{per_read} * size);
    for (uint32_t first = 1; first <= n_; first += per_read) {
      uint32_t count = std::min(per_read, n_ - first + 1);
      std::span<uint8_t> span(chunk.data(), size_t{count} * size);
      size_t got = source.ReadAt(uint64_t{first - 1} * size, span);
      std::fill(chunk.begin() + static_cast<ptrdiff_t>(got), chunk.end(), 0);
      for (uint32_t k = 0; k < count; ++k)
        NotePage(first + k, Bytes(chunk.data() + size_t{k} * size, size), usable);
      if (in_.progress) in_.progress(first + count - 1);
    }
    notes_[size_t{n_} + 1].first_child = static_cast<uint32_t>(children_.size());
    notes_[size_t{n_} + 1].first_overflow = static_cast<uint32_t>(overflows_.size());
  }

  void NotePage(uint32_t pgno, Bytes page, uint32_t usable) {
    PageNote& note = notes_[pgno];
    note.next = Get32(page.data());
    note.first_child = static_cast<uint32_t>(children_.size());
    note.first_overflow = static_cast<uint32_t>(overflows_.size());
    BtreePage bp;
    if (!ParseBtreePage(page, pgno, usable, &bp)) return;
    note.type = bp.type;
    note.cells_ok = true;
    for (uint32_t i = 0; i < bp.cell_count && note.cells_ok; ++i) {
      PayloadCell cell;
      if (bp.type == kTableInterior) {
        int64_t key = 0;
        note.cells_ok = ParseTableInteriorCell(bp, i, &cell.left_child, &key);
      } else if (bp.type == kTableLeaf) {
        note.cells_ok = ParseTableLeafCell(bp, i, &cell);
      } else {
        note.cells_ok = ParseIndexCell(bp, i, &cell);
      }
      if (!note.cells_ok) break;
      if (cell.left_child) children_.push_back(cell.left_child);
      if (cell.first_overflow) {
        uint64_t rest = cell.payload_size - cell.local.size();
        overflows_.push_back(
            {cell.first_overflow, static_cast<uint32_t>((rest + usable - 5) / (usable - 4))});
      }
    }
    if (!bp.IsLeaf()) children_.push_back(bp.right_child);
  }

  bool Claim(uint32_t pgno, uint8_t map_type, uint32_t parent) {
    if (pgno == 0 || pgno > n_ || used_[pgno]) return false;
    used_[pgno] = 1;
    if (auto_vacuum_) expected_[pgno] = {map_type, parent};
    return true;
  }

  static bool IsTableType(uint8_t type) { return type == kTableLeaf || type == kTableInterior; }
  static bool IsLeafType(uint8_t type) { return type == kTableLeaf || type == kIndexLeaf; }

  std::string WalkTree(uint32_t root) {
    const std::string tree = "the b-tree at page " + std::to_string(root);
    struct Step {
      uint32_t page, parent, depth;
    };
    std::vector<Step> stack{{root, 0, 0}};
    const uint8_t root_type = root <= n_ ? notes_[root].type : 0;
    int64_t leaf_depth = -1;
    while (!stack.empty()) {
      Step s = stack.back();
      stack.pop_back();
      if (!Claim(s.page, s.parent ? kMapChild : kMapRoot, s.parent))
        return tree + " reaches page " + std::to_string(s.page) +
               ", which is out of range or used twice";
      const PageNote& note = notes_[s.page];
      // A page written by a transaction that never committed, or a stray page, does not
      // fit the tree that points at it: wrong kind, wrong depth or undecodable cells.
      if (note.type == 0 || !note.cells_ok || IsTableType(note.type) != IsTableType(root_type))
        return tree + " holds page " + std::to_string(s.page) + ", which is not one of its pages";
      if (IsLeafType(note.type)) {
        if (leaf_depth < 0) leaf_depth = s.depth;
        if (leaf_depth != s.depth)
          return tree + " has leaves at different depths (page " + std::to_string(s.page) + ")";
      }
      const PageNote& after = notes_[size_t{s.page} + 1];
      for (uint32_t c = note.first_child; c < after.first_child; ++c)
        stack.push_back({children_[c], s.page, s.depth + 1});
      for (uint32_t o = note.first_overflow; o < after.first_overflow; ++o)
        if (auto problem = WalkOverflow(overflows_[o], s.page); !problem.empty()) return problem;
    }
    return {};
  }

  std::string WalkOverflow(OverflowHead head, uint32_t owner) {
    uint32_t page = head.page, parent = owner;
    for (uint32_t k = 0; k < head.length; ++k) {
      if (!Claim(page, k == 0 ? kMapOverflowFirst : kMapOverflowNext, parent))
        return "an overflow chain of page " + std::to_string(owner) + " reaches page " +
               std::to_string(page) + ", which is out of range or used twice";
      parent = page;
      page = notes_[page].next;
    }
    if (page != 0)
      return "an overflow chain of page " + std::to_string(owner) + " is longer than its value";
    return {};
  }

  std::string WalkFreelist() {
    const uint32_t max_leaves = file_.usable() / 4 - 2;
    uint64_t counted = 0;
    std::vector<uint8_t> buf;
    for (uint32_t trunk = file_.header().freelist_trunk; trunk != 0;) {
      if (!Claim(trunk, kMapFree, 0) || !file_.ReadPage(trunk, &buf))
        return "the freelist reaches page " + std::to_string(trunk) +
               ", which is out of range or used twice";
      ++counted;
      uint32_t leaves = Get32(buf.data() + 4);
      if (leaves > max_leaves)
        return "freelist trunk page " + std::to_string(trunk) + " lists too many pages";
      for (uint32_t i = 0; i < leaves; ++i) {
        uint32_t leaf = Get32(buf.data() + 8 + 4 * i);
        if (!Claim(leaf, kMapFree, 0))
          return "freelist trunk page " + std::to_string(trunk) + " lists page " +
                 std::to_string(leaf) + ", which is out of range or used twice";
      }
      counted += leaves;
      trunk = Get32(buf.data());
    }
    if (counted != file_.header().freelist_count)
      return "the freelist holds " + std::to_string(counted) + " pages, the header says " +
             std::to_string(file_.header().freelist_count);
    return {};
  }

  uint32_t MapPageOf(uint32_t pgno) const {
    const uint32_t per_map = file_.usable() / 5 + 1;
    uint32_t map = (pgno - 2) / per_map * per_map + 2;
    return map == lock_page_ ? map + 1 : map;
  }
  bool IsMapPage(uint32_t pgno) const { return pgno >= 2 && MapPageOf(pgno) == pgno; }

  // In an auto-vacuum file every page names its owner in the pointer map; a map that
  // disagrees with the trees would make the next vacuum move the wrong pages.
  std::string CheckPointerMap() {
    std::vector<uint8_t> map;
    uint32_t loaded = 0;
    for (uint32_t p = 3; p <= n_; ++p) {
      if (p == lock_page_ || IsMapPage(p)) continue;
      uint32_t m = MapPageOf(p);
      if (m != loaded && !file_.ReadPage(m, &map)) return "pointer-map page " + std::to_string(m);
      loaded = m;
      uint32_t at = 5 * (p - m - 1);
      if (at + 5 > file_.usable()) return "page " + std::to_string(p) + " has no pointer-map entry";
      if (map[at] != expected_[p].first || Get32(&map[at + 1]) != expected_[p].second)
        return "the pointer-map entry of page " + std::to_string(p) + " is wrong";
    }
    return {};
  }

  const AccountingInput& in_;
  PageFile file_;
  const uint32_t n_;
  bool auto_vacuum_ = false;
  uint32_t lock_page_ = 0;
  std::vector<PageNote> notes_;
  std::vector<uint32_t> children_;
  std::vector<OverflowHead> overflows_;
  std::vector<uint8_t> used_;
  std::vector<std::pair<uint8_t, uint32_t>> expected_;
};

}  // namespace

std::string CheckPageAccounting(const AccountingInput& in) {
  try {
    return Accounting(in).Run();
  } catch (const std::exception& e) {
    return e.what();
  }
}

}  // namespace tidewell::engine::pagefile
