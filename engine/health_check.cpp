#include "engine/health_check.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/errors.h"
#include "engine/pagefile/check.h"
#include "engine/pagefile/index_check.h"
#include "engine/sqlite_support.h"

namespace tidewell::engine {
namespace {

using sqlite::QuoteId;
using sqlite::Statement;

// --- Order-independent sums of index tuples, from SQLite's own scans ---
//
// tidewell_tuple_sum(layout, v1, ..., vn) sums a hash of each tuple the way the check
// read from the file does (pagefile::TupleSums), so a missing, extra, doubled or changed
// entry changes the result whatever order the rows come in. With a non-empty layout the
// rows must also arrive in index order, and for a unique index no two may share a key
// without NULLs: layout is "U" or "-", the number of key columns, ":" and one letter per
// column for its collation (B binary, N nocase, R rtrim; lower case when descending).

pagefile::Value View(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      return {pagefile::Value::kInt, sqlite3_value_int64(v), 0, {}};
    case SQLITE_FLOAT:
      return {pagefile::Value::kReal, 0, sqlite3_value_double(v), {}};
    case SQLITE_TEXT: {
      auto* p = sqlite3_value_text(v);
      return {pagefile::Value::kText, 0, 0, {p, static_cast<size_t>(sqlite3_value_bytes(v))}};
    }
    case SQLITE_BLOB: {
      auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(v));
      return {
          pagefile::Value::kBlob, 0, 0, {p, p ? static_cast<size_t>(sqlite3_value_bytes(v)) : 0}};
    }
    default:
      return {};
  }
}

// One value as the comparisons need it, copied so that the previous row outlives its step.
struct Held {
  pagefile::Value value;
  std::string bytes;

  void Take(sqlite3_value* v) {
    value = View(v);
    bytes.assign(reinterpret_cast<const char*>(value.bytes.data()), value.bytes.size());
    value.bytes = {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
  }
};

struct TupleSum {
  pagefile::TupleSums sums;
  uint64_t disorder = 0;
  bool ordered = false, unique = false;
  size_t key_columns = 0;
  std::string collations;
  std::vector<Held> prev, cur;
};

void TupleSumStep(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  auto** slot = static_cast<TupleSum**>(sqlite3_aggregate_context(ctx, sizeof(TupleSum*)));
  if (slot == nullptr) return sqlite3_result_error_nomem(ctx);
  const size_t n = static_cast<size_t>(argc - 1);
  if (*slot == nullptr) {
    auto* s = new TupleSum;
    std::string layout(reinterpret_cast<const char*>(sqlite3_value_text(argv[0])));
    if (!layout.empty()) {
      s->ordered = true;
      s->unique = layout[0] == 'U';
      s->key_columns = std::strtoul(layout.c_str() + 1, nullptr, 10);
      s->collations = layout.substr(layout.find(':') + 1);
    }
    s->cur.resize(n);
    *slot = s;
  }
  TupleSum& s = **slot;
  uint64_t h = 0x5bd1e995;
  for (size_t k = 0; k < n; ++k) {
    h = pagefile::FoldValue(h, View(argv[k + 1]));
    if (s.ordered) s.cur[k].Take(argv[k + 1]);
  }
  s.sums.Add(pagefile::Finish(h));
  if (!s.ordered) return;
  if (!s.prev.empty() && s.collations.size() == n) {
    int cmp = 0;
    size_t differs_at = n;
    for (size_t k = 0; k < n && cmp == 0; ++k) {
      char c = s.collations[k];
      bool desc = c >= 'a';
      cmp = pagefile::CompareValues(s.prev[k].value, s.cur[k].value,
                                    desc ? static_cast<char>(c - 32) : c);
      if (desc) cmp = -cmp;
      if (cmp != 0) differs_at = k;
    }
    bool key_null =
        std::any_of(s.cur.begin(), s.cur.begin() + std::min(n, s.key_columns),
                    [](const Held& v) { return v.value.kind == pagefile::Value::kNull; });
    if (cmp >= 0 || (s.unique && differs_at >= s.key_columns && !key_null)) ++s.disorder;
  }
  std::swap(s.prev, s.cur);
  s.cur.resize(n);
}

void TupleSumFinal(sqlite3_context* ctx) {
  auto** slot = static_cast<TupleSum**>(sqlite3_aggregate_context(ctx, 0));
  uint64_t out[4] = {0, 0, 0, 0};
  if (slot && *slot) {
    out[0] = (*slot)->sums.sum;
    out[1] = (*slot)->sums.remixed;
    out[2] = (*slot)->sums.count;
    out[3] = (*slot)->disorder;
    delete *slot;
    *slot = nullptr;
  }
  sqlite3_result_blob(ctx, out, sizeof out, SQLITE_TRANSIENT);
}

// --- Planning the comparison from the catalog ---

struct IndexPlan {
  std::string name, columns, layout;
};
struct TablePlan {
  std::string name;
  std::string scan = "NOT INDEXED";  // how to make SQLite read the table's own b-tree
  std::vector<IndexPlan> indexes;
  pagefile::IndexedTable shape;  // the same comparison, read from the file
  bool from_file = true;         // false where only SQLite can rebuild the entries
};

// How many columns a rowid table's records hold, and which one is the rowid itself;
// nullopt when some column is generated (SQLite computes those).
std::optional<size_t> StoredColumns(sqlite3* db, const std::string& table, int* rowid_field) {
  Statement columns(db, "SELECT hidden, pk FROM pragma_table_xinfo(?1) ORDER BY cid");
  columns.Bind(1, table);
  size_t count = 0;
  int keys = 0, key_field = -1;
  for (; columns.Step() == SQLITE_ROW; ++count) {
    if (columns.Int(0) != 0) return std::nullopt;
    if (columns.Int(1) != 0) ++keys, key_field = static_cast<int>(count);
  }
  // A single-column key with no index of its own is the rowid under another name.
  Statement key_index(db, "SELECT count(*) FROM pragma_index_list(?1) WHERE origin = 'pk'");
  key_index.Bind(1, table);
  *rowid_field =
      keys == 1 && key_index.Step() == SQLITE_ROW && key_index.Int(0) == 0 ? key_field : -1;
  return count;
}

// False when some index cannot be rebuilt from its columns alone (partial and expression
// indexes, collations we do not compare ourselves); the caller falls back on SQLite.
bool PlanIndexChecks(sqlite3* db, std::vector<TablePlan>* plans) {
  // Only tables with an index of their own in the catalog have anything to compare.
  Statement tables(db,
                   "SELECT name, rootpage FROM sqlite_schema WHERE type = 'table' AND rootpage "
                   "<> 0 AND name COLLATE NOCASE IN (SELECT tbl_name FROM sqlite_schema WHERE "
                   "type = 'index')");
  while (tables.Step() == SQLITE_ROW) {
    TablePlan table{tables.Text(0), "NOT INDEXED", {}, {}, true};
    table.shape.name = table.name;
    table.shape.root = static_cast<uint32_t>(tables.Int(1));
    std::string rowid;
    for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
      Statement taken(db,
                      "SELECT count(*) FROM pragma_table_info(?1) WHERE name = ?2 COLLATE NOCASE");
      taken.Bind(1, table.name).Bind(2, candidate);
      if (taken.Step() == SQLITE_ROW && taken.Int(0) == 0) {
        rowid = candidate;
        break;
      }
    }
    const std::optional<size_t> stored = StoredColumns(db, table.name, &table.shape.rowid_field);
    table.from_file = stored.has_value();
    // A WITHOUT ROWID table's rows live in its key's b-tree, which has no catalog row of its
    // own; NOT INDEXED does not keep SQLite off a covering index there, naming that key does.
    Statement indexes(db,
                      "SELECT l.name, l.\"unique\", l.partial, s.rootpage FROM "
                      "pragma_index_list(?1) l LEFT JOIN sqlite_schema s ON s.type = 'index' "
                      "AND s.name = l.name");
    indexes.Bind(1, table.name);
    while (indexes.Step() == SQLITE_ROW) {
      if (sqlite3_column_type(indexes.get(), 3) == SQLITE_NULL) {
        table.scan = "INDEXED BY " + QuoteId(indexes.Text(0));
        table.from_file = false;
        continue;
      }
      if (indexes.Int(2) != 0) return false;
      IndexPlan index{indexes.Text(0), {}, {}};
      pagefile::TableIndex shape{
          index.name, static_cast<uint32_t>(indexes.Int(3)), {}, {}, 0, indexes.Int(1) != 0};
      Statement xinfo(db,
                      "SELECT cid, name, desc, upper(coll), key FROM pragma_index_xinfo(?1) "
                      "ORDER BY seqno");
      xinfo.Bind(1, index.name);
      while (xinfo.Step() == SQLITE_ROW) {
        int64_t cid = xinfo.Int(0);
        if (cid == -2 || (cid == -1 && rowid.empty())) return false;
        std::string coll = xinfo.Text(3);
        char c = coll == "BINARY" ? 'B' : coll == "NOCASE" ? 'N' : coll == "RTRIM" ? 'R' : 0;
        if (c == 0) return false;
        shape.collations += xinfo.Int(2) ? static_cast<char>(c + 32) : c;
        shape.key_columns += xinfo.Int(4) ? 1 : 0;
        if (!index.columns.empty()) index.columns += ", ";
        index.columns += cid == -1 ? rowid : QuoteId(xinfo.Text(1));
        if (stored && cid >= 0 && static_cast<size_t>(cid) >= *stored) return false;
        shape.fields.push_back(static_cast<int>(cid));
      }
      if (index.columns.empty()) return false;
      index.layout =
          (shape.unique ? "U" : "-") + std::to_string(shape.key_columns) + ":" + shape.collations;
      table.indexes.push_back(std::move(index));
      table.shape.indexes.push_back(std::move(shape));
    }
    if (!table.indexes.empty()) plans->push_back(std::move(table));
  }
  return true;
}

// --- Running ---

struct Progress {
  const std::function<void(uint64_t, uint64_t)>* fn;
  sqlite3* db;
  uint64_t pages, base = 0;

  void Phase(uint64_t start) {
    base = start;
    int cur = 0, high = 0;
    sqlite3_db_status(db, SQLITE_DBSTATUS_CACHE_MISS, &cur, &high, 1);
    Tell(0);
  }
  void Tell(uint64_t done) const {
    if (*fn) (*fn)(base + std::min(done, pages), 3 * pages);
  }
  // Pages read from the file so far stand for how far SQLite has come.
  static int Handler(void* p) {
    auto* self = static_cast<Progress*>(p);
    int cur = 0, high = 0;
    sqlite3_db_status(self->db, SQLITE_DBSTATUS_CACHE_MISS, &cur, &high, 0);
    self->Tell(static_cast<uint64_t>(std::max(cur, 0)));
    return 0;
  }
};

class StepFailed {
 public:
  int rc;
};

// Runs a statement that yields one row; SQLITE_CORRUPT and its kin become a StepFailed.
std::vector<std::string> OneRow(sqlite3* db, const std::string& sql) {
  Statement st = Statement::TryPrepare(db, sql);
  if (!st.ok()) throw StepFailed{st.rc()};
  int rc = st.Step();
  if (rc != SQLITE_ROW) throw StepFailed{rc};
  std::vector<std::string> out;
  for (int k = 0; k < sqlite3_column_count(st.get()); ++k) {
    // Sums come back as blobs; everything else as UTF-8 text, whatever the file's encoding
    // (a UTF-16 file's "ok" is four bytes in its own encoding).
    const bool blob = sqlite3_column_type(st.get(), k) == SQLITE_BLOB;
    auto* p = blob ? static_cast<const char*>(sqlite3_column_blob(st.get(), k))
                   : reinterpret_cast<const char*>(sqlite3_column_text(st.get(), k));
    out.emplace_back(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st.get(), k)));
  }
  return out;
}

HealthVerdict RunCheck(sqlite3* db, const std::string& sql) {
  std::vector<std::string> row = OneRow(db, sql);
  if (row[0] == "ok") return {true, {}};
  return {false, row[0]};
}

// SQLite's sums for the tables planned to be read from the file (`from_file`), or for the
// others.
HealthVerdict CompareIndexes(sqlite3* db, const std::vector<TablePlan>& plans, bool from_file) {
  for (const TablePlan& table : plans) {
    if (table.from_file != from_file) continue;
    std::string sql = "SELECT ";
    for (const IndexPlan& index : table.indexes)
      sql += (&index == &table.indexes[0] ? "" : ", ") +
             ("tidewell_tuple_sum(''," + index.columns + ")");
    std::vector<std::string> from_table =
        OneRow(db, sql + " FROM main." + QuoteId(table.name) + " " + table.scan);
    for (size_t k = 0; k < table.indexes.size(); ++k) {
      const IndexPlan& index = table.indexes[k];
      std::string from_index =
          OneRow(db, "SELECT tidewell_tuple_sum(" + sqlite::QuoteText(index.layout) + ", " +
                         index.columns + ") FROM main." + QuoteId(table.name) + " INDEXED BY " +
                         QuoteId(index.name))[0];
      uint64_t sums[2][4];
      if (from_index.size() != sizeof sums[0] || from_table[k].size() != sizeof sums[0])
        return {false, "index " + index.name + " could not be summed"};
      std::memcpy(sums[0], from_index.data(), sizeof sums[0]);
      std::memcpy(sums[1], from_table[k].data(), sizeof sums[1]);
      if (sums[0][3] != 0) return {false, "index " + index.name + " is out of order or not unique"};
      if (std::memcmp(sums[0], sums[1], 3 * sizeof(uint64_t)) != 0)
        return {false, "index " + index.name + " does not match table " + table.name};
    }
  }
  return {true, {}};
}

}  // namespace

HealthVerdict IntegrityCheckVerdict(sqlite3* db) {
  try {
    return RunCheck(db, "PRAGMA integrity_check(1)");
  } catch (const StepFailed& f) {
    if ((f.rc & 0xff) != SQLITE_CORRUPT && (f.rc & 0xff) != SQLITE_NOTADB)
      sqlite::RaiseResult(db, f.rc, "Cannot check the database");
    return {false, sqlite3_errstr(f.rc)};
  }
}

HealthVerdict CheckDatabaseHealth(sqlite3* db, const std::string& path,
                                  const std::function<void(uint64_t, uint64_t)>& progress) {
  try {
    std::vector<std::string> shape =
        OneRow(db,
               "SELECT (SELECT page_size FROM pragma_page_size), (SELECT page_count FROM "
               "pragma_page_count), (SELECT encoding FROM pragma_encoding)");
    const uint32_t page_size = static_cast<uint32_t>(std::stoul(shape[0]));
    const uint32_t pages = static_cast<uint32_t>(std::stoul(shape[1]));
    Progress tell{&progress, db, pages};
    // An empty file is an empty database to SQLite; it has no pages to account for. A file
    // in write-ahead mode is read as SQLite reads it, its log's last commit laid over it
    // (pagefile::OpenCommittedSource), and gets every check a rollback-mode file gets.
    if (pages == 0) return IntegrityCheckVerdict(db);

    pagefile::AccountingInput in{path, page_size, pages, {1}, {}};
    {
      Statement roots(db, "SELECT rootpage FROM sqlite_schema WHERE rootpage IS NOT 0");
      int rc;
      while ((rc = roots.Step()) == SQLITE_ROW) {
        if (sqlite3_column_type(roots.get(), 0) != SQLITE_INTEGER || roots.Int(0) < 1 ||
            roots.Int(0) > pages)
          return {false, "the catalog names a root page outside the file"};
        in.roots.push_back(static_cast<uint32_t>(roots.Int(0)));
      }
      if (rc != SQLITE_DONE) throw StepFailed{rc};
    }
    // Indexes we cannot rebuild from their columns (partial, on expressions, other
    // collations, text in UTF-16) are left to integrity_check, slower but complete.
    std::vector<TablePlan> plans;
    const bool planned = shape[2] == "UTF-8" && PlanIndexChecks(db, &plans);

    // The indexes read straight from the file go on beside SQLite's own scans.
    pagefile::IndexCheckInput files{path, page_size, pages, {}, {}};
    for (const TablePlan& table : plans)
      if (table.from_file) files.tables.push_back(table.shape);
    pagefile::IndexCheckResult from_file;
    std::atomic<bool> stop{false};
    files.stop = &stop;
    std::thread reader;
    if (planned && !files.tables.empty()) {
      try {
        reader = std::thread([&] { from_file = pagefile::CheckIndexesAgainstTables(files); });
      } catch (const std::system_error&) {
        from_file = pagefile::CheckIndexesAgainstTables(files);
      }
    }
    struct Join {
      std::thread& reader;
      std::atomic<bool>& stop;
      ~Join() {
        stop = true;
        if (reader.joinable()) reader.join();
      }
    } join{reader, stop};

    in.progress = [&](uint32_t done) { tell.Tell(done); };
    tell.Phase(0);
    if (std::string problem = pagefile::CheckPageAccounting(in); !problem.empty())
      return {false, problem};

    sqlite3_progress_handler(db, 20000, &Progress::Handler, &tell);
    struct Unhook {
      sqlite3* db;
      ~Unhook() {
        sqlite3_progress_handler(db, 0, nullptr, nullptr);
        sqlite3_create_function_v2(db, "tidewell_tuple_sum", -1, SQLITE_UTF8, nullptr, nullptr,
                                   nullptr, nullptr, nullptr);
      }
    } unhook{db};
    if (!planned) {
      tell.Phase(pages);
      HealthVerdict verdict = RunCheck(db, "PRAGMA integrity_check(1)");
      tell.Phase(2 * uint64_t{pages});
      tell.Tell(pages);
      return verdict;
    }
    tell.Phase(pages);
    if (HealthVerdict quick = RunCheck(db, "PRAGMA quick_check(1)"); !quick.healthy) return quick;
    tell.Phase(2 * uint64_t{pages});
    sqlite3_create_function_v2(db, "tidewell_tuple_sum", -1, SQLITE_UTF8, nullptr, nullptr,
                               &TupleSumStep, &TupleSumFinal, nullptr);
    HealthVerdict verdict = CompareIndexes(db, plans, false);
    if (reader.joinable()) reader.join();
    // A table with rows older than one of its columns is compared by SQLite after all.
    if (verdict.healthy && from_file.verdict == pagefile::IndexCheckResult::kUndecided)
      verdict = CompareIndexes(db, plans, true);
    else if (verdict.healthy && from_file.verdict == pagefile::IndexCheckResult::kMismatch)
      verdict = {false, from_file.problem};
    tell.Tell(pages);
    return verdict;
  } catch (const StepFailed& f) {
    if ((f.rc & 0xff) == SQLITE_CORRUPT || (f.rc & 0xff) == SQLITE_NOTADB)
      return {false, sqlite3_errmsg(db)};
  } catch (const EngineException&) {
  }
  // Whatever else stopped this check (a statement it could not prepare, a failed read) is
  // left to SQLite's own check, which raises the error if it meets it too.
  return IntegrityCheckVerdict(db);
}

}  // namespace tidewell::engine
