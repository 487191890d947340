// Salvage through SQLite itself: the schema is replayed into a new file and every row that
// SQLite can still read is copied. Rows are read in rowid order and a read error does not
// end the table: the reader looks for the next rowid it can reach and goes on from there,
// so one bad page costs the rows on that page, not the rest of the table.
//
// Working above the page level, it cannot tell how many pages decoded and has no rows
// that fit no table: pages_decoded and rows_lost_found stay 0. rows_dropped counts rows
// whose key was reachable but whose contents were not (or that the new file refused);
// the rows of a page that cannot be reached at all are not seen, so not counted.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <vector>

#include "engine/salvage.h"
#include "engine/sqlite_support.h"

namespace tidewell::engine {
namespace {

using sqlite::Exec;
using sqlite::QuoteId;
using sqlite::Statement;

struct SchemaEntry {
  std::string type, name, tbl_name, sql;
};

struct Source {
  sqlite3* db = nullptr;
  ~Source() { sqlite3_close_v2(db); }
};

struct Destination {
  sqlite3* db = nullptr;
  std::string path;
  bool keep = false;
  ~Destination() {
    sqlite3_close_v2(db);
    if (!keep) ::unlink(path.c_str());
  }
};

[[noreturn]] void NothingToSalvage(const std::string& source, const std::string& why) {
  Raise(kErrCannotRepair, "The database '" + source + "' cannot be repaired: " + why + ".");
}

// The smallest rowid >= from that a seek can reach, or nullopt when none is left. A seek
// that fails lands inside a damaged part; larger starting points are tried, doubling the
// distance, and then the first good starting point is narrowed down by bisection.
std::optional<int64_t> NextReadable(sqlite3* db, const std::string& table, int64_t from) {
  Statement seek(db, "SELECT rowid FROM " + QuoteId(table) +
                         " WHERE rowid >= ?1 ORDER BY rowid "
                         "LIMIT 1");
  auto probe = [&](int64_t at, int64_t& found) -> int {
    seek.Reset();
    seek.Bind(1, at);
    int rc = seek.Step();
    if (rc == SQLITE_ROW) found = seek.Int(0);
    return rc;
  };
  int64_t found = 0;
  int rc = probe(from, found);
  if (rc == SQLITE_ROW) return found;
  if (rc == SQLITE_DONE) return std::nullopt;
  int64_t bad = from, step = 1;
  int64_t good = 0;
  for (;;) {
    if (bad > std::numeric_limits<int64_t>::max() - step) return std::nullopt;
    int64_t at = bad + step;
    rc = probe(at, found);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc == SQLITE_ROW) {
      good = at;
      break;
    }
    bad = at;
    if (step < (int64_t{1} << 61)) step *= 2;
  }
  while (good - bad > 1) {
    int64_t mid = bad + (good - bad) / 2;
    int64_t f = 0;
    if (probe(mid, f) == SQLITE_ROW)
      good = mid;
    else
      bad = mid;
  }
  probe(good, found);
  return found;
}

}  // namespace

SalvageReport SalvageDatabase(const std::string& source, const std::string& destination,
                              const ProgressFn& progress) {
  SalvageReport report;
  Source src;
  if (sqlite3_open_v2(source.c_str(), &src.db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
    NothingToSalvage(source, "the file cannot be opened");
  std::vector<SchemaEntry> schema;
  {
    Statement st = Statement::TryPrepare(
        src.db, "SELECT type, name, tbl_name, sql FROM sqlite_schema ORDER BY rowid");
    if (!st.ok()) NothingToSalvage(source, sqlite3_errmsg(src.db));
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW)
      schema.push_back({st.Text(0), st.Text(1), st.Text(2), st.Text(3)});
    if (rc != SQLITE_DONE) NothingToSalvage(source, sqlite3_errmsg(src.db));
  }
  int64_t page_size = 4096, user_version = 0, application_id = 0;
  {
    Statement st = Statement::TryPrepare(
        src.db,
        "SELECT (SELECT page_size FROM pragma_page_size), (SELECT page_count FROM "
        "pragma_page_count), (SELECT user_version FROM pragma_user_version), "
        "(SELECT application_id FROM pragma_application_id)");
    if (st.ok() && st.Step() == SQLITE_ROW) {
      page_size = st.Int(0);
      report.pages_total = static_cast<uint64_t>(st.Int(1));
      user_version = st.Int(2);
      application_id = st.Int(3);
    }
  }

  int fd = ::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    int err = errno;
    Raise(err == EEXIST ? kErrDatabaseExists : kErrNoPermission,
          "Cannot create '" + destination + "': " + std::strerror(err) + ".");
  }
  ::close(fd);
  Destination dst{nullptr, destination};
  auto check = [&](int rc, const std::string& what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) sqlite::RaiseResult(dst.db, rc, what);
  };
  check(sqlite3_open_v2(destination.c_str(), &dst.db, SQLITE_OPEN_READWRITE, nullptr),
        "Cannot open '" + destination + "'");
  // The new file is synced by the caller once complete; until then nothing needs a journal.
  check(Exec(dst.db, "PRAGMA page_size = " + std::to_string(page_size) +
                         "; PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;"
                         " PRAGMA user_version = " +
                         std::to_string(user_version) +
                         "; PRAGMA application_id = " + std::to_string(application_id) + ";"),
        "Cannot prepare '" + destination + "'");
  check(Exec(dst.db, "BEGIN"), "Cannot write '" + destination + "'");

  auto is_internal = [](const SchemaEntry& e) { return e.name.rfind("sqlite_", 0) == 0; };
  // Tables first, then indexes (so that unique keys drop duplicates as rows come in), then
  // the rows, then views and triggers (which must not fire during the copy).
  std::vector<std::string> tables;
  for (const SchemaEntry& e : schema)
    if (e.type == "table" && !is_internal(e) && !e.sql.empty() && Exec(dst.db, e.sql) == SQLITE_OK)
      tables.push_back(e.name);
  for (const SchemaEntry& e : schema)
    if (e.type == "index" && !e.sql.empty()) Exec(dst.db, e.sql);

  auto last_report = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  for (size_t t = 0; t < tables.size(); ++t) {
    const std::string& table = tables[t];
    if (progress &&
        std::chrono::steady_clock::now() - last_report >= std::chrono::milliseconds(250)) {
      last_report = std::chrono::steady_clock::now();
      progress("Salvaging", t, tables.size());
    }
    // Columns, and whether the rowid is one of them.
    std::vector<std::string> columns;
    bool rowid_alias = false, without_rowid = false;
    {
      Statement st(dst.db, "SELECT name, type, pk FROM pragma_table_info(?1) ORDER BY cid");
      st.Bind(1, table);
      int pk = 0;
      std::string pk_type;
      while (st.Step() == SQLITE_ROW) {
        columns.push_back(st.Text(0));
        if (st.Int(2) > 0) {
          ++pk;
          pk_type = sqlite::Upper(st.Text(1));
        }
      }
      Statement wr(dst.db, "SELECT 1 FROM pragma_index_list(?1) WHERE origin = 'pk'");
      wr.Bind(1, table);
      without_rowid = wr.Step() == SQLITE_ROW;
      rowid_alias = !without_rowid && pk == 1 && pk_type == "INTEGER";
    }
    if (columns.empty()) continue;
    std::string names, marks;
    for (size_t i = 0; i < columns.size(); ++i) {
      names += (i ? ", " : "") + QuoteId(columns[i]);
      marks += (i ? ", ?" : "?") + std::to_string(i + 2);
    }
    bool with_rowid = !without_rowid && !rowid_alias;
    Statement insert(dst.db, "INSERT OR IGNORE INTO " + QuoteId(table) + " (" +
                                 (with_rowid ? "rowid, " : "") + names + ") VALUES (" +
                                 (with_rowid ? "?1, " : "") + marks + ")");
    auto copy_row = [&](sqlite3_stmt* row, int first_column) {
      if (with_rowid) sqlite3_bind_value(insert.get(), 1, sqlite3_column_value(row, 0));
      for (size_t i = 0; i < columns.size(); ++i)
        sqlite3_bind_value(insert.get(), static_cast<int>(i) + 2,
                           sqlite3_column_value(row, first_column + static_cast<int>(i)));
      int rc = insert.Step();
      insert.Reset();
      if (rc != SQLITE_DONE) {
        ++report.rows_dropped;
      } else if (sqlite3_changes(dst.db) == 0) {
        ++report.duplicate_keys;
      } else {
        ++report.rows_recovered;
      }
    };

    if (without_rowid) {
      Statement rows =
          Statement::TryPrepare(src.db, "SELECT 0, " + names + " FROM " + QuoteId(table));
      if (!rows.ok()) continue;
      while (rows.Step() == SQLITE_ROW) copy_row(rows.get(), 1);
      continue;
    }
    Statement rows =
        Statement::TryPrepare(src.db, "SELECT rowid, " + names + " FROM " + QuoteId(table) +
                                          " WHERE rowid >= ?1 ORDER BY rowid");
    if (!rows.ok()) continue;
    Statement rowids =
        Statement::TryPrepare(src.db, "SELECT rowid FROM " + QuoteId(table) +
                                          " WHERE rowid >= ?1 ORDER BY rowid LIMIT 1");
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    int64_t from = std::numeric_limits<int64_t>::min();
    for (;;) {
      rows.Reset();
      rows.Bind(1, from);
      int rc;
      std::optional<int64_t> last;
      while ((rc = rows.Step()) == SQLITE_ROW) {
        last = rows.Int(0);
        copy_row(rows.get(), 1);
      }
      if (rc == SQLITE_DONE) break;
      if (last && *last == kMax) break;
      // The read stopped before the first rowid >= p. If a seek still reaches that row, only
      // its contents are unreadable: it is dropped. Otherwise a page is, and the reader
      // skips to the next rowid it can reach.
      int64_t p = last ? *last + 1 : from;
      if (!rowids.ok()) break;
      rowids.Reset();
      rowids.Bind(1, p);
      int seek = rowids.Step();
      if (seek == SQLITE_DONE) break;
      if (seek == SQLITE_ROW) {
        int64_t bad_row = rowids.Int(0);
        ++report.rows_dropped;
        if (bad_row == kMax) break;
        from = bad_row + 1;
        continue;
      }
      auto next = NextReadable(src.db, table, p);
      if (!next) break;
      from = *next;
    }
  }
  for (const SchemaEntry& e : schema)
    if ((e.type == "view" || e.type == "trigger") && !e.sql.empty()) Exec(dst.db, e.sql);
  // AUTOINCREMENT counters, so that new rows do not reuse numbers.
  {
    Statement seq = Statement::TryPrepare(src.db, "SELECT name, seq FROM sqlite_sequence");
    if (seq.ok()) {
      Statement put =
          Statement::TryPrepare(dst.db, "INSERT INTO sqlite_sequence (name, seq) VALUES (?1, ?2)");
      if (put.ok()) {
        Exec(dst.db, "DELETE FROM sqlite_sequence");
        while (seq.Step() == SQLITE_ROW) {
          put.Reset();
          put.Bind(1, seq.Text(0)).Bind(2, seq.Int(1));
          put.Step();
        }
      }
    }
  }
  check(Exec(dst.db, "COMMIT"), "Cannot write '" + destination + "'");
  if (progress) progress("Salvaging", tables.size(), tables.size());
  sqlite3_close_v2(dst.db);
  dst.db = nullptr;
  dst.keep = true;
  return report;
}

}  // namespace tidewell::engine
