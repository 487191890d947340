#include "engine/pagefile/check.h"

#include <algorithm>
#include <array>

#include "engine/pagefile/committed.h"
#include "engine/pagefile/format.h"

namespace tidewell::engine::pagefile {
namespace {

// What the first, sequential pass keeps of a page: whether it decodes as a b-tree page
// with every cell readable, of which kind, and whether a leaf has cells that go on in
// overflow pages, and of other pages whether their first four bytes name the page after them
// (a link of an overflow chain laid out in order, as most are). Everything else is read
// again from the file when the walk gets there: only interior pages, leaves with overflow
// and the ends of chains need it, so the memory is four bits per page (with the "claimed"
// bit) whatever the file's size.
enum Kind : uint8_t {
  kNotBtree = 0,  // not a b-tree page, or a cell of it does not decode
  kTableLeafPage = 1,
  kTableLeafOverflow = 2,
  kTableInteriorPage = 3,
  kIndexLeafPage = 4,
  kIndexLeafOverflow = 5,
  kIndexInteriorPage = 6,
  kChainLink = 7,  // not a b-tree page; its first four bytes are its own number plus one
};
constexpr uint8_t kKindMask = 7, kUsedBit = 8;

bool IsBtreeKind(uint8_t k) {
  return k != kNotBtree && k != kChainLink;
}
bool IsTableKind(uint8_t k) {
  return k >= kTableLeafPage && k <= kTableInteriorPage;
}
bool IsLeafKind(uint8_t k) {
  return k == kTableLeafPage || k == kTableLeafOverflow || k == kIndexLeafPage ||
         k == kIndexLeafOverflow;
}
// Pages the walk must read again: their children or overflow chains are not kept.
bool NeedsReading(uint8_t k) {
  return k != kTableLeafPage && k != kIndexLeafPage;
}

// Two pages to a byte: low nibble for odd page numbers, high for even ones.
class Nibbles {
 public:
  explicit Nibbles(uint32_t pages) : bytes_(size_t{pages} / 2 + 1, 0) {}
  uint8_t Get(uint32_t p) const { return (bytes_[p / 2] >> Shift(p)) & 0xf; }
  void Set(uint32_t p, uint8_t v) {
    uint8_t& b = bytes_[p / 2];
    b = static_cast<uint8_t>((b & ~(0xf << Shift(p))) | (v << Shift(p)));
  }

 private:
  static int Shift(uint32_t p) { return (p & 1) ? 0 : 4; }
  std::vector<uint8_t> bytes_;
};

struct OverflowHead {
  uint32_t page;
  uint32_t length;  // pages the payload needs beyond the b-tree page
};

// The cells of a b-tree page as the walk needs them.
struct PageLinks {
  std::vector<uint32_t> children;  // in cell order, the right child last
  std::vector<OverflowHead> overflows;
};

// Reads the cells of a page; false when one does not decode. `overflow`: whether a cell
// goes on in an overflow page; `links`, when given, gets the children and chains.
bool ReadLinks(Bytes page, uint32_t pgno, uint32_t usable, uint8_t* type, bool* overflow,
               PageLinks* links) {
  BtreePage bp;
  if (!ParseBtreePage(page, pgno, usable, &bp)) return false;
  *type = bp.type;
  *overflow = false;
  for (uint32_t i = 0; i < bp.cell_count; ++i) {
    PayloadCell cell;
    bool ok;
    if (bp.type == kTableInterior) {
      int64_t key = 0;
      ok = ParseTableInteriorCell(bp, i, &cell.left_child, &key);
    } else if (bp.type == kTableLeaf) {
      ok = ParseTableLeafCell(bp, i, &cell);
    } else {
      ok = ParseIndexCell(bp, i, &cell);
    }
    if (!ok) return false;
    if (cell.first_overflow) *overflow = true;
    if (!links) continue;
    if (cell.left_child) links->children.push_back(cell.left_child);
    if (cell.first_overflow) {
      uint64_t rest = cell.payload_size - cell.local.size();
      links->overflows.push_back(
          {cell.first_overflow, static_cast<uint32_t>((rest + usable - 5) / (usable - 4))});
    }
  }
  if (links && !bp.IsLeaf()) links->children.push_back(bp.right_child);
  return true;
}

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
      : in_(in),
        file_(OpenCommittedSource(in.path), in.page_size),
        n_(in.page_count),
        pages_(in.page_count + 1) {}

  std::string Run() {
    if (!file_.ok() || file_.page_size() != in_.page_size) return "the page size does not read";
    if (file_.page_count() < n_) return "the file is shorter than its page count";
    auto_vacuum_ = file_.header().largest_root != 0;
    lock_page_ = static_cast<uint32_t>(0x40000000u / in_.page_size + 1);
    per_map_ = file_.usable() / 5 + 1;
    ReadAllPages();
    if (lock_page_ <= n_) MarkUsed(lock_page_);
    if (auto_vacuum_)
      for (uint32_t p = 2; p <= n_; ++p)
        if (IsMapPage(p)) MarkUsed(p);
    for (uint32_t root : in_.roots)
      if (auto problem = WalkTree(root); !problem.empty()) return problem;
    if (auto problem = WalkFreelist(); !problem.empty()) return problem;
    for (uint32_t p = 1; p <= n_; ++p)
      if (!Used(p)) return "page " + std::to_string(p) + " is never used";
    // Every page has been claimed once and its pointer-map entry compared then; the one
    // reported is the lowest page that disagrees.
    return map_problem_;
  }

 private:
  // One sequential read, a megabyte at a time, that sorts every page into its kind.
  void ReadAllPages() {
    const uint32_t size = in_.page_size, usable = file_.usable();
    const uint32_t per_read = std::max<uint32_t>(1, (1u << 20) / size);
    std::vector<uint8_t> chunk(size_t{per_read} * size);
    for (uint32_t first = 1; first <= n_; first += per_read) {
      uint32_t count = std::min(per_read, n_ - first + 1);
      std::span<uint8_t> span(chunk.data(), size_t{count} * size);
      size_t got = file_.source().ReadAt(uint64_t{first - 1} * size, span);
      std::fill(chunk.begin() + static_cast<ptrdiff_t>(got), chunk.end(), 0);
      for (uint32_t k = 0; k < count; ++k)
        pages_.Set(first + k,
                   KindOf(Bytes(chunk.data() + size_t{k} * size, size), first + k, usable));
      if (in_.progress) in_.progress(first + count - 1);
    }
  }

  static uint8_t KindOf(Bytes page, uint32_t pgno, uint32_t usable) {
    uint8_t type = 0;
    bool overflow = false;
    if (!ReadLinks(page, pgno, usable, &type, &overflow, nullptr))
      return Get32(page.data()) == uint64_t{pgno} + 1 ? kChainLink : kNotBtree;
    switch (type) {
      case kTableInterior:
        return kTableInteriorPage;
      case kIndexInterior:
        return kIndexInteriorPage;
      case kTableLeaf:
        return overflow ? kTableLeafOverflow : kTableLeafPage;
      default:
        return overflow ? kIndexLeafOverflow : kIndexLeafPage;
    }
  }

  // The page as the first pass saw it: a read that comes up short is filled with zeros.
  void ReadWhole(uint32_t pgno, std::vector<uint8_t>* buf) const {
    buf->assign(in_.page_size, 0);
    (void)file_.source().ReadAt(uint64_t{pgno - 1} * in_.page_size, *buf);
  }
  // The first four bytes of a page: the next page of an overflow chain.
  uint32_t NextOf(uint32_t pgno) const {
    if ((pages_.Get(pgno) & kKindMask) == kChainLink) return pgno + 1;
    uint8_t b[4] = {0, 0, 0, 0};
    (void)file_.source().ReadAt(uint64_t{pgno - 1} * in_.page_size, b);
    return Get32(b);
  }

  bool Used(uint32_t p) const { return pages_.Get(p) & kUsedBit; }
  void MarkUsed(uint32_t p) { pages_.Set(p, pages_.Get(p) | kUsedBit); }

  bool Claim(uint32_t pgno, uint8_t map_type, uint32_t parent) {
    if (pgno == 0 || pgno > n_ || Used(pgno)) return false;
    MarkUsed(pgno);
    if (auto_vacuum_ && pgno >= 3) CompareMapEntry(pgno, map_type, parent);
    return true;
  }

  std::string WalkTree(uint32_t root) {
    const std::string tree = "the b-tree at page " + std::to_string(root);
    struct Step {
      uint32_t page, parent, depth;
    };
    std::vector<Step> stack{{root, 0, 0}};
    const bool table_tree = root <= n_ && IsTableKind(pages_.Get(root) & kKindMask);
    int64_t leaf_depth = -1;
    std::vector<uint8_t> buf;
    PageLinks links;
    while (!stack.empty()) {
      Step s = stack.back();
      stack.pop_back();
      if (!Claim(s.page, s.parent ? kMapChild : kMapRoot, s.parent))
        return tree + " reaches page " + std::to_string(s.page) +
               ", which is out of range or used twice";
      const uint8_t kind = pages_.Get(s.page) & kKindMask;
      // A page written by a transaction that never committed, or a stray page, does not
      // fit the tree that points at it: wrong kind, wrong depth or undecodable cells.
      auto stray = [&] {
        return tree + " holds page " + std::to_string(s.page) + ", which is not one of its pages";
      };
      if (!IsBtreeKind(kind) || IsTableKind(kind) != table_tree) return stray();
      if (IsLeafKind(kind)) {
        if (leaf_depth < 0) leaf_depth = s.depth;
        if (leaf_depth != s.depth)
          return tree + " has leaves at different depths (page " + std::to_string(s.page) + ")";
      }
      if (!NeedsReading(kind)) continue;
      ReadWhole(s.page, &buf);
      links.children.clear();
      links.overflows.clear();
      uint8_t type = 0;
      bool overflow = false;
      // The page decoded in the first pass; one that no longer does changed under us.
      if (!ReadLinks(buf, s.page, file_.usable(), &type, &overflow, &links)) return stray();
      for (uint32_t child : links.children) stack.push_back({child, s.page, s.depth + 1});
      for (const OverflowHead& head : links.overflows)
        if (auto problem = WalkOverflow(head, s.page); !problem.empty()) return problem;
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
      page = NextOf(page);
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
    uint32_t map = (pgno - 2) / per_map_ * per_map_ + 2;
    return map == lock_page_ ? map + 1 : map;
  }
  bool IsMapPage(uint32_t pgno) const { return pgno >= 2 && MapPageOf(pgno) == pgno; }

  // In an auto-vacuum file every page names its owner in the pointer map; a map that
  // disagrees with the trees would make the next vacuum move the wrong pages. Compared
  // as each page is claimed, so nothing per page is kept for it; a few map pages are.
  void CompareMapEntry(uint32_t p, uint8_t type, uint32_t parent) {
    if (!map_problem_.empty() && p > map_problem_page_) return;
    const uint32_t m = MapPageOf(p);
    MapSlot& slot = map_cache_[(m / per_map_) % map_cache_.size()];
    std::string problem;
    if (slot.page != m) {
      slot.page = 0;
      if (file_.ReadPage(m, &slot.bytes)) slot.page = m;
    }
    const uint32_t at = 5 * (p - m - 1);
    if (slot.page != m)
      problem = "pointer-map page " + std::to_string(m);
    else if (at + 5 > file_.usable())
      problem = "page " + std::to_string(p) + " has no pointer-map entry";
    else if (slot.bytes[at] != type || Get32(&slot.bytes[at + 1]) != parent)
      problem = "the pointer-map entry of page " + std::to_string(p) + " is wrong";
    if (!problem.empty()) {
      map_problem_ = std::move(problem);
      map_problem_page_ = p;
    }
  }

  struct MapSlot {
    uint32_t page = 0;
    std::vector<uint8_t> bytes;
  };

  const AccountingInput& in_;
  PageFile file_;
  const uint32_t n_;
  bool auto_vacuum_ = false;
  uint32_t lock_page_ = 0;
  uint32_t per_map_ = 1;
  Nibbles pages_;  // per page: its Kind and whether something claimed it
  std::array<MapSlot, 16> map_cache_;
  std::string map_problem_;
  uint32_t map_problem_page_ = 0;
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
