#include "engine/pagefile/salvage.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "engine/file_system.h"
#include "engine/pagefile/committed.h"
#include "engine/pagefile/format.h"
#include "engine/pagefile/recover.h"
#include "engine/pagefile/schema.h"
#include "engine/sqlite_support.h"

namespace tidewell::engine {

namespace {

using pagefile::CatalogEntry;
using pagefile::QuoteName;
using pagefile::RecoveredTable;
using pagefile::RowSink;
using pagefile::Value;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool StartsWithWords(const std::string& sql, const char* a, const char* b) {
  std::string u;
  for (char c : sql) {
    if (std::isspace(static_cast<unsigned char>(c))) {
      if (!u.empty() && u.back() != ' ') u += ' ';
    } else {
      u += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (u.size() > 40) break;
  }
  return u.rfind(std::string(a) + " " + b, 0) == 0;
}

// Writes the recovered rows into a new SQLite database.
class SqliteSink final : public RowSink {
 public:
  SqliteSink(std::string path, const pagefile::PageFile& file) : path_(std::move(path)), f_(file) {}
  ~SqliteSink() override { Close(); }
  SqliteSink(const SqliteSink&) = delete;
  SqliteSink& operator=(const SqliteSink&) = delete;

  void Close() {
    for (Statements* cache : {&stmts_, &same_stmts_}) {
      for (auto& [k, st] : *cache) sqlite3_finalize(st);
      cache->clear();
    }
    for (auto& [k, st] : lost_stmts_) sqlite3_finalize(st);
    lost_stmts_.clear();
    for (auto& [k, probe] : probes_) sqlite3_finalize(probe.st);
    probes_.clear();
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
  }

  void Begin(const std::vector<CatalogEntry>& catalog, std::vector<RecoveredTable>* tables,
             uint32_t encoding) override {
    text_enc_ = encoding == 2 ? SQLITE_UTF16LE : encoding == 3 ? SQLITE_UTF16BE : SQLITE_UTF8;
    // Created 0600 before SQLite opens it, never with the umask's wider default: the
    // repair gives it the original's owner and mode before it takes the original's name.
    if (CreatePrivate(path_) ||
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK) {
      Fail("cannot create");
    }
    Exec("PRAGMA page_size=" + std::to_string(f_.page_size()));
    // Bytes kept free at the end of each page belong to whatever reads the file (a checksum
    // or cipher layer). Set before anything else touches the new file, or they stay 0.
    if (int reserved = f_.page_size() - f_.usable(); reserved > 0)
      sqlite3_file_control(db_, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserved);
    if (text_enc_ == SQLITE_UTF16LE) Exec("PRAGMA encoding='UTF-16le'");
    if (text_enc_ == SQLITE_UTF16BE) Exec("PRAGMA encoding='UTF-16be'");
    // The file is new and is synced once complete; a crash before that leaves only a
    // temporary file behind, so no journal is needed while it is filled, not even for the
    // header fields below.
    Exec("PRAGMA journal_mode=OFF");
    Exec("PRAGMA synchronous=OFF");
    const auto& h = f_.header();
    if (h.magic_ok) {
      if (h.largest_root != 0)
        Exec(h.incremental_vacuum ? "PRAGMA auto_vacuum=2" : "PRAGMA auto_vacuum=1");
      Exec("PRAGMA user_version=" + std::to_string(static_cast<int32_t>(h.user_version)));
      Exec("PRAGMA application_id=" + std::to_string(static_cast<int32_t>(h.application_id)));
    }
    // Rows go in under their unique indexes, one lookup each in a tree of every key so far;
    // 16 MB of cache keeps those lookups off the file for most of a crawl's indexes.
    Exec("PRAGMA cache_size=-16384");
    Exec("BEGIN");
    tables_ = tables;
    for (const CatalogEntry& e : catalog) taken_names_.push_back(Lower(e.name));
    // Virtual tables first: their modules make tables of their own (an FTS index's, an
    // R*Tree's nodes), whose catalog entries follow. Those tables' rows are the virtual
    // table's content and go in as they were, over what the module put there to begin with.
    module_made_.assign(tables->size(), false);
    for (bool virtual_pass : {true, false}) {
      for (size_t i = 0; i < tables->size(); ++i) {
        RecoveredTable& t = (*tables)[i];
        std::string lname = Lower(t.entry.name);
        if (lname.rfind("sqlite_", 0) == 0) continue;  // made by SQLite itself
        if (StartsWithWords(t.entry.sql, "CREATE", "VIRTUAL") != virtual_pass) continue;
        t.writable = !t.entry.sql.empty() && TryExec(t.entry.sql);
        if (!t.writable && !virtual_pass && MadeByAModule(t.entry.name, catalog)) {
          t.writable = module_made_[i] = true;
        }
      }
    }
    for (const CatalogEntry& e : catalog) {
      if (e.type != "index" || e.sql.empty()) continue;
      // Unique indexes go in before the rows so duplicates are caught row by row; the
      // others are built once at the end, which is faster.
      if (StartsWithWords(e.sql, "CREATE", "UNIQUE")) {
        TryExec(e.sql);
      } else {
        deferred_.push_back(e.sql);
      }
    }
    for (const CatalogEntry& e : catalog) {
      if ((e.type == "view" || e.type == "trigger") && !e.sql.empty()) deferred_.push_back(e.sql);
    }
    for (RecoveredTable& t : *tables) {
      std::string lname = Lower(t.entry.name);
      if (lname.rfind("sqlite_", 0) == 0) {
        // Rows of SQLite's own tables are taken and dropped quietly, except the AUTOINCREMENT
        // counters: they are merged, so that no key handed out before is handed out again.
        if (lname == "sqlite_sequence" && TableExists("sqlite_sequence"))
          sequence_ = static_cast<int64_t>(ignored_.size());
        ignored_.push_back(true);
        t.writable = true;
      } else {
        ignored_.push_back(false);
        if (t.writable) t.writable = CheckColumns(t);
      }
      columns_.push_back(ColumnNames(t));
    }
  }

  Outcome TableRow(size_t table, int64_t rowid, const std::vector<Value>& values) override {
    if (static_cast<int64_t>(table) == sequence_) MergeSequence(values);
    if (ignored_[table]) return Outcome::kIgnored;
    sqlite3_stmt* st = StatementFor(stmts_, table, values.size(), false);
    if (!st) return Outcome::kRejected;
    BindRow(st, table, rowid, values);
    int rc = sqlite3_step(st);
    int ext = sqlite3_extended_errcode(db_);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc == SQLITE_DONE) return Outcome::kWritten;
    if (rc == SQLITE_CONSTRAINT) {
      if (ext == SQLITE_CONSTRAINT_PRIMARYKEY || ext == SQLITE_CONSTRAINT_ROWID)
        return SameRowThere(table, rowid, values) ? Outcome::kDuplicate : Outcome::kConflict;
      if (ext == SQLITE_CONSTRAINT_UNIQUE) return Outcome::kConflict;
      return Outcome::kRejected;  // NOT NULL or CHECK: the row cannot be the original
    }
    if (rc == SQLITE_MISMATCH || rc == SQLITE_TOOBIG) return Outcome::kRejected;
    Fail("cannot write to");
  }

  // An index entry holds its terms' values, then the table's key (a WITHOUT ROWID table's
  // key columns it does not hold already, or the rowid). The terms that are expressions
  // are worked out again by SQLite from the columns the entry gives; where one needs a
  // column it does not give, nothing is refuted.
  bool MayBeEntryOf(const pagefile::CatalogEntry& index, const RecoveredTable& table,
                    const std::vector<Value>& record) override {
    auto [it, made] = probes_.try_emplace(index.name);
    Probe& probe = it->second;
    if (made) probe = MakeProbe(index, table);
    if (!probe.st || record.size() != probe.width) return true;
    // The terms come from the damaged file's catalog: their work is bounded, and whatever
    // fails to work out refutes nothing.
    const int length = sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, 1 << 20);
    int budget = 1000;  // a thousand calls of the handler below, every 1,000 steps
    sqlite3_progress_handler(
        db_, 1000, [](void* left) { return --*static_cast<int*>(left) < 0 ? 1 : 0; }, &budget);
    int rc = SQLITE_OK;
    for (size_t k = 0; k < record.size() && rc == SQLITE_OK; ++k)
      rc = Bind(probe.st, static_cast<int>(k + 1), record[k]);
    if (rc == SQLITE_OK) rc = sqlite3_step(probe.st);
    const bool may = rc != SQLITE_ROW || sqlite3_column_int(probe.st, 0) != 0;
    sqlite3_reset(probe.st);
    sqlite3_clear_bindings(probe.st);
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    sqlite3_limit(db_, SQLITE_LIMIT_LENGTH, length);
    return may;
  }

  void LostRow(uint32_t pgno, int64_t rowid, const std::vector<Value>& values) override {
    EnsureLostTable(values.size());
    sqlite3_stmt*& st = lost_stmts_[values.size()];
    if (!st) {
      std::string sql =
          "INSERT INTO " + QuoteName(lost_name_) + "(SourcePage,SourceRowid,FieldCount";
      for (size_t c = 1; c <= values.size(); ++c) sql += ",Field" + std::to_string(c);
      sql += ") VALUES(?,?,?";
      for (size_t c = 0; c < values.size(); ++c) sql += ",?";
      sql += ")";
      if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
        Fail("cannot write to");
    }
    sqlite3_bind_int64(st, 1, pgno);
    sqlite3_bind_int64(st, 2, rowid);
    sqlite3_bind_int64(st, 3, static_cast<int64_t>(values.size()));
    for (size_t c = 0; c < values.size(); ++c) Bind(st, static_cast<int>(c) + 4, values[c]);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    if (rc != SQLITE_DONE) Fail("cannot write to");
  }

  void End() override {
    if (!db_) return;
    // The indexes left to the end are sorted whole; on a large table more cores help. Each
    // sorting thread buffers as much as the page cache holds, so the cache the row inserts
    // needed is given back first: the sort then spills to its temporary file sooner, and
    // the memory stays what it was before the build.
    Exec("PRAGMA cache_size=-4096");
    sqlite::SortOnAllCores(db_);
    for (const std::string& sql : deferred_) TryExec(sql);
    Exec("COMMIT");
    Close();
    // Synced before the caller gives it the database's name.
    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) {
      if (fd >= 0) ::close(fd);
      Fail("cannot sync");
    }
    ::close(fd);
  }

 private:
  void MergeSequence(const std::vector<Value>& values) {
    if (values.size() != 2 || values[0].kind != Value::kText || values[1].kind != Value::kInt)
      return;
    for (const char* sql : {"UPDATE sqlite_sequence SET seq = max(seq, ?2) WHERE name = ?1",
                            "INSERT INTO sqlite_sequence(name, seq) SELECT ?1, ?2 WHERE NOT EXISTS "
                            "(SELECT 1 FROM sqlite_sequence WHERE name = ?1)"}) {
      sqlite3_stmt* st = nullptr;
      if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) == SQLITE_OK) {
        Bind(st, 1, values[0]);
        Bind(st, 2, values[1]);
        sqlite3_step(st);
      }
      sqlite3_finalize(st);
    }
  }

  [[noreturn]] void Fail(const std::string& what) {
    std::string detail = db_ ? sqlite3_errmsg(db_) : "";
    throw EngineException(kErrDiskIo, "Salvage " + what + " '" + path_ + "'" +
                                          (detail.empty() ? "" : ": " + detail) + ".");
  }

  void Exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
      Fail("cannot write to");
  }
  bool TryExec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }

  // Whether the table is there already, made by the module of a virtual table of the
  // catalog whose name it extends ("words" makes "words_data").
  bool MadeByAModule(const std::string& name, const std::vector<CatalogEntry>& catalog) {
    if (!TableExists(name)) return false;
    return std::any_of(catalog.begin(), catalog.end(), [&](const CatalogEntry& e) {
      return e.type == "table" && StartsWithWords(e.sql, "CREATE", "VIRTUAL") &&
             Lower(name).rfind(Lower(e.name) + "_", 0) == 0;
    });
  }

  bool TableExists(const std::string& name) {
    sqlite3_stmt* st = nullptr;
    bool found = false;
    if (sqlite3_prepare_v2(db_, "SELECT 1 FROM sqlite_schema WHERE type='table' AND name=?1", -1,
                           &st, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      found = sqlite3_step(st) == SQLITE_ROW;
    }
    sqlite3_finalize(st);
    return found;
  }

  // The table as SQLite built it must agree with what the decoder read from the same
  // statement; when it does not, rows could land in the wrong columns. Virtual generated
  // columns are in no record; stored ones are, in their declared place.
  bool CheckColumns(const RecoveredTable& t) {
    sqlite3_stmt* st = nullptr;
    std::string sql = "PRAGMA table_xinfo(" + QuoteName(t.entry.name) + ")";
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return false;
    size_t count = 0;
    bool ok = true;
    while (sqlite3_step(st) == SQLITE_ROW) {
      const int hidden = sqlite3_column_int(st, 6);  // 2 virtual, 3 stored generated
      if (hidden == 2) continue;
      auto* name = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      if (count >= t.shape.columns.size() || !name ||
          Lower(name) != Lower(t.shape.columns[count].name) ||
          (hidden == 3) != t.shape.columns[count].generated || (hidden != 0 && hidden != 3)) {
        ok = false;
      }
      ++count;
    }
    sqlite3_finalize(st);
    return ok && count == t.shape.columns.size();
  }

  std::vector<std::string> ColumnNames(const RecoveredTable& t) {
    std::vector<std::string> names;
    for (const auto& c : t.shape.columns) names.push_back(c.name);
    std::string alias;
    if (t.shape.rowid_column < 0 && !t.shape.without_rowid) {
      for (const char* candidate : {"rowid", "_rowid_", "oid"}) {
        bool used = std::any_of(names.begin(), names.end(),
                                [&](const std::string& n) { return Lower(n) == candidate; });
        if (!used) {
          alias = candidate;
          break;
        }
      }
    }
    rowid_alias_.push_back(alias);
    return names;
  }

  // The columns a row of n values is written to, in the order BindRow binds them.
  std::vector<std::string> ColumnsFor(size_t table, size_t n) const {
    const RecoveredTable& t = (*tables_)[table];
    const auto& names = columns_[table];
    std::vector<std::string> out;
    if (n > names.size()) return out;
    int ipk = t.shape.rowid_column;
    if (ipk < 0 && !rowid_alias_[table].empty()) out.push_back(rowid_alias_[table]);
    if (ipk >= 0 && static_cast<size_t>(ipk) >= n) out.push_back(names[static_cast<size_t>(ipk)]);
    for (size_t c = 0; c < n; ++c)
      if (!t.shape.columns[c].generated) out.push_back(names[c]);
    return out;
  }

  void BindRow(sqlite3_stmt* st, size_t table, int64_t rowid, const std::vector<Value>& values) {
    const RecoveredTable& t = (*tables_)[table];
    const size_t n = values.size();
    const int ipk = t.shape.rowid_column;
    int idx = 1;
    if (ipk < 0 || static_cast<size_t>(ipk) >= n) {
      if (ipk >= 0 || !rowid_alias_[table].empty()) sqlite3_bind_int64(st, idx++, rowid);
    }
    for (size_t c = 0; c < n; ++c) {
      if (t.shape.columns[c].generated) continue;  // SQLite computes it again
      if (static_cast<int>(c) == ipk) {
        sqlite3_bind_int64(st, idx++, rowid);
      } else {
        Bind(st, idx++, values[c]);
      }
    }
  }

  // The insert of a row of n values, or (`same`) the query whether that very row is there.
  using Statements = std::map<std::pair<size_t, size_t>, sqlite3_stmt*>;
  sqlite3_stmt* StatementFor(Statements& cache, size_t table, size_t n, bool same) {
    auto key = std::make_pair(table, n);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    const std::vector<std::string> cols = ColumnsFor(table, n);
    std::string sql;
    for (const std::string& c : cols) {
      if (same) {
        sql += (sql.empty() ? "" : " AND ") + QuoteName(c) + " IS ? COLLATE BINARY";
      } else {
        sql += (sql.empty() ? "" : ",") + QuoteName(c);
      }
    }
    const std::string table_name = QuoteName((*tables_)[table].entry.name);
    if (same) {
      sql = "SELECT 1 FROM " + table_name + " WHERE " + sql;
    } else {
      std::string params;
      for (size_t k = 0; k < cols.size(); ++k) params += k ? ",?" : "?";
      sql = std::string(module_made_[table] ? "INSERT OR REPLACE INTO " : "INSERT INTO ") +
            table_name + "(" + sql + ") VALUES(" + params + ")";
    }
    sqlite3_stmt* st = nullptr;
    if (cols.empty() || sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(st);
      st = nullptr;
    }
    cache[key] = st;
    return st;
  }

  struct Probe {
    sqlite3_stmt* st = nullptr;
    size_t width = 0;
  };

  Probe MakeProbe(const pagefile::CatalogEntry& index, const RecoveredTable& table) {
    Probe probe;
    const std::vector<pagefile::IndexTerm> terms = pagefile::IndexTerms(index.sql);
    std::vector<std::pair<std::string, size_t>> given;  // column, position in the entry
    std::string test;
    for (size_t k = 0; k < terms.size(); ++k) {
      const std::string param = "?" + std::to_string(k + 1);
      // An index term holds no query; a catalog text that does is no index's.
      if (Lower(terms[k].text).find("select") != std::string::npos) return probe;
      if (!terms[k].plain.empty()) {
        given.emplace_back(terms[k].plain, k);
      } else {
        test += (test.empty() ? "" : " AND ") + ("(" + terms[k].text + ") IS " + param);
      }
    }
    size_t width = terms.size();
    const pagefile::TableShape& shape = table.shape;
    if (shape.without_rowid) {
      for (size_t k = 0; k < shape.key_columns; ++k) {
        const std::string& key = shape.columns[static_cast<size_t>(shape.record_order[k])].name;
        if (std::none_of(given.begin(), given.end(),
                         [&](const auto& g) { return Lower(g.first) == Lower(key); }))
          given.emplace_back(key, width++);
      }
    } else {
      ++width;  // the rowid
    }
    if (terms.empty() || test.empty()) return probe;  // no expression: nothing to work out
    // A REAL column's whole numbers are stored as integers and read back as reals; the
    // index's expressions saw them as reals.
    auto is_real = [&](const std::string& name) {
      return std::any_of(shape.columns.begin(), shape.columns.end(), [&](const auto& c) {
        return Lower(c.name) == Lower(name) && c.affinity == pagefile::Affinity::kReal;
      });
    };
    std::string columns;
    for (const auto& [name, at] : given) {
      const std::string p = "?" + std::to_string(at + 1);
      const std::string value = is_real(name) ? "CASE typeof(" + p + ") WHEN 'integer' THEN CAST(" +
                                                    p + " AS REAL) ELSE " + p + " END"
                                              : p;
      columns += (columns.empty() ? "" : ", ") + value + " AS " + QuoteName(name);
    }
    const std::string sql =
        "SELECT " + test + (columns.empty() ? "" : " FROM (SELECT " + columns + ")");
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &probe.st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(probe.st);
      probe.st = nullptr;
    }
    probe.width = width;
    return probe;
  }

  // Whether the table already holds this row with every value the same: a second copy of
  // it, left on a page of an older version, adds nothing.
  bool SameRowThere(size_t table, int64_t rowid, const std::vector<Value>& values) {
    sqlite3_stmt* st = StatementFor(same_stmts_, table, values.size(), true);
    if (!st) return false;
    BindRow(st, table, rowid, values);
    const bool same = sqlite3_step(st) == SQLITE_ROW;
    sqlite3_reset(st);
    sqlite3_clear_bindings(st);
    return same;
  }

  int Bind(sqlite3_stmt* st, int idx, const Value& v) {
    switch (v.kind) {
      case Value::kNull:
        return sqlite3_bind_null(st, idx);
      case Value::kInt:
        return sqlite3_bind_int64(st, idx, v.i);
      case Value::kReal:
        return sqlite3_bind_double(st, idx, v.r);
      case Value::kText:
        return sqlite3_bind_text64(st, idx, reinterpret_cast<const char*>(v.bytes.data()),
                                   v.bytes.size(), SQLITE_STATIC,
                                   static_cast<unsigned char>(text_enc_));
      case Value::kBlob:
        return sqlite3_bind_blob64(st, idx, v.bytes.data(), v.bytes.size(), SQLITE_STATIC);
    }
    return SQLITE_MISUSE;
  }

  void EnsureLostTable(size_t fields) {
    if (lost_name_.empty()) {
      lost_name_ = kLostAndFoundTable;
      for (int n = 1; std::find(taken_names_.begin(), taken_names_.end(), Lower(lost_name_)) !=
                      taken_names_.end();
           ++n) {
        lost_name_ = std::string(kLostAndFoundTable) + std::to_string(n);
      }
      Exec("CREATE TABLE " + QuoteName(lost_name_) +
           "(SourcePage INTEGER, SourceRowid INTEGER, FieldCount INTEGER)");
    }
    while (lost_fields_ < fields) {
      ++lost_fields_;
      Exec("ALTER TABLE " + QuoteName(lost_name_) + " ADD COLUMN Field" +
           std::to_string(lost_fields_));
    }
  }

  std::string path_;
  const pagefile::PageFile& f_;
  int text_enc_ = SQLITE_UTF8;
  sqlite3* db_ = nullptr;
  std::vector<RecoveredTable>* tables_ = nullptr;
  std::vector<std::vector<std::string>> columns_;
  std::vector<std::string> rowid_alias_;
  std::vector<bool> ignored_;
  std::vector<bool> module_made_;  // tables a virtual table's module made (MadeByAModule)
  int64_t sequence_ = -1;          // the table number of sqlite_sequence, when it was made
  std::vector<std::string> taken_names_;
  std::vector<std::string> deferred_;
  Statements stmts_, same_stmts_;
  std::string lost_name_;
  size_t lost_fields_ = 0;
  std::map<size_t, sqlite3_stmt*> lost_stmts_;
  std::map<std::string, Probe> probes_;  // by index name
};

void RemoveFileAndJournal(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
  std::filesystem::remove(path + "-journal", ec);
}

}  // namespace

SalvageReport PageLevelSalvage(const std::string& source, const std::string& destination,
                               const ProgressFn& progress) {
  std::error_code ec;
  if (std::filesystem::exists(destination, ec)) {
    Raise(kErrDatabaseExists, "Cannot salvage into '" + destination + "': the file exists.");
  }
  std::unique_ptr<pagefile::ByteSource> src;
  try {
    src = pagefile::OpenCommittedSource(source);
  } catch (const std::runtime_error& e) {
    Raise(std::filesystem::exists(source, ec) ? kErrDiskIo : kErrFileNotFound,
          "Cannot read '" + source + "' to salvage it: " + e.what() + ".");
  }
  return PageLevelSalvage(std::move(src), source, destination, progress);
}

SalvageReport PageLevelSalvage(std::unique_ptr<pagefile::ByteSource> src, const std::string& source,
                               const std::string& destination, const ProgressFn& progress) {
  std::error_code ec;
  if (std::filesystem::exists(destination, ec)) {
    Raise(kErrDatabaseExists, "Cannot salvage into '" + destination + "': the file exists.");
  }
  pagefile::PageFile file(std::move(src));
  if (!file.ok()) {
    Raise(kErrCannotRepair,
          "'" + source + "' cannot be repaired: no part of it reads as a database.");
  }
  SqliteSink sink(destination, file);
  pagefile::RecoverStats stats;
  try {
    pagefile::PageProgress pages = [&](uint64_t done, uint64_t total) {
      if (progress) progress("Salvaging pages", done, total);
    };
    stats = pagefile::RecoverPages(file, sink, pages);
  } catch (...) {
    sink.Close();
    RemoveFileAndJournal(destination);
    throw;
  }
  if (stats.pages_decoded == 0) {
    RemoveFileAndJournal(destination);
    Raise(kErrCannotRepair,
          "'" + source + "' cannot be repaired: no page of it decodes as a database page.");
  }
  SalvageReport report;
  report.pages_total = stats.pages_total;
  report.pages_decoded = stats.pages_decoded;
  report.rows_recovered = stats.rows_recovered;
  report.rows_dropped = stats.rows_dropped;
  report.duplicate_keys = stats.duplicate_keys;
  report.rows_out_of_place = stats.rows_out_of_place;
  report.rows_lost_found = stats.rows_lost_found;
  return report;
}

}  // namespace tidewell::engine
