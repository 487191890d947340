#include "engine/pagefile/salvage.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>

#include "engine/file_system.h"
#include "engine/gathered_writes.h"
#include "engine/pagefile/committed.h"
#include "engine/pagefile/format.h"
#include "engine/pagefile/recover.h"
#include "engine/pagefile/row_stream.h"
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
  SqliteSink(std::string path, const pagefile::PageFile& file, const ProgressFn& progress)
      : path_(std::move(path)), f_(file), progress_(progress) {}
  ~SqliteSink() override { Close(); }
  SqliteSink(const SqliteSink&) = delete;
  SqliteSink& operator=(const SqliteSink&) = delete;

  void Close() {
    stream_.reset();
    writeback_.reset();
    for (Statements* cache : {&stmts_, &same_stmts_, &group_stmts_}) {
      for (auto& [k, st] : *cache) sqlite3_finalize(st);
      cache->clear();
    }
    for (auto& [k, st] : lost_stmts_) sqlite3_finalize(st);
    lost_stmts_.clear();
    for (auto& [k, probe] : probes_) sqlite3_finalize(probe.st);
    probes_.clear();
    sqlite3_finalize(leaf_st_);
    leaf_st_ = nullptr;
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
  }

  void Begin(const std::vector<CatalogEntry>& catalog, std::vector<RecoveredTable>* tables,
             uint32_t encoding) override {
    text_enc_ = encoding == 2 ? SQLITE_UTF16LE : encoding == 3 ? SQLITE_UTF16BE : SQLITE_UTF8;
    // Created 0600 before SQLite opens it, never with the umask's wider default: the
    // repair gives it the original's owner and mode before it takes the original's name.
    // One thread at a time uses the connection (the salvage's, or the one writing the rows
    // it streams while the salvage waits or does no SQLite work), so it goes without
    // SQLite's lock around every call (a row costs several).
    if (CreatePrivate(path_) ||
        sqlite3_open_v2(path_.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        sqlite::GatheringVfs()) != SQLITE_OK) {
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
    // temporary file behind, so no journal on disk is needed while it is filled. One in
    // memory undoes a statement that fails, such as a unique index refused for a repeated
    // key; it holds only pages the file had when the transaction began, the few of an empty
    // file, and pages a failing statement takes from the freelist.
    Exec("PRAGMA journal_mode=MEMORY");
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
    // The disk starts on the new file while it is filled: the sync at the end then waits
    // for the last pages only, and no hint holds up the salvage.
    writeback_.emplace(path_);
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
    waiting_.resize(tables->size());
    for (const CatalogEntry& e : catalog) {
      if (e.type != "index" || e.sql.empty()) continue;
      // The indexes are built once the rows are in, which is faster than keeping each up
      // to date row by row. A unique index waits only where the rows come in an order that
      // tells which of two rows with the same key came first (see Settle); elsewhere it goes
      // in before the rows, so that duplicates are caught row by row.
      if (!StartsWithWords(e.sql, "CREATE", "UNIQUE")) {
        deferred_.push_back(e.sql);
        ++deferred_indexes_;
      } else if (const size_t t = TableOf(e.tbl_name); t < tables->size() && MayWait(t, e.sql)) {
        waiting_[t].unique.push_back(e.sql);
      } else {
        TryExec(e.sql);
      }
    }
    for (const CatalogEntry& e : catalog) {
      if ((e.type == "view" || e.type == "trigger") && !e.sql.empty()) deferred_.push_back(e.sql);
    }
    for (size_t t = 0; t < tables->size(); ++t) waiting_[t].stream = Orderly(t);
  }

  Later OutcomesLater() const override { return later_; }

  Outcome TableRow(size_t table, int64_t rowid, uint32_t pgno,
                   const std::vector<Value>& values) override {
    Waiting& w = waiting_[table];
    const bool ordered = w.stream || !w.unique.empty();
    const bool in_order = ordered && (!w.any || rowid > w.last);
    bool new_leaf = false;
    if (in_order) {
      new_leaf = !w.unique.empty() && (!w.any || pgno != w.leaf);
      w.any = true;
      w.last = rowid;
      w.leaf = pgno;
      if (w.stream) {
        Stream().Put(table, rowid, pgno, new_leaf, values);
        return Outcome::kWritten;  // or told in OutcomesLater
      }
    }
    Drain();                                  // the connection is this thread's from here
    if (ordered && !in_order) Settle(table);  // from here on the table's rows go in row by row
    if (new_leaf) NoteLeaf(table, rowid, pgno);
    if (static_cast<int64_t>(table) == sequence_) MergeSequence(values);
    if (ignored_[table]) return Outcome::kIgnored;
    return Insert(table, rowid, values);
  }

  Outcome Insert(size_t table, int64_t rowid, std::span<const Value> values) {
    sqlite3_stmt* st = StatementFor(stmts_, table, values.size(), false);
    if (!st) return Outcome::kRejected;
    BindRow(st, table, rowid, values);
    int rc = sqlite3_step(st);
    int ext = sqlite3_extended_errcode(db_);
    sqlite3_reset(st);  // every parameter is bound again for the next row
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
    Drain();
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
    Drain();
    WriteLost(pgno, rowid, values);
  }

  void WriteLost(uint32_t pgno, int64_t rowid, std::span<const Value> values) {
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
    Drain();
    stream_.reset();
    // The indexes left to the end are sorted whole; on a large table more cores help. Each
    // sorting thread buffers as much as the page cache holds, so the cache the row inserts
    // needed is given back first: the sort then spills to its temporary file sooner, and
    // the memory stays what it was before the build. Runs of 2 MB sorted in the processor's
    // caches and merged were no slower than runs of 4 MB on a million URLs, and held 6 MB less.
    // Runs of 1 MB were faster still, but the merge keeps a reader for every run, and at
    // 11.6 GB the repair then held 14 MB more than at 1.1 GB, against 8 MB with 2 MB runs.
    Exec(kSortCache);
    sqlite::SortOnAllCores(db_);
    // Building the indexes can take as long as reading the pages did: each one built is told.
    uint64_t indexes = deferred_indexes_, built = 0;
    for (const Waiting& w : waiting_) indexes += w.unique.size();
    auto tell = [&](uint64_t more) {
      built += more;
      if (progress_ && indexes != 0) progress_("Building indexes", built, indexes);
    };
    tell(0);
    for (size_t t = 0; t < waiting_.size(); ++t) {
      const size_t unique = waiting_[t].unique.size();
      Settle(t, false);
      if (unique != 0) tell(unique);
    }
    sqlite3_finalize(leaf_st_);
    leaf_st_ = nullptr;
    if (!leaves_name_.empty()) Exec("DROP TABLE temp." + QuoteName(leaves_name_));
    leaves_name_.clear();
    for (size_t k = 0; k < deferred_.size(); ++k) {
      TryExec(deferred_[k]);
      if (k < deferred_indexes_) tell(1);  // the indexes come first, the views and triggers after
    }
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
        if (sqlite3_step(st) != SQLITE_DONE) FailIfRolledBack();
      }
      sqlite3_finalize(st);
    }
  }

  // A unique index of a rowid table waits while the table's rows come in rowid order, as
  // the walk of its b-tree gives them: they go into the table with no index to keep up to
  // date, and of the rows with one key the first given is the one with the smallest rowid.
  // The index is built (Settle) when a row breaks that order, such as most rows placed after
  // the walks, or at the end; from then on the table's rows go in row by row. A later row
  // that keeps the order has the largest rowid so far and is the last given alike.
  static constexpr const char* kSortCache = "PRAGMA cache_size=-2048";

  struct Waiting {
    std::vector<std::string> unique;  // CREATE UNIQUE INDEX statements yet to run
    bool stream = false;              // the rows go to the stream (Orderly)
    bool any = false;                 // a row has been given
    int64_t last = 0;                 // the rowid of the last row given
    uint32_t leaf = 0;                // the page it came from
  };

  size_t TableOf(const std::string& name) const {
    for (size_t t = 0; t < tables_->size(); ++t)
      if (Lower((*tables_)[t].entry.name) == Lower(name)) return t;
    return SIZE_MAX;
  }

  // The name the table's rowid goes by here ("" when every name for it is a column's).
  std::string RowidName(size_t t) const {
    const int ipk = (*tables_)[t].shape.rowid_column;
    return ipk >= 0 ? columns_[t][static_cast<size_t>(ipk)] : rowid_alias_[t];
  }

  // Whether the rows of table t can go in as they come while they come in rowid order:
  // then nothing in the table can refuse one but its own values (NOT NULL, CHECK, a type).
  // A rowid table of the file's own with no index yet: none of a UNIQUE or non-integer
  // PRIMARY KEY constraint in its statement, no unique index made before the rows.
  bool Orderly(size_t t) {
    const RecoveredTable& rt = (*tables_)[t];
    if (!rt.writable || ignored_[t] || module_made_[t] || rt.shape.without_rowid ||
        RowidName(t).empty()) {
      return false;
    }
    sqlite3_stmt* st = nullptr;
    bool ok = sqlite3_prepare_v2(db_, "SELECT 1 FROM pragma_index_list(?1)", -1, &st, nullptr) ==
              SQLITE_OK;
    if (ok) {
      sqlite3_bind_text(st, 1, rt.entry.name.c_str(), -1, SQLITE_TRANSIENT);
      ok = sqlite3_step(st) == SQLITE_DONE;  // no index of its own
    }
    sqlite3_finalize(st);
    return ok;
  }

  // Whether unique index `sql` of table t can wait for the table's rows. Not on a WITHOUT
  // ROWID table, whose rows come in key order, nor beside a unique key of the table's own
  // statement (a UNIQUE or non-integer PRIMARY KEY constraint): SQLite checks that one row
  // by row from the start, against rows a waiting index might turn away later, so that the
  // two together could keep other rows than both checked in the order the rows came. A
  // statement that does not compile on the empty table is run as before, and fails.
  bool MayWait(size_t t, const std::string& sql) {
    if (!Orderly(t) || Lower(pagefile::IndexTableName(sql)) != Lower((*tables_)[t].entry.name))
      return false;
    sqlite3_stmt* st = nullptr;
    const bool ok = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && st;
    sqlite3_finalize(st);
    return ok;
  }

  // The rows of an orderly table go to a thread of their own, which writes them while the
  // pages are read. Anything else that uses the connection first waits for it (Drain).
  pagefile::RowStream& Stream() {
    if (!stream_) {
      stream_.emplace(
          [this](std::span<const pagefile::RowStream::Row> rows) { WriteStreamed(rows); });
    }
    return *stream_;
  }
  void Drain() {
    if (stream_) stream_->Drain();
  }
  // On the stream's thread. A row of an orderly table in rowid order can only be refused;
  // the other outcomes are handled as the salvage would have, in case. Rows of one table go
  // in kGroupRows to a statement, which saves most of a statement's own cost and keeps the
  // table's cursor at its end; where a group is refused, its rows go in one by one.
  static constexpr size_t kGroupRows = 32;

  void WriteStreamed(std::span<const pagefile::RowStream::Row> rows) {
    for (const auto& r : rows)
      if (r.new_leaf) NoteLeaf(r.table, r.rowid, r.pgno);
    for (size_t i = 0; i < rows.size();) {
      const size_t table = rows[i].table, n = rows[i].values.size();
      size_t end = i + 1;
      while (end < rows.size() && end - i < kGroupRows && rows[end].table == table &&
             rows[end].values.size() == n) {
        ++end;
      }
      if (end - i == kGroupRows && InsertGroup(rows.subspan(i, kGroupRows))) {
        i = end;
        continue;
      }
      for (; i < end; ++i) WriteOne(rows[i]);
    }
  }

  bool InsertGroup(std::span<const pagefile::RowStream::Row> rows) {
    const size_t table = rows[0].table, n = rows[0].values.size();
    // No statement where it would take more parameters than SQLite allows.
    sqlite3_stmt* st = StatementFor(group_stmts_, table, n, false, kGroupRows);
    if (!st) return false;
    int idx = 1;
    for (const auto& r : rows) idx = BindRow(st, table, r.rowid, r.values, idx);
    const int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) FailIfRolledBack();
    return rc == SQLITE_DONE;  // else nothing of the group is written
  }

  void WriteOne(const pagefile::RowStream::Row& r) {
    switch (Insert(r.table, r.rowid, r.values)) {
      case Outcome::kWritten:
      case Outcome::kIgnored:
        break;
      case Outcome::kRejected:
        ++later_.rejected;
        break;
      case Outcome::kDuplicate:
        ++later_.duplicate;
        break;
      case Outcome::kConflict:
        WriteLost(r.pgno, r.rowid, r.values);
        ++later_.lost;
        break;
    }
  }

  // A name for a temporary table of the sink's own that no table of the file has.
  std::string FreeName(const std::string& base) {
    std::string name = base;
    for (int n = 1;
         std::find(taken_names_.begin(), taken_names_.end(), Lower(name)) != taken_names_.end();
         ++n) {
      name = base + std::to_string(n);
    }
    taken_names_.push_back(Lower(name));
    return name;
  }

  void Prepare(const std::string& sql, sqlite3_stmt** st) {
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, st, nullptr) != SQLITE_OK) {
      sqlite3_finalize(*st);
      *st = nullptr;
      Fail("cannot write to");
    }
  }

  // One row per leaf page of a table whose unique indexes wait: the page and the first
  // rowid given from it, so that a row settled away later goes to lost-and-found with the
  // page it came from. A temporary table on disk, not memory: a file has many leaves.
  void NoteLeaf(size_t t, int64_t first, uint32_t pgno) {
    if (!leaf_st_) {
      leaves_name_ = FreeName("salvage_leaves");
      Exec("CREATE TEMP TABLE " + QuoteName(leaves_name_) +
           "(tbl INTEGER, first INTEGER, page INTEGER, PRIMARY KEY(tbl, first)) WITHOUT ROWID");
      Prepare("INSERT INTO temp." + QuoteName(leaves_name_) + " VALUES(?1, ?2, ?3)", &leaf_st_);
    }
    sqlite3_bind_int64(leaf_st_, 1, static_cast<int64_t>(t));
    sqlite3_bind_int64(leaf_st_, 2, first);
    sqlite3_bind_int64(leaf_st_, 3, pgno);
    const int rc = sqlite3_step(leaf_st_);
    sqlite3_reset(leaf_st_);
    if (rc != SQLITE_DONE) Fail("cannot write to");
  }

  // Builds table t's waiting unique indexes. Where one is refused for a repeated key, the
  // rows that repeat a key of it are taken out and put back one by one in rowid order under
  // the built indexes: each key keeps the row with the smallest rowid, the first given, and
  // the others go to lost-and-found with their page, as checks row by row from the start
  // would have had it. The rows left in repeat no key of any row, so they change no check
  // of the others.
  void Settle(size_t t, bool mid_way = true) {
    std::vector<std::string> unique = std::move(waiting_[t].unique);
    waiting_[t] = {};
    if (unique.empty()) return;
    if (mid_way) {  // as in End: the sort's threads buffer what the page cache holds
      Exec(kSortCache);
      sqlite::SortOnAllCores(db_);
    }
    std::vector<std::string> refused = Build(unique);
    if (!refused.empty()) {
      const size_t n = (*tables_)[t].shape.columns.size();
      held_name_ = FreeName("salvage_held");
      std::string values;
      for (size_t c = 1; c <= n; ++c) values += ", v" + std::to_string(c);
      Exec("CREATE TEMP TABLE " + QuoteName(held_name_) + "(r INTEGER PRIMARY KEY" + values + ")");
      Hold(t, refused, false);
      refused = Build(refused);
      if (!refused.empty()) {  // a repeat the query did not see: every row is put back
        Hold(t, refused, true);
        Build(refused);
      }
      PutBack(t);
      Exec("DROP TABLE temp." + QuoteName(held_name_));
    }
    if (mid_way) Exec("PRAGMA cache_size=-16384");
  }

  // Runs the statements; returns those refused for a repeated key. An index that fails
  // otherwise (a term that cannot be worked out for some row) is left out.
  std::vector<std::string> Build(const std::vector<std::string>& statements) {
    std::vector<std::string> refused;
    for (const std::string& sql : statements) {
      const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
      if (rc != SQLITE_OK) FailIfRolledBack();
      if ((rc & 0xff) == SQLITE_CONSTRAINT) refused.push_back(sql);
    }
    return refused;
  }

  // Moves rows of table t to the held table: those whose key in one of the statements'
  // indexes is another row's too (with `all`, every row). The key is compared as the index
  // compares it, by its terms as written, COLLATE and all; a NULL in it matches nothing.
  // The partial indexes' conditions are left out: more rows are held, never fewer.
  void Hold(size_t t, const std::vector<std::string>& statements, bool all) {
    const RecoveredTable& rt = (*tables_)[t];
    const std::string table = "main." + QuoteName(rt.entry.name);
    const std::string rowid = QuoteName(RowidName(t));
    std::string repeats;
    for (const std::string& sql : statements) {
      std::string key;
      for (const pagefile::IndexTerm& term : pagefile::IndexTerms(sql))
        key += (key.empty() ? "" : ", ") + term.text;
      if (key.empty()) all = true;
      repeats += (repeats.empty() ? "" : " UNION ") +
                 ("SELECT " + rowid + " FROM " + table + " WHERE (" + key + ") IN (SELECT " + key +
                  " FROM " + table + " GROUP BY " + key + " HAVING count(*) > 1)");
    }
    std::string values;
    for (size_t c = 0; c < rt.shape.columns.size(); ++c) {
      values += ", " + (static_cast<int>(c) == rt.shape.rowid_column ? std::string("NULL")
                                                                     : QuoteName(columns_[t][c]));
    }
    const std::string held = "temp." + QuoteName(held_name_);
    const std::string move =
        "INSERT OR IGNORE INTO " + held + " SELECT " + rowid + values + " FROM " + table;
    if (all || !TryExec(move + " WHERE " + rowid + " IN (" + repeats + ")")) Exec(move);
    Exec("DELETE FROM " + table + " WHERE " + rowid + " IN (SELECT r FROM " + held + ")");
  }

  // Puts the held rows of table t back in rowid order under its indexes; a row refused for
  // a repeated key goes to lost-and-found with the page it came from.
  void PutBack(size_t t) {
    const RecoveredTable& rt = (*tables_)[t];
    const size_t n = rt.shape.columns.size();
    const int ipk = rt.shape.rowid_column;
    const std::string held = "temp." + QuoteName(held_name_);
    std::string columns = ipk < 0 ? QuoteName(rowid_alias_[t]) : "";
    std::string values = ipk < 0 ? "r" : "";
    for (size_t c = 0; c < n; ++c) {
      if (rt.shape.columns[c].generated) continue;  // SQLite computes it again
      columns += (columns.empty() ? "" : ", ") + QuoteName(columns_[t][c]);
      values += (values.empty() ? "" : ", ") +
                (static_cast<int>(c) == ipk ? std::string("r") : "v" + std::to_string(c + 1));
    }
    EnsureLostTable(n);
    std::string fields, fields_held;
    for (size_t c = 1; c <= n; ++c) {
      fields += ", Field" + std::to_string(c);
      fields_held += ", v" + std::to_string(c);
    }
    const std::string page =
        leaves_name_.empty() ? "NULL"
                             : "(SELECT page FROM temp." + QuoteName(leaves_name_) +
                                   " WHERE tbl = ?1 AND first <= r ORDER BY first DESC LIMIT 1)";
    sqlite3_stmt *each = nullptr, *put = nullptr, *lose = nullptr;
    Prepare("SELECT r FROM " + held + " ORDER BY r", &each);
    Prepare("INSERT INTO main." + QuoteName(rt.entry.name) + "(" + columns + ") SELECT " + values +
                " FROM " + held + " WHERE r = ?1",
            &put);
    Prepare("INSERT INTO main." + QuoteName(lost_name_) + "(SourcePage, SourceRowid, FieldCount" +
                fields + ") SELECT " + page + ", r, " + std::to_string(n) + fields_held + " FROM " +
                held + " WHERE r = ?2",
            &lose);
    int rc = SQLITE_DONE;
    while (sqlite3_step(each) == SQLITE_ROW) {
      const int64_t r = sqlite3_column_int64(each, 0);
      sqlite3_bind_int64(put, 1, r);
      rc = sqlite3_step(put);
      sqlite3_reset(put);
      if (rc == SQLITE_DONE) continue;
      if ((rc & 0xff) != SQLITE_CONSTRAINT) break;
      sqlite3_bind_int64(lose, 1, static_cast<int64_t>(t));
      sqlite3_bind_int64(lose, 2, r);
      rc = sqlite3_step(lose);
      sqlite3_reset(lose);
      if (rc != SQLITE_DONE) break;
      ++later_.lost;
    }
    for (sqlite3_stmt* st : {each, put, lose}) sqlite3_finalize(st);
    if (rc != SQLITE_DONE) Fail("cannot write to");
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
  // A statement that may fail, as one the damaged catalog holds may; the salvage goes on
  // without it. Not so where the failure took the whole transaction with it.
  bool TryExec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    FailIfRolledBack();
    return false;
  }
  // A full disk or an I/O error makes SQLite roll back everything written so far; what
  // follows would then fail for another reason, which would be the one told.
  void FailIfRolledBack() {
    if (sqlite3_get_autocommit(db_)) Fail("cannot write to");
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

  // Binds the row from parameter `idx` on; returns the parameter after its last.
  int BindRow(sqlite3_stmt* st, size_t table, int64_t rowid, std::span<const Value> values,
              int idx = 1) {
    const RecoveredTable& t = (*tables_)[table];
    const size_t n = values.size();
    const int ipk = t.shape.rowid_column;
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
    return idx;
  }

  // The insert of `rows` rows of n values each, or (`same`) the query whether that very row
  // is there. One cache holds statements of one number of rows.
  using Statements = std::map<std::pair<size_t, size_t>, sqlite3_stmt*>;
  sqlite3_stmt* StatementFor(Statements& cache, size_t table, size_t n, bool same,
                             size_t rows = 1) {
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
      std::string values;
      for (size_t r = 0; r < rows; ++r) values += (r ? ",(" : "(") + params + ")";
      sql = std::string(module_made_[table] ? "INSERT OR REPLACE INTO " : "INSERT INTO ") +
            table_name + "(" + sql + ") VALUES" + values;
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
  bool SameRowThere(size_t table, int64_t rowid, std::span<const Value> values) {
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
  std::vector<std::string> deferred_;  // the indexes first, then the views and triggers
  size_t deferred_indexes_ = 0;
  const ProgressFn& progress_;
  Statements stmts_, same_stmts_, group_stmts_;
  std::string lost_name_;
  size_t lost_fields_ = 0;
  std::map<size_t, sqlite3_stmt*> lost_stmts_;
  std::map<std::string, Probe> probes_;  // by index name
  std::vector<Waiting> waiting_;         // by table
  std::string leaves_name_, held_name_;  // the sink's temporary tables
  sqlite3_stmt* leaf_st_ = nullptr;
  // Rows settled away to lost-and-found, and what became of the rows written by the stream.
  Later later_;
  std::optional<pagefile::RowStream> stream_;
  std::optional<WritebackMeanwhile> writeback_;
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
  SqliteSink sink(destination, file, progress);
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
