// The decoding half of the page-level salvage: finds the catalog, walks every table's
// b-tree, then looks at every page no tree reached, and hands each row it can read
// completely to a RowSink together with the table it belongs to. It never calls SQLite;
// the sink decides how rows are stored (a new database in the salvage, nothing at all in
// the fuzz target).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/pagefile/format.h"
#include "engine/pagefile/schema.h"

namespace tidewell::engine::pagefile {

struct CatalogEntry {
  std::string type;  // table, index, view, trigger
  std::string name;
  std::string tbl_name;
  uint32_t root = 0;
  std::string sql;
};

struct RecoveredTable {
  CatalogEntry entry;
  TableShape shape;
  bool writable = true;  // the sink could create it; rows of an unwritable table go to
                         // lost-and-found
  bool walk_complete = true;
  // Key ranges (lo, hi] whose pages the table's own b-tree could not give: where rows
  // found on pages no tree reached may belong.
  std::vector<std::pair<int64_t, int64_t>> missing;
};

class RowSink {
 public:
  // kDuplicate: the very same row is there already. kConflict: its key or a unique value
  // is taken by another row, or another version of it; the row then goes to lost-and-found.
  enum class Outcome { kWritten, kDuplicate, kConflict, kRejected, kIgnored };
  virtual ~RowSink() = default;
  // The catalog as far as it could be read, the tables rows will be given for and the
  // text encoding of the file (1 UTF-8, 2 UTF-16le, 3 UTF-16be; found from the catalog's
  // texts when the header is gone). The sink may mark tables unwritable.
  virtual void Begin(const std::vector<CatalogEntry>& catalog, std::vector<RecoveredTable>* tables,
                     uint32_t text_encoding) = 0;
  // `pgno`: the page the row was read from. A rowid table's rows come in rowid order while
  // its b-tree is walked; rows placed after the walks come in any order.
  virtual Outcome TableRow(size_t table, int64_t rowid, uint32_t pgno,
                           const std::vector<Value>& values) = 0;
  virtual void LostRow(uint32_t pgno, int64_t rowid, const std::vector<Value>& values) = 0;
  // Whether `record` could be an entry of `index` on `table`: false only when the index's
  // own terms, worked out from the record's other values, give other values than it holds.
  virtual bool MayBeEntryOf(const CatalogEntry& index, const RecoveredTable& table,
                            const std::vector<Value>& record) {
    (void)index, (void)table, (void)record;
    return true;
  }
  virtual void End() = 0;
  // Rows reported kWritten whose outcome the sink learnt only later: rows it moved to
  // lost-and-found (with their page) itself for repeating a unique key of a row given
  // before them, rows that repeat one already there, rows it could not write. Asked after
  // End.
  struct Later {
    uint64_t lost = 0, duplicate = 0, rejected = 0;
  };
  virtual Later OutcomesLater() const { return {}; }
};

struct RecoverStats {
  uint64_t pages_total = 0;
  uint64_t pages_decoded = 0;
  uint64_t rows_recovered = 0;
  uint64_t rows_dropped = 0;
  uint64_t duplicate_keys = 0;
  uint64_t rows_lost_found = 0;
  uint64_t rows_out_of_place = 0;
  uint64_t free_pages_skipped = 0;
  bool catalog_complete = false;
};

using PageProgress = std::function<void(uint64_t done, uint64_t total)>;

// Runs the whole decoding. Calls sink.Begin once (even when nothing decodes) and sink.End
// once at the end. Freelist pages are skipped: what is on them was deleted.
RecoverStats RecoverPages(const PageFile& file, RowSink& sink, const PageProgress& progress);

// Catalog text values may be UTF-16 in such files; everything the salvage reasons about
// (names, statements) is converted to UTF-8.
std::string TextToUtf8(Bytes text, uint32_t encoding);

}  // namespace tidewell::engine::pagefile
