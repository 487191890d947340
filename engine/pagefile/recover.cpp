#include "engine/pagefile/recover.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

namespace tidewell::engine::pagefile {

namespace {

constexpr int64_t kMinKey = std::numeric_limits<int64_t>::min();
constexpr int64_t kMaxKey = std::numeric_limits<int64_t>::max();
constexpr int kMaxDepth = 40;                     // far deeper than any real b-tree
constexpr size_t kMostDeferredBytes = 32u << 20;  // rows out of place held back at most
constexpr int32_t kNoOwner = -1;
constexpr int32_t kCatalogOwner = -2;
constexpr int32_t kIndexOwner = -3;  // pages of an ordinary index: no rows on them

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool InRange(int64_t key, int64_t lo, int64_t hi) {
  return (lo == kMinKey || key > lo) && key <= hi;
}

void AppendUtf8(uint32_t cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out->push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

// SQLite's order of two values under a key column's collation: NULL, then numbers by
// value, then texts, then blobs.
int CompareValues(const Value& a, const Value& b, TableShape::Collation collation, uint32_t enc) {
  auto rank = [](const Value& v) {
    return v.kind == Value::kNull ? 0 : v.kind == Value::kText ? 2 : v.kind == Value::kBlob ? 3 : 1;
  };
  auto bytes = [](std::string_view x, std::string_view y) {
    int c = std::memcmp(x.data(), y.data(), std::min(x.size(), y.size()));
    return c != 0 ? c : x.size() < y.size() ? -1 : x.size() > y.size() ? 1 : 0;
  };
  auto view = [](Bytes v) {
    return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
  };
  if (rank(a) != rank(b)) return rank(a) < rank(b) ? -1 : 1;
  if (a.kind == Value::kNull) return 0;
  if (rank(a) == 1) {
    if (a.kind == Value::kInt && b.kind == Value::kInt) return a.i < b.i ? -1 : a.i > b.i;
    if (a.kind == Value::kReal && b.kind == Value::kReal) return a.r < b.r ? -1 : a.r > b.r;
    // An integer against a real, exactly (a double does not hold every 64-bit integer).
    const bool flip = a.kind == Value::kReal;
    const int64_t i = flip ? b.i : a.i;
    const double r = flip ? a.r : b.r;
    int c = 0;
    if (r < -9223372036854775808.0) {
      c = 1;
    } else if (r >= 9223372036854775808.0) {
      c = -1;
    } else {
      auto whole = static_cast<int64_t>(r);
      const auto back = static_cast<double>(whole);
      c = i < whole ? -1 : i > whole ? 1 : r > back ? -1 : r < back ? 1 : 0;
    }
    return flip ? -c : c;
  }
  if (a.kind == Value::kBlob || collation == TableShape::Collation::kBinary) {
    return bytes(view(a.bytes), view(b.bytes));
  }
  // NOCASE and RTRIM work on UTF-8 whatever the file's encoding.
  std::string x = TextToUtf8(a.bytes, enc), y = TextToUtf8(b.bytes, enc);
  if (collation == TableShape::Collation::kRtrim) {
    while (!x.empty() && x.back() == ' ') x.pop_back();
    while (!y.empty() && y.back() == ' ') y.pop_back();
  } else {
    auto lower = [](std::string& t) {
      for (char& ch : t)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    };
    lower(x);
    lower(y);
  }
  return bytes(x, y);
}

// The key of a WITHOUT ROWID row, with the bytes its values point into.
struct OwnedKey {
  std::vector<uint8_t> payload;
  std::vector<uint32_t> chain;  // its overflow pages
  std::vector<Value> values;
};

enum PageState : uint8_t { kUnseen, kTree, kOverflow, kFree, kCatalogPage };

// The state of every page, four bits each: the only record the salvage keeps for every
// page of the file.
class PageStates {
 public:
  explicit PageStates(size_t pages) : pages_(pages), nibbles_((pages + 1) / 2, 0) {}
  size_t size() const { return pages_; }
  PageState operator[](size_t pgno) const {
    return static_cast<PageState>((nibbles_[pgno / 2] >> (pgno % 2 * 4)) & 0xf);
  }
  void Set(size_t pgno, PageState state) {
    uint8_t& both = nibbles_[pgno / 2];
    const int shift = static_cast<int>(pgno % 2 * 4);
    both = static_cast<uint8_t>((both & ~(0xf << shift)) | (state << shift));
  }

 private:
  size_t pages_;
  std::vector<uint8_t> nibbles_;
};

// A decoded leaf cell whose record header could be read from the page.
struct LeafCell {
  PayloadCell cell;
  std::vector<uint64_t> types;
};

class Recoverer final : public OverflowGuard {
 public:
  Recoverer(const PageFile& file, RowSink& sink, const PageProgress& progress)
      : f_(file),
        sink_(sink),
        progress_(progress),
        last_(file.last_page()),
        state_(size_t{last_} + 1) {
    catalog_shape_.parsed = true;
    for (const char* n : {"type", "name", "tbl_name", "rootpage", "sql"}) {
      catalog_shape_.columns.push_back(
          {n, "", std::string(n) == "rootpage" ? Affinity::kInteger : Affinity::kText});
      catalog_shape_.record_order.push_back(static_cast<int>(catalog_shape_.record_order.size()));
    }
    stats_.pages_total = last_;
    uint32_t enc = file.header().text_encoding;
    if (file.header().magic_ok && enc >= 1 && enc <= 3) enc_ = enc;
    FindMapParents();
  }

  bool PageMayBeOverflow(uint32_t pgno) const override {
    return pgno < state_.size() && state_[pgno] == kUnseen && !f_.IsPointerMapPage(pgno);
  }

  RecoverStats Run() {
    // The catalog first: everything else depends on knowing the tables.
    std::vector<std::pair<int64_t, int64_t>> catalog_missing;
    WalkTree(kCatalogOwner, 1, kMinKey, kMaxKey, 0, &catalog_missing);
    stats_.catalog_complete = catalog_missing.empty() && !catalog_.empty();
    if (!catalog_missing.empty()) {
      ReleaseCatalogWalk();
      ScanCatalogContent();
      FindCatalogPages();
    }
    BuildTables();
    if (enc_ == 0) enc_ = 1;
    sink_.Begin(catalog_, &tables_, enc_);
    // With WITHOUT ROWID tables about, the ordinary indexes are walked first: their pages
    // have no key range to give them away, so a stale child pointer of a table's tree
    // could lead into an index page of the same width, and the index's own claim must
    // win. It also leaves the scan of unreached pages only the pages of damaged indexes.
    any_without_rowid_ = std::any_of(tables_.begin(), tables_.end(), [](const RecoveredTable& t) {
      return t.shape.parsed && t.shape.without_rowid;
    });
    CountPagesToRead();
    if (any_without_rowid_) WalkIndexes();
    for (size_t t = 0; t < tables_.size(); ++t) {
      RecoveredTable& rt = tables_[t];
      if (!rt.shape.parsed) continue;
      if (rt.shape.without_rowid) {
        WalkIndexTree(static_cast<int32_t>(t), rt.entry.root, 0, &rt.missing);
      } else if (rt.entry.root != 0) {
        WalkTree(static_cast<int32_t>(t), rt.entry.root, kMinKey, kMaxKey, 0, &rt.missing);
      } else {
        rt.missing.emplace_back(kMinKey, kMaxKey);  // its pages may be anywhere
      }
      rt.walk_complete = rt.missing.empty();
      if (auto tails = tails_.find(static_cast<int32_t>(t)); tails != tails_.end())
        std::sort(tails->second.begin(), tails->second.end());
      std::sort(rt.missing.begin(), rt.missing.end());
    }
    PlaceDeferred();
    MarkFreelist();
    ScanUnreached();
    pages_done_ = last_;  // every page has been read or ruled out
    Progress(true);
    // What the walks knew of each page is given back before the indexes are built, which
    // takes SQLite's sorter the most memory of the whole repair.
    state_ = PageStates(0);
    decltype(pointed_)().swap(pointed_);
    decltype(map_parents_)().swap(map_parents_);
    sink_.End();
    // Counted as recovered when handed over; they turned out otherwise.
    const RowSink::Later later = sink_.OutcomesLater();
    stats_.rows_recovered -= later.lost + later.duplicate + later.rejected;
    stats_.duplicate_keys += later.lost + later.duplicate;
    stats_.rows_lost_found += later.lost;
    stats_.rows_dropped += later.rejected;
    return stats_;
  }

 private:
  // Told in pages read, out of those the walks are expected to read; nothing is told until
  // that count is known, after the catalog.
  void Progress(bool force) {
    if (!progress_ || to_read_ == 0) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - last_progress_ < std::chrono::milliseconds(250)) return;
    last_progress_ = now;
    progress_(std::min(pages_done_, to_read_), to_read_);
  }

  // The pages the walks will read: all but the free pages and, where no WITHOUT ROWID table
  // has its rows walked among the indexes, the index trees. The scan of unreached pages
  // then only glances at those, and the bar would wait at the share of the tables' pages
  // and leap to the end. The index trees are counted from their interior pages. A damaged
  // tree gives a rough count; the bar then ends early or leaps, but never goes back.
  void CountPagesToRead() {
    uint64_t skipped = f_.header().magic_ok ? f_.header().freelist_count : 0;
    if (!any_without_rowid_) {
      std::unordered_set<uint32_t> interior;
      for (const CatalogEntry& e : catalog_)
        if (e.type == "index" && e.root >= 2 && e.root <= last_)
          WalkTreePages(f_, e.root, last_, &interior, [&](uint32_t) { ++skipped; });
    }
    to_read_ = last_ > skipped ? last_ - skipped : 1;
  }

  // Where the pointer map names a page as another's parent, the scan of unreached pages
  // may ask which tree took it (ChooseTable): those pages are listed before the walks.
  void FindMapParents() {
    if (!f_.IsPointerMapPage(2)) return;  // no pointer map
    std::vector<uint8_t> map;
    uint32_t map_page = 0;
    bool readable = false;
    for (uint64_t p = 2; p <= last_; ++p) {
      const auto pgno = static_cast<uint32_t>(p);
      if (f_.IsPointerMapPage(pgno)) {
        map_page = pgno;
        readable = f_.ReadPage(pgno, &map);
        continue;
      }
      // Five bytes an entry: its type, then the parent.
      const size_t at = size_t{5} * (pgno - map_page - 1);
      if (!readable || at + 5 > f_.usable() || map[at] != 5) continue;
      const uint32_t parent = Get32(&map[at + 1]);
      if (parent <= f_.page_count()) map_parents_.emplace_back(parent, kNoOwner);
    }
    std::sort(map_parents_.begin(), map_parents_.end());
    map_parents_.erase(std::unique(map_parents_.begin(), map_parents_.end()), map_parents_.end());
    map_parents_.shrink_to_fit();
  }

  int32_t* MapParentOwner(uint32_t pgno) {
    auto it = std::lower_bound(map_parents_.begin(), map_parents_.end(),
                               std::make_pair(pgno, std::numeric_limits<int32_t>::min()));
    return it != map_parents_.end() && it->first == pgno ? &it->second : nullptr;
  }

  // A tree points at a page: the first tree to do so is remembered for as long as no walk
  // takes the page.
  void PointAt(uint32_t pgno, int32_t owner) {
    if (pgno > last_ || state_[pgno] == kTree || state_[pgno] == kCatalogPage) return;
    pointed_.emplace(pgno, owner);
  }

  // A walk takes a page for its tree.
  void Take(uint32_t pgno, int32_t owner) {
    state_.Set(pgno, kTree);
    pointed_.erase(pgno);
    if (int32_t* o = map_parents_.empty() ? nullptr : MapParentOwner(pgno)) *o = owner;
  }

  // The tree that took a page or, for a page no walk took, the first that pointed at it.
  // Known for pages no walk took and for the pages the pointer map names as parents.
  int32_t OwnerOf(uint32_t pgno) {
    if (state_[pgno] == kCatalogPage) return kCatalogOwner;
    if (const int32_t* o = map_parents_.empty() ? nullptr : MapParentOwner(pgno);
        o && *o != kNoOwner) {
      return *o;
    }
    auto it = pointed_.find(pgno);
    return it == pointed_.end() ? kNoOwner : it->second;
  }

  bool Read(uint32_t pgno, std::vector<uint8_t>* buf) {
    ++pages_done_;
    if ((pages_done_ & 63) == 0) Progress(false);
    return f_.ReadPage(pgno, buf);
  }

  // A b-tree page; the one the file ends inside of counts with the cells it still holds.
  bool ReadBtree(uint32_t pgno, std::vector<uint8_t>* buf, BtreePage* page) {
    uint32_t present = 0;
    if (pgno > f_.page_count()) {
      ++pages_done_;
      return f_.ReadPartialPage(buf, &present) &&
             ParseBtreePage(*buf, pgno, f_.usable(), page, present);
    }
    return Read(pgno, buf) && ParseBtreePage(*buf, pgno, f_.usable(), page);
  }

  const TableShape& ShapeOf(int32_t owner) const {
    return owner == kCatalogOwner ? catalog_shape_ : tables_[static_cast<size_t>(owner)].shape;
  }

  // Reads the cells of a table leaf or of an index page: those whose record header
  // decodes go to `cells`; returns how many cells there were in all.
  uint32_t ReadLeafCells(const BtreePage& page, std::vector<LeafCell>* cells) {
    cells->clear();
    uint32_t total = page.cell_count;
    if (page.Limit() < page.usable) {
      // On a page the file ends inside of, the cells past its end are gone, not damaged.
      total = 0;
      for (uint32_t i = 0; i < page.cell_count; ++i) {
        const uint32_t at = page.header_offset + page.HeaderSize() + 2 * i;
        if (Get16(&page.data[at]) < page.Limit()) ++total;
      }
    }
    for (uint32_t i = 0; i < page.cell_count; ++i) {
      LeafCell lc;
      bool parsed = page.type == kTableLeaf ? ParseTableLeafCell(page, i, &lc.cell)
                                            : ParseIndexCell(page, i, &lc.cell);
      if (!parsed) continue;
      if (!DecodeRecordHeader(lc.cell.local, lc.cell.payload_size, &lc.types)) continue;
      cells->push_back(std::move(lc));
    }
    return total;
  }

  // Reads a row completely; false when any part of it cannot be read.
  // `read`: the row as its key was read already, overflow pages and all.
  bool ReadRow(const LeafCell& lc, const OwnedKey* read = nullptr) {
    if (read) {
      payload_ = read->payload;
      chain_ = read->chain;
    } else if (!ReadFullPayload(f_, lc.cell, this, &payload_, &chain_)) {
      return false;
    }
    if (!DecodeRecord(payload_, &values_)) return false;
    if (!chain_.empty() && StaleZeroPageInText(lc.cell.local.size())) return false;
    for (uint32_t p : chain_) state_.Set(p, kOverflow);
    pages_done_ += chain_.size();
    return true;
  }

  // A freed page is zeroed by SQLite's secure delete; a chain ending on one, where the
  // pages of two versions of the file are mixed, would read NULs into the middle of a
  // text. A text does not hold a page full of NULs; a blob may (zeroblob), so only texts
  // are judged.
  bool StaleZeroPageInText(size_t local) const {
    const size_t per_page = f_.usable() - 4;
    for (size_t at = local; at < payload_.size(); at += per_page) {
      size_t end = std::min(payload_.size(), at + per_page);
      if (std::any_of(payload_.begin() + static_cast<ptrdiff_t>(at),
                      payload_.begin() + static_cast<ptrdiff_t>(end),
                      [](uint8_t b) { return b != 0; })) {
        continue;
      }
      for (const Value& v : values_) {
        if (v.kind != Value::kText || v.bytes.empty()) continue;
        size_t from = static_cast<size_t>(v.bytes.data() - payload_.data());
        if (from < end && from + v.bytes.size() > at) return true;
      }
    }
    return false;
  }

  void EmitToTable(int32_t owner, const LeafCell& lc, uint32_t pgno,
                   const OwnedKey* read = nullptr) {
    if (!ReadRow(lc, read)) {
      ++stats_.rows_dropped;
      return;
    }
    if (owner == kCatalogOwner) {
      AddCatalogRow(values_);
      return;
    }
    PlaceRow(static_cast<size_t>(owner), lc.cell.rowid, pgno);
  }

  // A row outside the key range its parent gives its page: the page may be of another
  // version of the file, whose rows were since moved. It is placed once the trees have
  // given theirs, and only where its key is still free.
  void Defer(int32_t owner, const LeafCell& lc, uint32_t pgno, const OwnedKey* read = nullptr) {
    if (!ReadRow(lc, read)) {
      ++stats_.rows_dropped;
      return;
    }
    ++stats_.rows_out_of_place;
    // Memory stays bounded however much of a file is out of order: past the bound such
    // rows go to lost-and-found at once.
    if (deferred_bytes_ + payload_.size() > kMostDeferredBytes) {
      Lost(lc.cell.rowid, pgno);
      return;
    }
    deferred_bytes_ += payload_.size();
    deferred_.push_back({static_cast<size_t>(owner), lc.cell.rowid, pgno, payload_});
  }

  void PlaceDeferred() {
    for (Deferred& d : deferred_) {
      payload_ = std::move(d.payload);
      if (DecodeRecord(payload_, &values_)) PlaceRow(d.table, d.rowid, d.pgno);
    }
    deferred_.clear();
  }

  // Puts the row in `values_` in table `t`, or in lost-and-found when it cannot go there.
  void PlaceRow(size_t t, int64_t rowid, uint32_t pgno) {
    if (!tables_[t].writable) {
      Lost(rowid, pgno);
      return;
    }
    const TableShape& shape = tables_[t].shape;
    if (shape.without_rowid) {
      // The sink takes values in declaration order; the key comes first in the record.
      declared_ = values_;
      if (!RecordFitsTable(shape, declared_) || !RecordToDeclared(shape, &declared_)) {
        Lost(rowid, pgno);
        return;
      }
    }
    switch (sink_.TableRow(t, rowid, pgno, shape.without_rowid ? declared_ : values_)) {
      case RowSink::Outcome::kWritten:
        ++stats_.rows_recovered;
        break;
      case RowSink::Outcome::kDuplicate:
        ++stats_.duplicate_keys;
        break;
      case RowSink::Outcome::kConflict:
        ++stats_.duplicate_keys;
        Lost(rowid, pgno);
        break;
      case RowSink::Outcome::kRejected:
        ++stats_.rows_dropped;
        break;
      case RowSink::Outcome::kIgnored:
        break;
    }
  }

  void EmitLost(const LeafCell& lc, bool already_read, uint32_t pgno) {
    if (!already_read && !ReadRow(lc)) {
      ++stats_.rows_dropped;
      return;
    }
    Lost(lc.cell.rowid, pgno);
  }

  void Lost(int64_t rowid, uint32_t pgno) {
    sink_.LostRow(pgno, rowid, values_);
    ++stats_.rows_lost_found;
  }

  // `last_child`: the page is its parent's right child (or the root).
  void WalkTree(int32_t owner, uint32_t pgno, int64_t lo, int64_t hi, int depth,
                std::vector<std::pair<int64_t, int64_t>>* missing, bool last_child = true) {
    if (pgno == 0 || pgno > last_ || depth > kMaxDepth || state_[pgno] != kUnseen ||
        f_.IsPointerMapPage(pgno)) {
      missing->emplace_back(lo, hi);
      return;
    }
    PointAt(pgno, owner);
    std::vector<uint8_t> buf;
    BtreePage page;
    if (!ReadBtree(pgno, &buf, &page) || !page.IsTable()) {
      missing->emplace_back(lo, hi);
      return;
    }
    if (page.type == kTableInterior) {
      std::vector<std::pair<uint32_t, int64_t>> children;
      int64_t prev = lo;
      bool lost_cell = false;
      for (uint32_t i = 0; i < page.cell_count; ++i) {
        uint32_t child = 0;
        int64_t key = 0;
        if (!ParseTableInteriorCell(page, i, &child, &key)) {
          lost_cell = true;
          continue;
        }
        if (!InRange(key, prev, hi) || (prev != kMinKey && key <= prev)) {
          // Outside the range this page was given: a page of another version of the file
          // may still name its own child rightly. The child is left to the scan of
          // unreached pages, named as this table's.
          PointAt(child, owner);
          lost_cell = true;
          continue;
        }
        children.emplace_back(child, key);
        prev = key;
      }
      if (children.empty() && (page.cell_count > 0 || page.right_child > last_)) {
        missing->emplace_back(lo, hi);  // nothing on it can be trusted
        return;
      }
      Take(pgno, owner);
      ++stats_.pages_decoded;
      if (owner == kCatalogOwner) catalog_interiors_.push_back(pgno);
      if (lost_cell) missing->emplace_back(lo, hi);
      int64_t child_lo = lo;
      for (const auto& [child, key] : children) {
        PointAt(child, owner);
        WalkTree(owner, child, child_lo, key, depth + 1, missing, false);
        child_lo = key;
      }
      PointAt(page.right_child, owner);
      WalkTree(owner, page.right_child, child_lo, hi, depth + 1, missing);
      return;
    }
    // A leaf belongs to this tree when most of its rows fit the table and lie in the key
    // range the parent gives it; a page from another table (a stale or misdirected page)
    // does not, and is left for the scan of unreached pages.
    std::vector<LeafCell> cells;
    uint32_t total = ReadLeafCells(page, &cells);
    const TableShape& shape = ShapeOf(owner);
    std::vector<bool> fits(cells.size());
    uint32_t fit = 0, out_of_range = 0;
    int64_t prev = lo;
    for (size_t i = 0; i < cells.size(); ++i) {
      int64_t r = cells[i].cell.rowid;
      bool ordered = InRange(r, prev, hi) && (prev == kMinKey || r > prev);
      bool shaped = SerialTypesFitTable(shape, cells[i].types);
      fits[i] = ordered && shaped;
      out_of_range += shaped && !ordered;
      if (fits[i]) {
        ++fit;
        prev = r;
      }
    }
    if (total > 0 && fit * 2 <= total) {
      if (owner >= 0) stats_.rows_out_of_place += out_of_range;
      missing->emplace_back(lo, hi);
      return;
    }
    if (fit > 0 && owner >= 0 && last_child) tails_[owner].emplace_back(prev, hi);
    Take(pgno, owner);
    ++stats_.pages_decoded;
    if (fit < total) missing->emplace_back(lo, hi);
    for (size_t i = 0; i < cells.size(); ++i) {
      if (fits[i]) {
        EmitToTable(owner, cells[i], pgno);
      } else if (owner == kCatalogOwner) {
        // A catalog record names itself: out of the range a damaged parent gives, it is
        // still one, and the page is not read again.
        if (SerialTypesFitTable(shape, cells[i].types)) EmitToTable(owner, cells[i], pgno);
      } else if (SerialTypesFitTable(shape, cells[i].types)) {
        Defer(owner, cells[i], pgno);
      } else if (owner != kCatalogOwner) {
        EmitLost(cells[i], false, pgno);
      }
    }
    stats_.rows_dropped += total - cells.size();
  }

  // The order of two keys of a WITHOUT ROWID table.
  int CompareKeys(const TableShape& shape, const std::vector<Value>& a,
                  const std::vector<Value>& b) const {
    for (size_t k = 0; k < shape.key_columns && k < a.size() && k < b.size(); ++k) {
      int c = CompareValues(a[k], b[k], shape.key_sort[k].collation, enc_);
      if (c != 0) return shape.key_sort[k].descending ? -c : c;
    }
    return 0;
  }

  // Whether the order of a WITHOUT ROWID table's keys is known here.
  static bool KeyOrderKnown(const TableShape& shape) {
    return shape.key_sort.size() == shape.key_columns &&
           std::none_of(shape.key_sort.begin(), shape.key_sort.end(),
                        [](const auto& k) { return k.collation == TableShape::Collation::kOther; });
  }

  std::shared_ptr<OwnedKey> ReadKey(const LeafCell& lc) {
    auto key = std::make_shared<OwnedKey>();
    if (!ReadFullPayload(f_, lc.cell, this, &key->payload, &key->chain) ||
        !DecodeRecord(key->payload, &key->values)) {
      return nullptr;
    }
    return key;
  }

  // The b-tree of a WITHOUT ROWID table (owner >= 0: its rows are in every cell, interior
  // ones included) or of an ordinary index (kIndexOwner: only its pages are marked). A
  // page is taken when most of its records have the table's shape and, where the key's
  // order is known, lie in the key range (lo, hi) its parent gives it: a page of another
  // version of the file, reached through a pointer of this one, holds rows outside it.
  void WalkIndexTree(int32_t owner, uint32_t pgno, int depth,
                     std::vector<std::pair<int64_t, int64_t>>* missing, int width = -1,
                     std::set<size_t>* widths_seen = nullptr, const OwnedKey* lo = nullptr,
                     const OwnedKey* hi = nullptr) {
    if (pgno == 0 || pgno > last_ || depth > kMaxDepth || state_[pgno] != kUnseen ||
        f_.IsPointerMapPage(pgno)) {
      missing->emplace_back(kMinKey, kMaxKey);
      return;
    }
    PointAt(pgno, owner);
    std::vector<uint8_t> buf;
    BtreePage page;
    if (!ReadBtree(pgno, &buf, &page) || page.IsTable()) {
      missing->emplace_back(kMinKey, kMaxKey);
      return;
    }
    std::vector<LeafCell> cells;
    uint32_t total = ReadLeafCells(page, &cells);
    std::vector<bool> fits(cells.size(), true);
    uint32_t fit = static_cast<uint32_t>(cells.size());
    std::vector<std::shared_ptr<OwnedKey>> keys(cells.size());
    if (owner >= 0 || width >= 0) {
      fit = 0;
      const bool ordered = owner >= 0 && KeyOrderKnown(ShapeOf(owner));
      const OwnedKey* prev = lo;
      for (size_t i = 0; i < cells.size(); ++i) {
        fits[i] = owner >= 0 ? SerialTypesFitTable(ShapeOf(owner), cells[i].types)
                             : cells[i].types.size() == static_cast<size_t>(width);
        if (fits[i] && ordered) {
          keys[i] = ReadKey(cells[i]);
          const TableShape& shape = ShapeOf(owner);
          fits[i] = keys[i] && (!prev || CompareKeys(shape, prev->values, keys[i]->values) < 0) &&
                    (!hi || CompareKeys(shape, keys[i]->values, hi->values) < 0);
          if (fits[i]) prev = keys[i].get();
        }
        fit += fits[i] ? 1 : 0;
      }
    }
    if (total > 0 && fit * 2 <= total) {
      for (size_t i = 0; i < cells.size(); ++i) stats_.rows_out_of_place += keys[i] && !fits[i];
      missing->emplace_back(kMinKey, kMaxKey);
      return;
    }
    Take(pgno, owner);
    ++stats_.pages_decoded;
    if (fit < total) missing->emplace_back(kMinKey, kMaxKey);
    if (widths_seen)
      for (const LeafCell& lc : cells) widths_seen->insert(lc.types.size());
    // Each child with the keys around it: the nearest in-order keys on either side.
    struct Child {
      uint32_t pgno;
      const OwnedKey *lo, *hi;
    };
    std::vector<Child> children;
    const OwnedKey* below = lo;
    for (size_t i = 0; i < cells.size(); ++i) {
      if (cells[i].cell.left_child != 0) {
        const OwnedKey* above = hi;
        for (size_t j = i; j < cells.size(); ++j) {
          if (keys[j] && fits[j]) {
            above = keys[j].get();
            break;
          }
        }
        children.push_back({cells[i].cell.left_child, below, above});
      }
      if (keys[i] && fits[i]) below = keys[i].get();
    }
    if (!page.IsLeaf()) {
      if (children.size() < page.cell_count) missing->emplace_back(kMinKey, kMaxKey);
      children.push_back({page.right_child, below, hi});
    }
    if (owner >= 0) {
      for (size_t i = 0; i < cells.size(); ++i) {
        if (fits[i]) {
          EmitToTable(owner, cells[i], pgno, keys[i].get());
        } else if (keys[i]) {
          Defer(owner, cells[i], pgno, keys[i].get());  // of the table's shape, out of range
        } else {
          EmitLost(cells[i], false, pgno);
        }
      }
      stats_.rows_dropped += total - cells.size();
    }
    for (const Child& child : children) PointAt(child.pgno, owner);
    for (const Child& child : children)
      WalkIndexTree(owner, child.pgno, depth + 1, missing, width, widths_seen, child.lo, child.hi);
  }

  void WalkIndexes() {
    for (size_t c = 0; c < catalog_.size(); ++c) {
      const CatalogEntry& e = catalog_[c];
      if (e.type != "index") continue;
      // Pages of an index that no tree reaches (its own tree damaged, or new pages of a
      // commit only half written) must not be taken for table rows of the same width:
      // remember which widths (-1: any) an index's records may have.
      std::vector<std::string> names;
      int columns = e.sql.empty() ? -1 : IndexColumns(e.sql, &names);
      int width = -1;
      // An index without a statement (one SQLite made for a UNIQUE or PRIMARY KEY
      // constraint) holds at most all of its table's columns and the rowid.
      int most = -1;
      for (const RecoveredTable& t : tables_) {
        if (t.entry.name != e.tbl_name || !t.shape.parsed) continue;
        most = static_cast<int>(t.shape.columns.size()) + 1;
        if (columns < 0) continue;
        width = columns;
        if (!t.shape.without_rowid) {
          ++width;  // the rowid
          continue;
        }
        // A WITHOUT ROWID table's index also carries the key columns it does not name.
        for (size_t k = 0; k < t.shape.key_columns; ++k) {
          const std::string& key =
              t.shape.columns[static_cast<size_t>(t.shape.record_order[k])].name;
          if (std::none_of(names.begin(), names.end(),
                           [&](const std::string& n) { return SameName(n, key); })) {
            ++width;
          }
        }
      }
      std::vector<std::pair<int64_t, int64_t>> missing;
      std::set<size_t> seen;
      WalkIndexTree(kIndexOwner, e.root, 0, &missing, width, &seen);
      // Every record of one index has the same number of fields: where the statement does
      // not tell it, the records of its own tree do, when they agree.
      if (width < 0 && seen.size() == 1) width = static_cast<int>(*seen.begin());
      int table = -1;
      for (size_t t = 0; t < tables_.size(); ++t)
        if (tables_[t].entry.name == e.tbl_name) table = static_cast<int>(t);
      indexes_.push_back({c, table, width, width >= 0 ? width : most, !missing.empty()});
    }
  }

  // Whether a record on a page no tree reached could be an entry of some index (of one
  // whose tree lost pages, with `broken_only`): one of its width, unless the index's own
  // terms, worked out from the record, refute it.
  bool SomeIndexMayHold(const LeafCell& lc, bool broken_only) {
    const size_t width = lc.types.size();
    bool read = false, readable = false;
    for (const KnownIndex& ix : indexes_) {
      if (broken_only && !ix.broken) continue;
      if (ix.width < 0) {
        if (ix.most < 0 || width <= static_cast<size_t>(ix.most)) return true;
        continue;
      }
      if (static_cast<size_t>(ix.width) != width) continue;
      if (ix.table < 0) return true;
      if (!read) {
        read = true;
        readable = ReadFullPayload(f_, lc.cell, this, &peek_payload_, nullptr) &&
                   DecodeRecord(peek_payload_, &peek_values_);
      }
      if (!readable || sink_.MayBeEntryOf(catalog_[ix.entry],
                                          tables_[static_cast<size_t>(ix.table)], peek_values_))
        return true;
    }
    return false;
  }

  // The type of a catalog row as text. With the header gone, the encoding is the one in
  // which the first catalog row's type reads as a catalog type.
  std::string CatalogType(Bytes text) {
    if (enc_ != 0) return TextToUtf8(text, enc_);
    for (uint32_t enc : {1u, 2u, 3u}) {
      std::string type = TextToUtf8(text, enc);
      if (type == "table" || type == "index" || type == "view" || type == "trigger") {
        enc_ = enc;
        return type;
      }
    }
    return {};
  }

  void AddCatalogRow(const std::vector<Value>& v) {
    if (v.size() != 5 || v[0].kind != Value::kText || v[1].kind != Value::kText) return;
    CatalogEntry e;
    e.type = CatalogType(v[0].bytes);
    uint32_t enc = enc_;
    if (e.type != "table" && e.type != "index" && e.type != "view" && e.type != "trigger") {
      return;
    }
    e.name = TextToUtf8(v[1].bytes, enc);
    if (v[2].kind == Value::kText) e.tbl_name = TextToUtf8(v[2].bytes, enc);
    if (v[3].kind == Value::kInt && v[3].i > 0 && v[3].i <= last_) {
      e.root = static_cast<uint32_t>(v[3].i);
    }
    if (v[4].kind == Value::kText) e.sql = TextToUtf8(v[4].bytes, enc);
    for (const auto& c : catalog_) {
      if (c.name == e.name) return;  // the first one read (from the tree) wins
    }
    catalog_.push_back(std::move(e));
  }

  // A walk of the catalog that broke off may have followed pointers read from a smashed
  // page 1 into other tables' trees and claimed their pages (an interior page is taken on
  // its layout alone). The interior pages it took and the pages it only named are given
  // back, so that every table's tree is walked from its own root; the leaves it took hold
  // catalog records, and the catalog's other leaves are found wherever they lie.
  void ReleaseCatalogWalk() {
    for (uint32_t p : catalog_interiors_) {
      if (p == 1 || state_[p] != kTree) continue;
      state_.Set(p, kUnseen);
      --stats_.pages_decoded;
    }
    auto released = [&](uint32_t p, int32_t owner) {
      return p >= 2 && owner == kCatalogOwner && state_[p] == kUnseen;
    };
    for (auto it = pointed_.begin(); it != pointed_.end();) {
      it = released(it->first, it->second) ? pointed_.erase(it) : std::next(it);
    }
    for (auto& [p, owner] : map_parents_) {
      if (released(p, owner)) owner = kNoOwner;
    }
  }

  // Page 1 with its b-tree header or cell pointers destroyed still holds the catalog's
  // records in its content area: each is looked for at every offset, and taken only when
  // it decodes completely as a catalog row.
  void ScanCatalogContent() {
    std::vector<uint8_t> buf;
    if (!f_.ReadPage(1, &buf)) return;
    BtreePage page;
    page.pgno = 1;
    page.type = kTableLeaf;
    page.header_offset = 100;
    page.data = buf;
    page.usable = f_.usable();
    for (uint32_t off = 100 + 8; off + 4 <= page.usable; ++off) {
      LeafCell lc;
      if (!ParseTableLeafCellAt(page, off, &lc.cell) || lc.cell.rowid <= 0 ||
          !DecodeRecordHeader(lc.cell.local, lc.cell.payload_size, &lc.types) ||
          lc.types.size() != 5 || !SerialTypesFitTable(catalog_shape_, lc.types) ||
          !ReadFullPayload(f_, lc.cell, this, &payload_, &chain_) ||
          !DecodeRecord(payload_, &values_) || values_[0].kind != Value::kText) {
        continue;
      }
      std::string type = CatalogType(values_[0].bytes);
      if (type != "table" && type != "index" && type != "view" && type != "trigger") continue;
      AddCatalogRow(values_);
      for (uint32_t p : chain_) state_.Set(p, kOverflow);
      auto end = static_cast<uint32_t>(lc.cell.local.data() + lc.cell.local.size() - buf.data());
      off = end + (lc.cell.first_overflow ? 4 : 0) - 1;
    }
  }

  // When the catalog's own tree is damaged, its surviving leaf pages can still be found:
  // they are the table leaves whose rows have the catalog's unmistakable shape.
  void FindCatalogPages() {
    std::vector<uint8_t> buf;
    std::vector<LeafCell> cells;
    for (uint32_t p = 2; p <= f_.page_count(); ++p) {
      if (state_[p] != kUnseen || f_.IsPointerMapPage(p)) continue;
      if (!f_.ReadPage(p, &buf)) continue;
      BtreePage page;
      if (!ParseBtreePage(buf, p, f_.usable(), &page) || page.type != kTableLeaf) continue;
      uint32_t total = ReadLeafCells(page, &cells);
      uint32_t good = 0;
      for (const LeafCell& lc : cells) {
        if (lc.types.size() != 5 || !SerialTypesFitTable(catalog_shape_, lc.types)) continue;
        if (!ReadFullPayload(f_, lc.cell, this, &payload_, nullptr) ||
            !DecodeRecord(payload_, &values_)) {
          continue;
        }
        std::string type = values_[0].kind == Value::kText ? CatalogType(values_[0].bytes) : "";
        if (type == "table" || type == "index" || type == "view" || type == "trigger") ++good;
      }
      if (total == 0 || good * 2 <= total) continue;
      state_.Set(p, kCatalogPage);
      pointed_.erase(p);
      ++stats_.pages_decoded;
      for (const LeafCell& lc : cells) {
        if (ReadRow(lc)) AddCatalogRow(values_);
      }
    }
  }

  void BuildTables() {
    std::map<uint32_t, std::vector<size_t>> claims;  // root -> the tables naming it
    for (const CatalogEntry& e : catalog_) {
      if (e.type != "table") continue;
      RecoveredTable t;
      t.entry = e;
      t.shape = ParseCreateTable(e.sql);
      if (e.root != 0) claims[e.root].push_back(tables_.size());
      tables_.push_back(std::move(t));
    }
    // Two tables naming one root: a catalog read from its leaves wherever they lie can hold
    // the entry of a table dropped long ago beside the one of the table that took its root
    // since. The root keeps the one table whose shape the rows under it have; when none or
    // several have it, nobody does, and the rows go to lost-and-found.
    for (const auto& [root, named] : claims) {
      if (named.size() < 2) continue;
      std::vector<size_t> fitting;
      for (size_t t : named) {
        if (tables_[t].shape.parsed && TreeHoldsRowsOf(root, tables_[t].shape))
          fitting.push_back(t);
      }
      for (size_t t : named) {
        if (fitting.size() != 1 || fitting[0] != t) tables_[t].entry.root = 0;
      }
    }
  }

  // Whether the first leaf under `root` (reached through the first child of each interior
  // page) holds mostly records of `shape`.
  bool TreeHoldsRowsOf(uint32_t root, const TableShape& shape) {
    std::vector<uint8_t> buf;
    std::vector<LeafCell> cells;
    uint32_t pgno = root;
    for (int depth = 0; depth <= kMaxDepth; ++depth) {
      BtreePage page;
      if (pgno == 0 || pgno > f_.page_count() || !f_.ReadPage(pgno, &buf) ||
          !ParseBtreePage(buf, pgno, f_.usable(), &page) || page.IsTable() == shape.without_rowid) {
        return false;
      }
      if (page.type == kTableInterior) {
        int64_t key = 0;
        if (page.cell_count == 0) {
          pgno = page.right_child;
        } else if (!ParseTableInteriorCell(page, 0, &pgno, &key)) {
          return false;
        }
        continue;
      }
      uint32_t total = ReadLeafCells(page, &cells);
      uint32_t fit = 0;
      for (const LeafCell& lc : cells) fit += SerialTypesFitTable(shape, lc.types) ? 1 : 0;
      return total > 0 && fit * 2 > total;
    }
    return false;
  }

  void MarkFreelist() {
    freelist_damaged_ = true;
    if (!f_.header().magic_ok) return;
    uint32_t trunk = f_.header().freelist_trunk;
    uint64_t budget = f_.page_count();
    std::vector<uint8_t> buf;
    const uint32_t max_leaves = (f_.usable() - 8) / 4;
    bool zeroed = false;
    while (trunk != 0 && budget > 0) {
      if (trunk > f_.page_count() || state_[trunk] != kUnseen) break;
      if (!f_.ReadPage(trunk, &buf)) return;
      uint32_t next = Get32(buf.data());
      uint32_t n = Get32(buf.data() + 4);
      if (n > max_leaves) {
        // Not a trunk. Where a commit reached the file only in part, the header's pointer
        // can lead to a page of the other version, a b-tree page: the freelist is then
        // stale there, not damaged.
        BtreePage page;
        freelist_damaged_ = !ParseBtreePage(buf, trunk, f_.usable(), &page);
        return;
      }
      zeroed = zeroed || std::all_of(buf.begin(), buf.end(), [](uint8_t b) { return b == 0; });
      state_.Set(trunk, kFree);
      ++stats_.free_pages_skipped;
      --budget;
      for (uint32_t i = 0; i < n; ++i) {
        uint32_t leaf = Get32(buf.data() + 8 + 4 * i);
        if (leaf >= 2 && leaf <= f_.page_count() && state_[leaf] == kUnseen) {
          state_.Set(leaf, kFree);
          ++stats_.free_pages_skipped;
        }
      }
      trunk = next;
    }
    // A chain that leads into a page in use is no sign of damage by itself: where a
    // commit reached the file only in part, pages of both versions make it up. A zeroed
    // trunk, with pages the header counts as free not found, is.
    freelist_damaged_ = zeroed && stats_.free_pages_skipped != f_.header().freelist_count;
  }

  bool InMissing(const RecoveredTable& t, int64_t key) const {
    for (const auto& [lo, hi] : t.missing) {
      if (InRange(key, lo, hi)) return true;
    }
    return false;
  }

  // A commit that reached the file only in part can leave the pages it appended without
  // the pointer to them, the old parent in place: a row above all the rows under a parent,
  // up to the key it ends at, may be one of those (above all of the table's rows, where
  // the parent is the root's last). Not where a trunk of the freelist is damaged: a page
  // it lost may hold rows deleted from the end of such a range.
  bool InTail(size_t t, int64_t rowid) const {
    auto tails = tails_.find(static_cast<int32_t>(t));
    if (freelist_damaged_ || tails == tails_.end()) return false;
    const auto& ranges = tails->second;  // (last row under a parent, the key it ends at]
    auto after = std::upper_bound(ranges.begin(), ranges.end(), rowid,
                                  [](int64_t r, const auto& range) { return r <= range.first; });
    return after != ranges.begin() && rowid <= std::prev(after)->second;
  }

  // Which table a page that no tree reached belonged to: a table whose tree named it (a
  // child pointer or, in auto-vacuum files, the pointer map), or else the single table
  // whose lost key ranges and shape fit most of its rows, or, when no table's do, the
  // single one in whose tails (InTail) they would lie. Two candidates: nobody, not even
  // one of the tails. A catalog not read whole from its own tree may lack the entry of the
  // page's true table, of the same shape, so there only a tree's own pointer counts.
  int32_t ChooseTable(uint32_t pgno, const std::vector<LeafCell>& cells, uint32_t total,
                      bool index_page) {
    int candidates = 0;
    int32_t t = ChooseTable(pgno, cells, total, index_page, false, &candidates);
    if (t != kNoOwner || index_page || candidates > 0) return t;
    return ChooseTable(pgno, cells, total, false, true, &candidates);
  }

  int32_t ChooseTable(uint32_t pgno, const std::vector<LeafCell>& cells, uint32_t total,
                      bool index_page, bool in_tails, int* candidates) {
    int32_t hint = OwnerOf(pgno);
    uint8_t ptype = 0;
    uint32_t parent = 0;
    if (hint < 0 && f_.PointerMapEntry(pgno, &ptype, &parent) && ptype == 5 &&
        parent <= f_.page_count()) {
      hint = OwnerOf(parent);
    }
    if (hint == kIndexOwner) return kNoOwner;
    int32_t chosen = kNoOwner, strong = kNoOwner;
    *candidates = 0;
    for (size_t t = 0; t < tables_.size(); ++t) {
      const RecoveredTable& rt = tables_[t];
      if (rt.shape.without_rowid != index_page) continue;
      bool is_hint = hint == static_cast<int32_t>(t) && !in_tails;
      if (!is_hint && !stats_.catalog_complete) continue;
      if (!is_hint && !in_tails && rt.missing.empty()) continue;
      uint32_t fit = 0;
      for (const LeafCell& lc : cells) {
        if (SerialTypesFitTable(rt.shape, lc.types) &&
            (is_hint || (in_tails ? InTail(t, lc.cell.rowid) : InMissing(rt, lc.cell.rowid)))) {
          ++fit;
        }
      }
      if (fit == 0 || fit * 2 <= total) continue;
      ++*candidates;
      chosen = static_cast<int32_t>(t);
      if (is_hint) strong = chosen;
    }
    if (index_page && *candidates > 0) {
      // An index page has no key range to check against: a pointer to it from the table's
      // tree or the pointer map may come from a page of another version of the file, so
      // not even that decides when an index's records could have the same shape.
      for (const LeafCell& lc : cells) {
        if (SomeIndexMayHold(lc, false)) return kNoOwner;
      }
    }
    if (strong != kNoOwner) return strong;
    return *candidates == 1 ? chosen : kNoOwner;
  }

  // Whether records of an index page no tree reached could be rows of some WITHOUT ROWID
  // table: only then do they go to lost-and-found; an ordinary index holds copies of rows.
  // Where every index they could belong to was walked whole, the page is none of theirs,
  // so a table whose own walk looked complete (its root an older version, say) still
  // counts.
  bool FitsAnyWithoutRowid(const LeafCell& lc) {
    const bool index_page_lost = SomeIndexMayHold(lc, true);
    return std::any_of(tables_.begin(), tables_.end(), [&](const RecoveredTable& t) {
      return t.shape.without_rowid && (!t.walk_complete || !index_page_lost) &&
             SerialTypesFitTable(t.shape, lc.types);
    });
  }

  void ScanUnreached() {
    std::vector<uint8_t> buf;
    std::vector<LeafCell> cells;
    for (uint32_t p = 2; p <= last_; ++p) {
      if (state_[p] != kUnseen) continue;
      if (f_.IsPointerMapPage(p)) continue;
      BtreePage page;
      if (!ReadBtree(p, &buf, &page)) continue;
      if (state_[p] != kUnseen) continue;
      ++stats_.pages_decoded;
      if (page.type == kTableInterior) continue;
      bool index_page = page.type != kTableLeaf;
      if (index_page && !any_without_rowid_) continue;
      uint32_t total = ReadLeafCells(page, &cells);
      int32_t t = ChooseTable(p, cells, total, index_page);
      const int32_t pointed_by = OwnerOf(p);
      state_.Set(p, kTree);
      if (index_page) {
        for (const LeafCell& lc : cells) {
          if (t >= 0 && SerialTypesFitTable(tables_[static_cast<size_t>(t)].shape, lc.types)) {
            EmitToTable(t, lc, p);
          } else if (FitsAnyWithoutRowid(lc)) {
            EmitLost(lc, false, p);
          }
        }
        continue;
      }
      for (const LeafCell& lc : cells) {
        bool fits = t >= 0 &&
                    SerialTypesFitTable(tables_[static_cast<size_t>(t)].shape, lc.types) &&
                    (pointed_by == t || InMissing(tables_[static_cast<size_t>(t)], lc.cell.rowid) ||
                     InTail(static_cast<size_t>(t), lc.cell.rowid) ||
                     tables_[static_cast<size_t>(t)].missing.empty());
        if (fits) {
          EmitToTable(t, lc, p);
        } else {
          EmitLost(lc, false, p);
        }
      }
      stats_.rows_dropped += total - cells.size();
    }
  }

  const PageFile& f_;
  RowSink& sink_;
  const PageProgress& progress_;
  const uint32_t last_;  // the last page that holds anything, a part of one included
  PageStates state_;
  // The tree that first pointed at a page no walk took (kept as a hint for the scan of
  // unreached pages), and the tree that took each page the pointer map names as a parent.
  // Either holds only what damage left behind, or a pointer-map file's interior pages.
  std::unordered_map<uint32_t, int32_t> pointed_;
  std::vector<std::pair<uint32_t, int32_t>> map_parents_;  // sorted by page
  TableShape catalog_shape_;
  std::vector<CatalogEntry> catalog_;
  std::vector<RecoveredTable> tables_;
  RecoverStats stats_;
  uint64_t pages_done_ = 0;
  uint64_t to_read_ = 0;  // 0 until counted
  std::chrono::steady_clock::time_point last_progress_{};
  std::vector<uint8_t> payload_;
  std::vector<uint32_t> chain_;
  std::vector<Value> values_;
  std::vector<Value> declared_;
  std::vector<uint32_t> catalog_interiors_;  // interior pages the catalog's walk took
  bool any_without_rowid_ = false;
  uint32_t enc_ = 0;  // text encoding; 0 until known
  // Each index: its table, its record width, or -1 and the most it can be (-1: anything),
  // and whether its tree lost pages.
  struct KnownIndex {
    size_t entry;  // in catalog_
    int table, width, most;
    bool broken;
  };
  std::vector<KnownIndex> indexes_;
  std::vector<uint8_t> peek_payload_;
  std::vector<Value> peek_values_;
  // Each table's ranges from the last row under a parent to the key it ends at, sorted.
  std::map<int32_t, std::vector<std::pair<int64_t, int64_t>>> tails_;
  bool freelist_damaged_ = true;  // a trunk of the freelist could not be read, or read as noise
  struct Deferred {
    size_t table;
    int64_t rowid;
    uint32_t pgno;
    std::vector<uint8_t> payload;
  };
  std::vector<Deferred> deferred_;
  size_t deferred_bytes_ = 0;
};

}  // namespace

std::string TextToUtf8(Bytes text, uint32_t encoding) {
  if (encoding != 2 && encoding != 3) return std::string(text.begin(), text.end());
  std::string out;
  bool le = encoding == 2;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    uint32_t u = le ? (text[i] | (text[i + 1] << 8)) : ((text[i] << 8) | text[i + 1]);
    if (u >= 0xd800 && u < 0xdc00 && i + 3 < text.size()) {
      uint32_t lo = le ? (text[i + 2] | (text[i + 3] << 8)) : ((text[i + 2] << 8) | text[i + 3]);
      if (lo >= 0xdc00 && lo < 0xe000) {
        u = 0x10000 + ((u - 0xd800) << 10) + (lo - 0xdc00);
        i += 2;
      }
    }
    AppendUtf8(u, &out);
  }
  return out;
}

RecoverStats RecoverPages(const PageFile& file, RowSink& sink, const PageProgress& progress) {
  Recoverer r(file, sink, progress);
  return r.Run();
}

}  // namespace tidewell::engine::pagefile
