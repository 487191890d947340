// The engine on SQLite: every database is an ordinary SQLite 3 file.
//
// What the arguments that come from the crawler's older engine do here:
// - The locale (";LANGID=0x0409;CP=1252;COUNTRY=0") is recorded in the file header's
//   application id as (code page << 16) | language id. Text comparison always uses
//   SQLite's own rules; the locale changes nothing else.
// - The format option of CreateDatabase (1, 8, 16, 32 or 0) and the options of
//   CompactDatabase are recorded in the header's user version. Every format gives the
//   same SQLite 3 file; the number only tells which format the caller asked for.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "engine/change_stamp.h"
#include "engine/engine.h"
#include "engine/file_holders.h"
#include "engine/file_lock.h"
#include "engine/file_system.h"
#include "engine/gathered_writes.h"
#include "engine/health_check.h"
#include "engine/notes.h"
#include "engine/pagefile/committed.h"
#include "engine/salvage.h"
#include "engine/sqlite_schema.h"
#include "engine/sqlite_support.h"

namespace tidewell::engine {
namespace {

using sqlite::Exec;
using sqlite::QuoteId;
using sqlite::RaiseResult;
using sqlite::SameName;
using sqlite::Statement;

class SqliteDatabase;

// Calls the progress function at most four times a second.
class ProgressThrottle {
 public:
  explicit ProgressThrottle(const ProgressFn* fn) : fn_(fn) {}
  void Report(std::string_view stage, uint64_t done, uint64_t total, bool force = false) {
    if (fn_ == nullptr || !*fn_) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    (*fn_)(stage, done, total);
  }

 private:
  const ProgressFn* fn_;
  std::chrono::steady_clock::time_point last_{};
};

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// Removes a copy of ours that is not wanted, with the journal SQLite may have left beside
// it when writing it failed (a full disk): found beside the next copy of that name, the
// journal would be taken for that copy's own. The error is the copy's.
std::error_code RemoveCopy(const std::string& path) {
  Files().Remove(path + "-journal");
  return Files().Remove(path);
}

uint32_t BigEndian32(const unsigned char* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Header checks that cost one read of 100 bytes: the magic text and, where the header's
// page count is valid, that the file really has that many pages. The file is read as SQLite
// will see it: through a hot journal or a write-ahead log beside it.
bool HeaderLooksSound(const std::string& path) {
  std::unique_ptr<pagefile::ByteSource> image;
  try {
    image = pagefile::OpenCommittedSource(path);
  } catch (const std::runtime_error&) {
    return false;
  }
  unsigned char h[100];
  if (image->ReadAt(0, h) != sizeof h) return false;
  if (std::memcmp(h, "SQLite format 3", 16) != 0) return false;
  uint32_t page_size = (uint32_t{h[16]} << 8) | h[17];
  if (page_size == 1) page_size = 65536;
  if (page_size < 512 || (page_size & (page_size - 1)) != 0) return false;
  uint32_t change = BigEndian32(h + 24), pages = BigEndian32(h + 28),
           valid_for = BigEndian32(h + 92);
  return pages == 0 || change != valid_for || image->Size() >= uint64_t{pages} * page_size;
}

// fsync of a file or folder; an empty folder name is the current one.
bool SyncPathQuietly(const std::string& path, int flags) {
  const int fd = ::open(path.empty() ? "." : path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::fsync(fd) == 0;
  CloseKeepingLocks(fd);
  return ok;
}

uint32_t LocaleCode(const std::string& locale) {
  auto number = [&](const char* key, int base) -> uint32_t {
    auto pos = sqlite::Upper(locale).find(key);
    if (pos == std::string::npos) return 0;
    return static_cast<uint32_t>(
        std::strtoul(locale.c_str() + pos + std::strlen(key), nullptr, base));
  };
  return ((number("CP=", 10) & 0xffff) << 16) | (number("LANGID=", 16) & 0xffff);
}

[[noreturn]] void RaiseNotOpen(const std::string& name) {
  Raise(kErrNotOpen, name.empty() ? std::string("The database is not open.")
                                  : "The database '" + name + "' is not open.");
}

class SqliteEngine final : public DatabaseEngine {
 public:
  ~SqliteEngine() override = default;
  std::unique_ptr<Database> OpenDatabase(const std::string& name, std::optional<bool> exclusive,
                                         std::optional<bool> readOnly,
                                         std::optional<std::string> connect) override;
  std::unique_ptr<Database> CreateDatabase(const std::string& name, const std::string& locale,
                                           int32_t option) override;
  void CompactDatabase(const std::string& source, const std::string& destination,
                       const std::string& locale, std::optional<int32_t> options) override;
  void RepairDatabase(const std::string& name) override;
  void RepairResolved(const std::string& name);
  void CompactionFollows(const std::string& name) override {
    compaction_follows_ = ResolveLinks(name);
  }
  void ReadBeforeRepair(const std::string& name, std::function<void(Database&)> read) override {
    read_before_ = {read ? ResolveLinks(name) : std::string(), std::move(read)};
  }
  void Idle(int32_t action) override;
  void BeginTrans() override;
  void CommitTrans(int32_t option) override;
  void SetProgress(ProgressFn progress) override { progress_ = std::move(progress); }

  void Register(SqliteDatabase* db) { open_.insert(db); }
  void Unregister(SqliteDatabase* db) {
    open_.erase(db);
    in_transaction_.erase(db);
  }

 private:
  std::set<SqliteDatabase*> open_;
  std::set<SqliteDatabase*> in_transaction_;
  int transaction_depth_ = 0;
  ProgressFn progress_;
  std::string compaction_follows_;
  struct ReadBefore {
    std::string name;
    std::function<void(Database&)> read;
  } read_before_;
  // A compacted copy made beside the check of a sound file, and the source's stamp then.
  struct Prepared {
    std::string source, stamp, copy;
  } prepared_;
};

SqliteEngine& TheEngine() {
  static SqliteEngine* engine = new SqliteEngine();  // lives until exit, never destroyed
  return *engine;
}

class SqliteRecordset final : public Recordset {
 public:
  SqliteRecordset(std::string table, int64_t count, std::shared_ptr<bool> alive)
      : table_(std::move(table)), count_(count), alive_(std::move(alive)) {}
  void MoveLast() override {
    Check();
    if (count_ == 0) Raise(kErrNoCurrentRecord, "Table '" + table_ + "' has no records.");
  }
  int32_t RecordCount() override {
    Check();
    return static_cast<int32_t>(std::min<int64_t>(count_, INT32_MAX));
  }
  void Close() override { closed_ = true; }

 private:
  void Check() const {
    if (closed_ || !*alive_)
      Raise(kErrNotOpen, "The recordset of table '" + table_ + "' is closed.");
  }
  std::string table_;
  int64_t count_;
  std::shared_ptr<bool> alive_;
  bool closed_ = false;
};

class SqliteDatabase final : public Database {
 public:
  SqliteDatabase(std::string name, sqlite3* db, FileLock lock)
      : name_(std::move(name)), db_(db), lock_(std::move(lock)) {
    TheEngine().Register(this);
  }
  // A connection lent by the engine's own work, which keeps it: closing only ends the loan.
  static std::unique_ptr<SqliteDatabase> Lent(std::string name, sqlite3* db) {
    auto lent = std::make_unique<SqliteDatabase>(std::move(name), db, FileLock());
    lent->owned_ = false;
    return lent;
  }
  ~SqliteDatabase() override { Close(); }

  const std::string& Name() const override { return name_; }
  bool IsOpen() const override { return db_ != nullptr; }
  void Close() override {
    if (db_ == nullptr) return;
    TheEngine().Unregister(this);
    *alive_ = false;
    if (!owned_) ReleaseTarget();
    target_.attached = false;
    if (owned_) sqlite3_close_v2(db_);
    db_ = nullptr;
    lock_.Release();
  }
  sqlite3* handle() const { return db_; }

  void Execute(const std::string& sql) override;
  std::unique_ptr<Recordset> OpenTable(const std::string& name) override;
  int32_t TableCount() override {
    Check();
    return static_cast<int32_t>(Tables().size());
  }
  TableDef ReadTable(int32_t position) override {
    Check();
    const std::vector<std::string>& names = Tables();
    if (position < 0 || static_cast<size_t>(position) >= names.size())
      Raise(kErrItemNotFound,
            "There is no table at position " + std::to_string(position) + " in '" + name_ + "'.");
    return Read(std::string(names[static_cast<size_t>(position)]));
  }
  TableDef ReadTable(std::string_view name) override {
    Check();
    return Read(RequireTable(name));
  }
  void AppendTable(const TableDef& table) override;
  void AppendField(std::string_view table, const Field& field) override;
  void AppendIndex(std::string_view table, const Index& index) override;

 private:
  void Check() const {
    if (db_ == nullptr) RaiseNotOpen(name_);
  }
  std::string RequireTable(std::string_view name) {
    auto real = FindTable(name);
    if (!real)
      Raise(kErrItemNotFound,
            "Item '" + std::string(name) + "' not found in the tables of '" + name_ + "'.");
    return *real;
  }
  TableDef Read(const std::string& table) {
    std::vector<Field> fields;
    std::vector<Index> indexes;
    sqlite::ReadTableShape(db_, table, fields, indexes);
    return TableDef::Attached(this, table, std::move(fields), std::move(indexes));
  }
  void Run(const std::string& sql, const std::string& what) {
    int rc = Exec(db_, sql);
    if (rc != SQLITE_OK) RaiseResult(db_, rc, what);
  }
  // Everything an index must satisfy against the table's current shape.
  std::string IndexSql(const std::string& table, const std::vector<Field>& fields,
                       const std::vector<Index>& existing, const Index& index);
  void MakeTable(const std::string& target, const std::string& file, const std::string& source);
  // Detaches the file of the last make-table copy, if one is still attached.
  void ReleaseTarget();
  // The tables of the file in catalog order. The catalog has no index on names, so a file
  // of thousands of tables would be read through once per table looked up; the list is
  // kept and read again only when the file's schema version says it changed.
  const std::vector<std::string>& Tables();
  std::optional<std::string> FindTable(std::string_view name) {
    Tables();
    auto found = tables_.by_name.find(sqlite::Upper(name));
    if (found == tables_.by_name.end()) return std::nullopt;
    return tables_.names[found->second];
  }

  std::string name_;
  sqlite3* db_;
  FileLock lock_;
  bool owned_ = true;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  struct TableList {
    bool valid = false;
    int64_t version = 0;
    std::vector<std::string> names;
    std::unordered_map<std::string, size_t> by_name;  // upper-cased name: the first that has it
  } tables_;
  struct Target {
    bool attached = false;
    std::string file;
    dev_t dev = 0;
    ino_t ino = 0;
  } target_;
};

// Undoes a group of statements unless Commit is reached.
class Savepoint {
 public:
  explicit Savepoint(sqlite3* db) : db_(db) {
    int rc = Exec(db_, "SAVEPOINT tw_change");
    if (rc != SQLITE_OK) RaiseResult(db_, rc, "Cannot start a change");
  }
  ~Savepoint() {
    if (!done_) Exec(db_, "ROLLBACK TO tw_change; RELEASE tw_change");
  }
  void Commit() {
    int rc = Exec(db_, "RELEASE tw_change");
    if (rc != SQLITE_OK) RaiseResult(db_, rc, "Cannot store the change");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

void ValidateName(const std::string& name, const char* what) {
  if (name.empty() || name.find('\0') != std::string::npos)
    Raise(kErrInvalidName, std::string("A ") + what + " needs a name.");
  if (sqlite::Upper(name).rfind("SQLITE_", 0) == 0)
    Raise(kErrInvalidName, std::string("'") + name + "' is not a valid " + what +
                               " name: names beginning with 'sqlite_' are reserved.");
}

void ValidateField(const Field& field, const std::string& table) {
  ValidateName(field.Name, "field");
  if (!sqlite::IsKnownType(field.Type))
    Raise(kErrInvalidType, "Field '" + field.Name + "' of table '" + table +
                               "' has an unknown type code " + std::to_string(field.Type) + ".");
  if (field.Size < 0)
    Raise(kErrInvalidArgument,
          "Field '" + field.Name + "' of table '" + table + "' has a negative size.");
}

std::string SqliteDatabase::IndexSql(const std::string& table, const std::vector<Field>& fields,
                                     const std::vector<Index>& existing, const Index& index) {
  ValidateName(index.Name, "index");
  for (const Index& i : existing) {
    if (SameName(i.Name, index.Name))
      Raise(kErrObjectExists,
            "The index '" + index.Name + "' already exists on table '" + table + "'.");
  }
  if (index.Primary)
    for (const Index& i : existing)
      if (i.Primary)
        Raise(kErrPrimaryExists,
              "Table '" + table + "' already has a primary index ('" + i.Name + "').");
  auto parts = sqlite::ParseIndexFields(index.Fields);
  if (!parts)
    Raise(kErrFieldMissing, "The index '" + index.Name + "' on table '" + table +
                                "' names no fields ('" + index.Fields + "').");
  std::string columns;
  for (auto& part : *parts) {
    auto it = std::find_if(fields.begin(), fields.end(),
                           [&](const Field& f) { return SameName(f.Name, part.name); });
    if (it == fields.end())
      Raise(kErrFieldMissing, "The index '" + index.Name + "' names the field '" + part.name +
                                  "', which table '" + table + "' does not have.");
    if (!columns.empty()) columns += ", ";
    columns += QuoteId(it->Name) + (part.descending ? " DESC" : " ASC");
  }
  return std::string("CREATE ") + (index.Unique || index.Primary ? "UNIQUE " : "") + "INDEX " +
         QuoteId(sqlite::SqliteIndexName(table, index)) + " ON " + QuoteId(table) + " (" + columns +
         ")";
}

void SqliteDatabase::AppendTable(const TableDef& table) {
  Check();
  ValidateName(table.Name, "table");
  if (auto existing = FindTable(table.Name))
    Raise(kErrTableExists, "The table '" + *existing + "' already exists in '" + name_ + "'.");
  if (table.FieldList().empty())
    Raise(kErrFieldMissing, "The table '" + table.Name + "' has no fields.");
  std::string columns;
  for (size_t i = 0; i < table.FieldList().size(); ++i) {
    const Field& f = table.FieldList()[i];
    ValidateField(f, table.Name);
    for (size_t j = 0; j < i; ++j)
      if (SameName(table.FieldList()[j].Name, f.Name))
        Raise(kErrObjectExists,
              "The field '" + f.Name + "' appears twice in table '" + table.Name + "'.");
    if (!columns.empty()) columns += ", ";
    columns += QuoteId(f.Name) + " " + sqlite::DeclaredType(f);
  }
  std::vector<std::string> index_sql;
  std::vector<Index> done;
  for (const Index& index : table.IndexList()) {
    index_sql.push_back(IndexSql(table.Name, table.FieldList(), done, index));
    done.push_back(index);
  }
  Savepoint change(db_);
  Run("CREATE TABLE " + QuoteId(table.Name) + " (" + columns + ")",
      "Cannot create table '" + table.Name + "'");
  for (const std::string& sql : index_sql)
    Run(sql, "Cannot create an index on table '" + table.Name + "'");
  change.Commit();
}

void SqliteDatabase::AppendField(std::string_view table_name, const Field& field) {
  Check();
  std::string table = RequireTable(table_name);
  ValidateField(field, table);
  TableDef current = Read(table);
  for (const Field& f : current.FieldList())
    if (SameName(f.Name, field.Name))
      Raise(kErrObjectExists,
            "The field '" + f.Name + "' already exists in table '" + table + "'.");
  Run("ALTER TABLE " + QuoteId(table) + " ADD COLUMN " + QuoteId(field.Name) + " " +
          sqlite::DeclaredType(field),
      "Cannot add field '" + field.Name + "' to table '" + table + "'");
}

void SqliteDatabase::AppendIndex(std::string_view table_name, const Index& index) {
  Check();
  std::string table = RequireTable(table_name);
  TableDef current = Read(table);
  std::string sql = IndexSql(table, current.FieldList(), current.IndexList(), index);
  int rc = Exec(db_, sql);
  if (rc != SQLITE_OK) {
    std::string message = sqlite3_errmsg(db_);
    if ((rc & 0xff) == SQLITE_CONSTRAINT)
      Raise(kErrDuplicateKey, "The index '" + index.Name + "' cannot be made on table '" + table +
                                  "': the table holds duplicate values (" + message + ").");
    RaiseResult(db_, rc, "Cannot create index '" + index.Name + "' on table '" + table + "'",
                kErrTableDamaged);
  }
}

std::unique_ptr<Recordset> SqliteDatabase::OpenTable(const std::string& name) {
  Check();
  auto table = FindTable(name);
  if (!table) Raise(kErrNoSuchTable, "The table '" + name + "' does not exist in '" + name_ + "'.");
  // NOT INDEXED makes the count walk the table's own b-tree, so a damaged table is found
  // even when a sound index would give the number.
  Statement st(db_, "SELECT count(*) FROM " + QuoteId(*table) + " NOT INDEXED");
  int rc = st.Step();
  if (rc != SQLITE_ROW)
    RaiseResult(db_, rc, "Cannot read table '" + *table + "' of '" + name_ + "'", kErrTableDamaged);
  return std::make_unique<SqliteRecordset>(*table, st.Int(0), alive_);
}

// --- Execute and the make-table copy ---

struct Cursor {
  std::string_view s;
  size_t pos = 0;
  void SkipSpace() {
    while (pos < s.size() && std::isspace(static_cast<unsigned char>(s[pos]))) ++pos;
  }
  bool Keyword(std::string_view word) {
    SkipSpace();
    if (s.size() - pos < word.size()) return false;
    if (!SameName(s.substr(pos, word.size()), word)) return false;
    size_t end = pos + word.size();
    if (end < s.size() && (std::isalnum(static_cast<unsigned char>(s[end])) || s[end] == '_'))
      return false;
    pos = end;
    return true;
  }
  bool Char(char c) {
    SkipSpace();
    if (pos < s.size() && s[pos] == c) {
      ++pos;
      return true;
    }
    return false;
  }
  // [name] (ending at the first "]") or a plain word.
  std::optional<std::string> Name() {
    SkipSpace();
    if (pos >= s.size()) return std::nullopt;
    if (s[pos] == '[') {
      size_t end = s.find(']', pos + 1);
      if (end == std::string_view::npos) return std::nullopt;
      std::string name(s.substr(pos + 1, end - pos - 1));
      pos = end + 1;
      if (pos < s.size() && !std::isspace(static_cast<unsigned char>(s[pos])) && s[pos] != ';')
        return std::nullopt;
      return name;
    }
    size_t start = pos;
    while (pos < s.size() && (std::isalnum(static_cast<unsigned char>(s[pos])) || s[pos] == '_'))
      ++pos;
    if (pos == start) return std::nullopt;
    return std::string(s.substr(start, pos - start));
  }
  std::optional<std::string> Quoted() {
    SkipSpace();
    if (pos >= s.size() || s[pos] != '\'') return std::nullopt;
    std::string out;
    for (++pos; pos < s.size(); ++pos) {
      if (s[pos] == '\'') {
        if (pos + 1 < s.size() && s[pos + 1] == '\'') {
          out += '\'';
          ++pos;
          continue;
        }
        ++pos;
        return out;
      }
      out += s[pos];
    }
    return std::nullopt;
  }
  bool AtEnd() {
    Char(';');
    SkipSpace();
    return pos == s.size();
  }
};

bool LooksLikeMakeTable(std::string_view sql) {
  Cursor c{sql};
  if (!c.Keyword("SELECT")) return false;
  // A SELECT that names INTO anywhere outside quotes is meant as a make-table statement.
  bool quoted = false;
  char quote = 0;
  for (size_t i = c.pos; i < sql.size(); ++i) {
    char ch = sql[i];
    if (quoted) {
      if (ch == quote) quoted = false;
      continue;
    }
    if (ch == '\'' || ch == '"' || ch == '[') {
      quoted = true;
      quote = ch == '[' ? ']' : ch;
      continue;
    }
    if ((i == 0 || !std::isalnum(static_cast<unsigned char>(sql[i - 1]))) && i + 4 <= sql.size() &&
        SameName(sql.substr(i, 4), "INTO") &&
        (i + 4 == sql.size() || !std::isalnum(static_cast<unsigned char>(sql[i + 4]))))
      return true;
  }
  return false;
}

void SqliteDatabase::Execute(const std::string& sql) {
  Check();
  if (LooksLikeMakeTable(sql)) {
    Cursor c{sql};
    std::optional<std::string> target, file, source;
    bool ok = c.Keyword("SELECT") && c.Char('*') && c.Keyword("INTO") &&
              (target = c.Name()).has_value() && c.Keyword("IN") &&
              (file = c.Quoted()).has_value() && c.Keyword("FROM") &&
              (source = c.Name()).has_value() && c.AtEnd();
    if (!ok)
      Raise(kErrSyntax, "Syntax error in the statement \"" + sql +
                            "\": expected SELECT * INTO [table] IN 'file' FROM [table].");
    MakeTable(*target, *file, *source);
    return;
  }
  // A statement of the caller's own must never reach a table of the copy's target file.
  ReleaseTarget();
  int rc = Exec(db_, sql);
  if (rc != SQLITE_OK) RaiseResult(db_, rc, "Cannot run \"" + sql + "\"", kErrTableDamaged);
}

void SqliteDatabase::MakeTable(const std::string& target, const std::string& file,
                               const std::string& source_name) {
  auto source = FindTable(source_name);
  if (!source)
    Raise(kErrNoSuchTable, "The table '" + source_name + "' does not exist in '" + name_ + "'.");
  if (target.empty()) Raise(kErrInvalidName, "The statement names no target table.");
  struct stat file_stat {};
  if (::stat(file.c_str(), &file_stat) != 0) {
    ReleaseTarget();
    Raise(kErrFileNotFound, "Could not find file '" + file + "'.");
  }
  // Any failure below forgets the attachment too: the file may be gone or damaged.
  struct Undo {
    SqliteDatabase* self;
    bool done = false;
    ~Undo() {
      if (done) return;
      Exec(self->db_, "ROLLBACK");
      self->ReleaseTarget();
    }
  } undo{this};
  // A copy of many tables into one new file runs one statement per table; the file stays
  // attached from one to the next, so its catalog is read once and not once per table. A
  // different file, or another file put under the same name since, is attached afresh.
  if (!(target_.attached && target_.file == file && target_.dev == file_stat.st_dev &&
        target_.ino == file_stat.st_ino)) {
    ReleaseTarget();
    if (!HeaderLooksSound(file))
      Raise(kErrNotADatabase, "The file '" + file + "' is not a database or is damaged.");
    Statement attach(db_, "ATTACH DATABASE ?1 AS tw_target");
    attach.Bind(1, file);
    int rc = attach.Step();
    if (rc != SQLITE_DONE) RaiseResult(db_, rc, "Cannot open '" + file + "'");
    target_ = {true, file, file_stat.st_dev, file_stat.st_ino};
    try {
      sqlite::ListTables(db_, "tw_target");
    } catch (const EngineException& e) {
      Raise(kErrNotADatabase,
            "The file '" + file + "' is not a database or is damaged: " + e.error().description);
    }
    // The new file is a copy in the making, and whoever puts it to use syncs it first (the
    // regeneration's swap does): a sync per table would only slow the copy down. The
    // journal stays in memory, so a table whose copy fails is still rolled back.
    Exec(db_, "PRAGMA tw_target.synchronous = OFF; PRAGMA tw_target.journal_mode = MEMORY");
  }
  // SQLite's own lookup matches names as ours do (ASCII case ignored) and, unlike a read of
  // the catalog, costs the same however many tables the file already holds.
  if (sqlite3_table_column_metadata(db_, "tw_target", target.c_str(), nullptr, nullptr, nullptr,
                                    nullptr, nullptr, nullptr) == SQLITE_OK) {
    auto existing = sqlite::FindTable(db_, target, "tw_target");
    Raise(kErrTableExists,
          "The table '" + existing.value_or(target) + "' already exists in '" + file + "'.");
  }

  // The copy keeps columns with their declared types (and so everything the object model
  // keeps about them) but no keys, indexes, defaults or constraints.
  std::string columns, names;
  {
    Statement st(db_, "SELECT name, type FROM main.pragma_table_info(?1) ORDER BY cid");
    st.Bind(1, *source);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      if (!columns.empty()) {
        columns += ", ";
        names += ", ";
      }
      columns += QuoteId(st.Text(0));
      names += QuoteId(st.Text(0));
      if (!st.Text(1).empty()) columns += " " + st.Text(1);
    }
    if (rc != SQLITE_DONE) RaiseResult(db_, rc, "Cannot read table '" + *source + "'");
  }
  // Deferred, so that only the target is written to: a transaction that holds write locks
  // on two files commits through a super-journal, and a crash during that commit can leave
  // the super-journal beside the source for good, as nothing then refers to it.
  int rc = Exec(db_, "BEGIN");
  if (rc != SQLITE_OK) RaiseResult(db_, rc, "Cannot write to '" + file + "'");
  rc = Exec(db_, "CREATE TABLE tw_target." + QuoteId(target) + " (" + columns + ")");
  if (rc != SQLITE_OK)
    RaiseResult(db_, rc, "Cannot create table '" + target + "' in '" + file + "'");
  rc = Exec(db_, "INSERT INTO tw_target." + QuoteId(target) + " (" + names + ") SELECT " + names +
                     " FROM main." + QuoteId(*source));
  if (rc != SQLITE_OK)
    RaiseResult(db_, rc, "Cannot copy table '" + *source + "' to '" + file + "'", kErrTableDamaged);
  rc = Exec(db_, "COMMIT");
  if (rc != SQLITE_OK) RaiseResult(db_, rc, "Cannot write to '" + file + "'");
  undo.done = true;
}

const std::vector<std::string>& SqliteDatabase::Tables() {
  // The version is read before the list: a change in between is then seen next time.
  Statement st = Statement::TryPrepare(db_, "PRAGMA main.schema_version");
  const bool known = st.ok() && st.Step() == SQLITE_ROW;
  if (known && tables_.valid && tables_.version == st.Int(0)) return tables_.names;
  tables_.valid = false;
  tables_.names = sqlite::ListTables(db_);
  tables_.by_name.clear();
  for (size_t k = 0; k < tables_.names.size(); ++k)
    tables_.by_name.emplace(sqlite::Upper(tables_.names[k]), k);
  tables_.version = known ? st.Int(0) : 0;
  tables_.valid = known;
  return tables_.names;
}

void SqliteDatabase::ReleaseTarget() {
  // Inside a caller's transaction SQLite refuses to detach; the file then counts as
  // attached until a later attempt succeeds, so it is never attached twice.
  if (target_.attached && Exec(db_, "DETACH DATABASE tw_target") == SQLITE_OK)
    target_.attached = false;
}

// --- Opening ---

// An open SQLite connection that is closed unless handed on.
struct Connection {
  sqlite3* db = nullptr;
  ~Connection() {
    if (db) sqlite3_close_v2(db);
  }
  sqlite3* release() { return std::exchange(db, nullptr); }
};

void OpenConnection(Connection& c, const std::string& name, bool read_only,
                    const char* vfs = nullptr) {
  int rc = sqlite3_open_v2(name.c_str(), &c.db,
                           read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE, vfs);
  if (rc != SQLITE_OK) RaiseResult(c.db, rc, "Cannot open '" + name + "'");
}

// Reads the whole catalog: a file that is not a database, or whose header or catalog is
// damaged, fails here with 3049.
void ReadCatalog(sqlite3* db, const std::string& name) {
  auto damaged = [&](const std::string& why) {
    Raise(kErrNotADatabase, "The file '" + name +
                                "' is not a database, or its header or catalog is damaged (" + why +
                                ").");
  };
  Statement st = Statement::TryPrepare(db,
                                       "SELECT type, name, tbl_name, rootpage, sql "
                                       "FROM sqlite_schema");
  int rc = st.rc();
  if (st.ok())
    while ((rc = st.Step()) == SQLITE_ROW) {
    }
  if (rc == SQLITE_DONE) return;
  int primary = rc & 0xff;
  if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT || primary == SQLITE_FORMAT ||
      primary == SQLITE_ERROR)
    damaged(sqlite3_errmsg(db));
  RaiseResult(db, rc, "Cannot open '" + name + "'");
}

struct OpenResult {
  Connection conn;
  FileLock lock;
};

void OpenChecked(OpenResult& r, const std::string& name, bool exclusive, bool read_only,
                 int busy_ms, bool take_lock = true, const char* vfs = nullptr) {
  if (!FileExists(name)) Raise(kErrFileNotFound, "Could not find file '" + name + "'.");
  if (take_lock) r.lock = FileLock::Acquire(name, exclusive);
  if (!HeaderLooksSound(name))
    Raise(kErrNotADatabase,
          "The file '" + name + "' is not a database, or its header or catalog is damaged.");
  OpenConnection(r.conn, name, read_only, vfs);
  sqlite3_busy_timeout(r.conn.db, busy_ms);
  if (exclusive) {
    // Holding SQLite's own exclusive lock for as long as the database is open keeps out
    // every other SQLite connection too, and finds any that holds a lock now.
    Exec(r.conn.db, "PRAGMA locking_mode = EXCLUSIVE");
    int rc = Exec(r.conn.db, read_only ? "BEGIN" : "BEGIN EXCLUSIVE");
    if (rc != SQLITE_OK) {
      if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED)
        Raise(kErrFileInUse, "The database '" + name +
                                 "' is in use by someone else and cannot be opened exclusively.");
      if ((rc & 0xff) == SQLITE_NOTADB || (rc & 0xff) == SQLITE_CORRUPT)
        ReadCatalog(r.conn.db, name);
      RaiseResult(r.conn.db, rc, "Cannot open '" + name + "' exclusively");
    }
    ReadCatalog(r.conn.db, name);
    Exec(r.conn.db, "COMMIT");
  } else {
    ReadCatalog(r.conn.db, name);
  }
  if (read_only) return;
  Exec(r.conn.db, "PRAGMA synchronous = EXTRA");
  // Building an index sorts the whole table; a second core halves the sort.
  sqlite::SortOnAllCores(r.conn.db);
}

std::unique_ptr<Database> SqliteEngine::OpenDatabase(const std::string& name,
                                                     std::optional<bool> exclusive,
                                                     std::optional<bool> readOnly,
                                                     std::optional<std::string>) {
  // Asked before any descriptor of ours exists, so that the kernel's lease can answer for
  // every process on this machine (see file_holders.h); the refusal names the holder.
  if (exclusive.value_or(false)) RefuseIfHeldElsewhere(name);
  OpenResult r;
  try {
    OpenChecked(r, name, exclusive.value_or(false), readOnly.value_or(false),
                exclusive.value_or(false) ? 100 : 2000);
  } catch (const EngineException& e) {
    // Busy while reading the catalog means a writer holds the file.
    if (e.error().number == kErrFileInUse)
      Raise(kErrFileInUse, "The database '" + name + "' is in use by someone else.");
    throw;
  }
  sqlite3* db = r.conn.release();
  return std::make_unique<SqliteDatabase>(name, db, std::move(r.lock));
}

std::unique_ptr<Database> SqliteEngine::CreateDatabase(const std::string& name,
                                                       const std::string& locale, int32_t option) {
  // 0600 whatever the umask: the caller gives it the mode of the file it stands for.
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    int err = errno;
    if (err == EEXIST) Raise(kErrDatabaseExists, "The file '" + name + "' already exists.");
    if (err == ENOENT || err == ENOTDIR)
      Raise(kErrFileNotFound, "The folder of '" + name + "' does not exist.");
    Raise(kErrNoPermission, "Cannot create '" + name + "': " + std::strerror(err) + ".");
  }
  ::close(fd);
  try {
    {
      Connection c;
      OpenConnection(c, name, false);
      // The file was empty a moment ago, so a journal has nothing to protect: the header is
      // written in one go and synced once, with its folder, instead of journalled twice.
      int rc = Exec(c.db,
                    "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY; BEGIN; "
                    "PRAGMA application_id = " +
                        std::to_string(static_cast<int32_t>(LocaleCode(locale))) +
                        "; PRAGMA user_version = " + std::to_string(option) + "; COMMIT;");
      if (rc != SQLITE_OK) RaiseResult(c.db, rc, "Cannot create '" + name + "'");
    }
    if (!SyncPathQuietly(name, O_RDONLY) ||
        !SyncPathQuietly(std::filesystem::path(name).parent_path().string(),
                         O_RDONLY | O_DIRECTORY))
      Raise(kErrDiskIo, "Cannot write the new database '" + name + "' to disk.");
    return OpenDatabase(name, false, false, std::nullopt);
  } catch (...) {
    ::unlink(name.c_str());
    throw;
  }
}

void SqliteEngine::Idle(int32_t) {
  for (SqliteDatabase* db : open_) sqlite3_db_release_memory(db->handle());
}

void SqliteEngine::BeginTrans() {
  if (transaction_depth_ == 0) {
    for (SqliteDatabase* db : open_) {
      int rc = Exec(db->handle(), "BEGIN");
      if (rc != SQLITE_OK) {
        for (SqliteDatabase* begun : in_transaction_) Exec(begun->handle(), "ROLLBACK");
        in_transaction_.clear();
        RaiseResult(db->handle(), rc, "Cannot begin a transaction on '" + db->Name() + "'");
      }
      in_transaction_.insert(db);
    }
  }
  ++transaction_depth_;
}

void SqliteEngine::CommitTrans(int32_t) {
  if (transaction_depth_ == 0) Raise(kErrNoTransaction, "There is no transaction to commit.");
  if (--transaction_depth_ > 0) return;
  // Every connection runs with synchronous EXTRA, so a commit is on disk (folder entry of
  // the journal included) when it returns, whatever the option.
  std::optional<EngineError> first;
  for (SqliteDatabase* db : in_transaction_) {
    int rc = Exec(db->handle(), "COMMIT");
    if (rc != SQLITE_OK && !first) {
      std::string message = sqlite3_errmsg(db->handle());
      first = EngineError{sqlite::MapResult(rc, message, kErrTableDamaged),
                          "Cannot commit the changes to '" + db->Name() + "': " + message};
      Exec(db->handle(), "ROLLBACK");
    }
  }
  in_transaction_.clear();
  if (first) throw EngineException(*first);
}

// --- Compaction ---

}  // namespace

void BringToCommittedState(const std::string& path) {
  Connection c;
  // Without SQLITE_OPEN_CREATE: a missing path must stay missing.
  if (sqlite3_open_v2(path.c_str(), &c.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return;
  sqlite3_busy_timeout(c.db, 2000);
  // Taking the read lock is what finds a hot journal and plays it back.
  Exec(c.db, "SELECT count(*) FROM sqlite_schema");
}

namespace {

bool InWalMode(sqlite3* db) {
  Statement st = Statement::TryPrepare(db, "PRAGMA journal_mode");
  return !st.ok() || st.Step() != SQLITE_ROW || st.Text(0) == "wal";
}

// VACUUM INTO from an open source. The new file takes the sync settings of the source; it
// is synced once as a whole by FinishCopy, so the journal syncs it would get as it is
// written are only waiting. The disk starts on it while it is written. `tick` gets the
// size written so far, every few thousand steps of the copy. Returns SQLite's result.
// The copy is written through the VFS `db` was opened with (the gathering one, for speed).
int VacuumInto(sqlite3* db, const std::string& destination,
               const std::function<void(int64_t)>& tick = {}) {
  Exec(db, "PRAGMA synchronous = OFF");
  WritebackMeanwhile writeback(destination);
  struct Ticks {
    const std::string& destination;
    const std::function<void(int64_t)>& tick;
  } ticks{destination, tick};
  if (tick) {
    sqlite3_progress_handler(
        db, 20000,
        [](void* p) -> int {
          auto* t = static_cast<Ticks*>(p);
          std::error_code ec;
          const auto size = std::filesystem::file_size(t->destination, ec);
          t->tick(ec ? -1 : static_cast<int64_t>(size));
          return 0;
        },
        &ticks);
  }
  Statement vacuum(db, "VACUUM INTO ?1");
  vacuum.Bind(1, destination);
  const int rc = vacuum.Step();
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  return rc;
}

// The pages of a finished copy, from its size and its header's page size.
uint64_t CopiedPages(const std::string& path) {
  unsigned char h[2] = {};
  struct stat st {};
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool ok = fd >= 0 && ::pread(fd, h, 2, 16) == 2 && ::fstat(fd, &st) == 0;
  if (fd >= 0) ::close(fd);
  if (!ok) return 1;
  const uint64_t page_size = h[0] == 0 && h[1] == 1 ? 65536u : (h[0] << 8 | h[1]);
  return page_size == 0 ? 1 : std::max<uint64_t>(1, static_cast<uint64_t>(st.st_size) / page_size);
}

// Whether the file's header puts it in write-ahead mode.
bool WriteAheadHeader(const std::string& path) {
  unsigned char h[2] = {};
  try {
    return pagefile::OpenCommittedSource(path)->ReadAt(18, h) == 2 && h[0] == 2 && h[1] == 2;
  } catch (const std::runtime_error&) {
    return false;
  }
}

// The locale and options of the new file, written straight into its header (nothing else
// has it open yet), then the file and its folder synced. Returns what failed, or empty.
std::string FinishCopy(const std::string& destination, const std::string& locale,
                       std::optional<int32_t> options, bool write_ahead) {
  if (options.has_value() || !locale.empty() || write_ahead) {
    int fd = ::open(destination.c_str(), O_RDWR | O_CLOEXEC);
    bool ok = fd >= 0;
    unsigned char id[4] = {};
    ok = ok && ::pread(fd, id, 4, 68) == 4;
    auto put = [&](uint32_t v, off_t at) {
      unsigned char b[4] = {static_cast<unsigned char>(v >> 24),
                            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 8),
                            static_cast<unsigned char>(v)};
      ok = ok && ::pwrite(fd, b, 4, at) == 4;
    };
    if (options.has_value()) put(static_cast<uint32_t>(*options), 60);
    // The copy keeps the application id it has: the locale is recorded only in a file that
    // has none, since a file another program stamped is known to it by that id.
    if (!locale.empty() && BigEndian32(id) == 0) put(LocaleCode(locale), 68);
    // The copy is written in rollback mode; a file kept in write-ahead mode stays so.
    static constexpr unsigned char kWriteAhead[2] = {2, 2};
    if (write_ahead) ok = ok && ::pwrite(fd, kWriteAhead, 2, 18) == 2;
    if (fd >= 0) ::close(fd);
    if (!ok) return "Cannot write the header of '" + destination + "'.";
  }
  if (auto ec = Files().SyncFile(destination))
    return "Cannot write '" + destination + "' to disk: " + ec.message() + ".";
  if (auto ec = Files().SyncParentDir(destination))
    return "Cannot write the folder of '" + destination + "' to disk: " + ec.message() + ".";
  return {};
}

// A reading of the file as a repair found it. Where the check's connection holds only a read
// transaction (beside a copy), it runs on a connection and a thread of its own while the
// check does; otherwise, or with no thread to be had, at once on the check's connection. A
// connection of its own that cannot be opened reads as a database that is not open.
class ReadingBeside {
 public:
  ReadingBeside() = default;
  ReadingBeside(const ReadingBeside&) = delete;
  ReadingBeside& operator=(const ReadingBeside&) = delete;
  ~ReadingBeside() {
    if (thread_.joinable()) thread_.join();
  }

  void Start(const std::string& name, const std::function<void(Database&)>& read, sqlite3* check,
             bool shared) {
    if (shared) {
      try {
        thread_ = std::thread([this, name, read] {
          try {
            ReadOwn(name, read);
          } catch (...) {
            failed_ = std::current_exception();
          }
        });
        return;
      } catch (const std::system_error&) {
      }
    }
    read(*SqliteDatabase::Lent(name, check));
  }

  // Waits for the reading and raises what it raised.
  void Finish() {
    if (thread_.joinable()) thread_.join();
    if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
  }

 private:
  static void ReadOwn(const std::string& name, const std::function<void(Database&)>& read) {
    OpenResult r;
    try {
      OpenChecked(r, name, false, true, 2000, false);
    } catch (const EngineException&) {
      read(*NotOpenDatabase(name));
      return;
    }
    SqliteDatabase found(name, r.conn.release(), FileLock());
    read(found);
  }

  std::thread thread_;
  std::exception_ptr failed_;
};

// A read-only copy of a database being checked, made by VACUUM INTO on a thread of its own.
// The check's connection trades SQLite's exclusive lock for a read transaction: that still
// keeps every writer from committing, and lets the copy read. The engine's own lock keeps
// other instances of this program out. The copy is never interrupted, so it does the same
// file operations however long the check takes.
class CopyBeside {
 public:
  CopyBeside(sqlite3* check, const std::string& source, const std::string& copy)
      : source_(source), copy_(copy) {
    Exec(check, "PRAGMA locking_mode = NORMAL");
    Exec(check, "SELECT count(*) FROM sqlite_schema");  // gives the exclusive lock up
    if (Exec(check, "BEGIN") != SQLITE_OK ||
        Exec(check, "SELECT count(*) FROM sqlite_schema") != SQLITE_OK) {
      // Someone took the file in that moment: hold it alone again, or fail as the open does.
      Exec(check, "ROLLBACK");
      Exec(check, "PRAGMA locking_mode = EXCLUSIVE");
      if (Exec(check, "BEGIN EXCLUSIVE") != SQLITE_OK || Exec(check, "COMMIT") != SQLITE_OK)
        Raise(kErrFileInUse, "The database '" + source +
                                 "' is in use by someone else and cannot be opened exclusively.");
      return;
    }
    shared_ = true;
    stamp_ = ChangeStamp(source);
    thread_ = std::thread([this] {
      try {
        OpenResult r;
        OpenChecked(r, source_, false, true, 2000, false, sqlite::GatheringVfs());
        // Made 0600 before VACUUM INTO fills it (it takes an empty file that exists).
        ok_ = !CreatePrivate(copy_) && VacuumInto(r.conn.db, copy_) == SQLITE_DONE;
      } catch (const EngineException&) {
      }
      CopyDone();
    });
  }
  ~CopyBeside() { Join(); }
  // Waits for the copy; true when it is complete.
  bool Join() {
    if (thread_.joinable()) thread_.join();
    return ok_ && !stamp_.empty();
  }
  const std::string& stamp() const { return stamp_; }
  // Whether the check's connection holds only a read transaction, so that other connections
  // can read: not where someone took the file in the moment its lock was traded, and the
  // check holds it alone again.
  bool shared() const { return shared_; }

  using HealthFn = std::function<void(uint64_t, uint64_t)>;
  // Runs `check` while the copy is made. The copy is the longer of the two and the one
  // the swap waits for, so where cores are fewer than the threads of both, the check's
  // threads stand back: they run at a lower priority until the copy is done, and get their
  // own back then where the system lets us raise it again. Progress is handed to `report`
  // on the calling thread, which is the one a window may be drawn from.
  HealthVerdict CheckMeanwhile(const std::function<HealthVerdict(const HealthFn&)>& check,
                               const HealthFn& report) {
    std::mutex m;
    std::condition_variable changed;
    uint64_t done = 0, total = 0;
    bool told = false, finished = false;
    HealthVerdict verdict;
    std::exception_ptr failed;
    std::thread checker;
    try {
      checker = std::thread([&] {
        {
          std::lock_guard<std::mutex> hold(mutex_);
          if (!copy_done_) lowered_ = ::setpriority(PRIO_PROCESS, 0, kCheckerNice) == 0;
        }
        try {
          verdict = check([&](uint64_t d, uint64_t t) {
            std::lock_guard<std::mutex> hold(m);
            done = d, total = t, told = true;
            changed.notify_one();
          });
        } catch (...) {
          failed = std::current_exception();
        }
        std::lock_guard<std::mutex> hold(m);
        finished = true;
        changed.notify_one();
      });
    } catch (const std::system_error&) {
      return check(report);  // no thread to be had: the check runs here, as without a copy
    }
    {
      std::unique_lock<std::mutex> hold(m);
      while (!finished || told) {
        changed.wait_for(hold, std::chrono::milliseconds(100), [&] { return finished || told; });
        if (!told) continue;
        const uint64_t d = done, t = total;
        told = false;
        hold.unlock();
        report(d, t);
        hold.lock();
      }
    }
    checker.join();
    if (failed) std::rethrow_exception(failed);
    return verdict;
  }

 private:
  static constexpr int kCheckerNice = 19;

  // The copy is done: the check's threads, if they still run, get their priority back where
  // the system lets us raise it again. Only they were lowered in this process.
  void CopyDone() {
    std::lock_guard<std::mutex> hold(mutex_);
    copy_done_ = true;
    if (!lowered_) return;
    std::error_code ec;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
      const id_t tid = static_cast<id_t>(std::strtoul(task.path().filename().c_str(), nullptr, 10));
      errno = 0;
      if (tid != 0 && ::getpriority(PRIO_PROCESS, tid) == kCheckerNice && errno == 0)
        (void)!::setpriority(PRIO_PROCESS, tid, own_);
    }
  }

  std::string source_, copy_, stamp_;
  bool shared_ = false;
  bool ok_ = false;
  std::mutex mutex_;
  bool lowered_ = false;  // the check's thread runs at kCheckerNice
  const int own_ = ::getpriority(PRIO_PROCESS, 0);
  bool copy_done_ = false;
  std::thread thread_;
};

void SqliteEngine::CompactDatabase(const std::string& source, const std::string& destination,
                                   const std::string& locale, std::optional<int32_t> options) {
  // A copy the repair made of this very file is taken if nothing changed the file since;
  // any other is removed.
  const Prepared prepared = std::exchange(prepared_, {});
  struct Drop {
    std::string path;
    ~Drop() {
      if (!path.empty()) RemoveCopy(path);
    }
  } drop{prepared.copy};
  if (!FileExists(source)) Raise(kErrFileNotFound, "Could not find file '" + source + "'.");
  if (Files().Exists(destination))
    Raise(kErrDatabaseExists, "The file '" + destination + "' already exists.");
  // A journal left by an earlier copy cut short is no part of the new file; VACUUM INTO
  // would clear it, a rename does not.
  if (!prepared.copy.empty() && prepared.source == ResolveLinks(source) &&
      ChangeStamp(prepared.source) == prepared.stamp && !Files().Remove(destination + "-journal") &&
      !Files().Rename(prepared.copy, destination)) {
    drop.path.clear();
    ProgressThrottle throttle(&progress_);
    if (std::string failed = FinishCopy(destination, locale, options, WriteAheadHeader(source));
        !failed.empty()) {
      ::unlink(destination.c_str());
      Raise(kErrDiskIo, failed);
    }
    // The copy was written while the file was checked: all its pages are done at once.
    const uint64_t copied = CopiedPages(destination);
    throttle.Report("Compacting", copied, copied, true);
    return;
  }
  OpenResult r;
  // Read-only: the source is never written. A read-only open cannot roll back a journal
  // left by an interrupted transaction and fails on it; callers bring the source to its
  // committed state first (BringToCommittedState).
  OpenChecked(r, source, false, true, 2000, true, sqlite::GatheringVfs());
  sqlite3* db = r.conn.db;
  int64_t page_size = 4096, pages = 0, free_pages = 0;
  {
    Statement st(db,
                 "SELECT (SELECT page_size FROM pragma_page_size), "
                 "(SELECT page_count FROM pragma_page_count), "
                 "(SELECT freelist_count FROM pragma_freelist_count)");
    if (st.Step() == SQLITE_ROW) {
      page_size = st.Int(0);
      pages = st.Int(1);
      free_pages = st.Int(2);
    }
  }
  if (free_pages > pages)
    Raise(kErrNotADatabase, "The database '" + source + "' is damaged (free page count).");

  ProgressThrottle throttle(&progress_);
  const uint64_t total = static_cast<uint64_t>(pages - free_pages);
  throttle.Report("Compacting", 0, total, true);
  const std::function<void(int64_t)> report = [&](int64_t size) {
    const uint64_t written = size > 0 ? static_cast<uint64_t>(size / page_size) : 0;
    throttle.Report("Compacting", std::min(written, total), total);
  };

  auto fail = [&](int32_t number, const std::string& description) {
    ::unlink(destination.c_str());
    ::unlink((destination + "-journal").c_str());
    Raise(number, description);
  };
  // The copy is made 0600, never with the umask's wider default; whoever puts it in the
  // source's place gives it the source's owner and mode (SQLite gives its journal the mode
  // of the file). VACUUM INTO takes an empty file that exists.
  if (auto ec = CreatePrivate(destination))
    Raise(ec == std::errc::file_exists ? kErrDatabaseExists : kErrDiskIo,
          "Cannot create '" + destination + "': " + ec.message() + ".");
  if (int rc = VacuumInto(db, destination, report); rc != SQLITE_DONE) {
    std::string message = sqlite3_errmsg(db);
    int32_t number = sqlite::MapResult(rc, message, kErrNotADatabase);
    if (number == kErrNotADatabase)
      fail(number,
           "The database '" + source + "' is damaged and cannot be compacted (" + message + ").");
    fail(number, "Cannot compact '" + source + "' into '" + destination + "': " + message);
  }
  if (std::string failed = FinishCopy(destination, locale, options, WriteAheadHeader(source));
      !failed.empty())
    fail(kErrDiskIo, failed);
  throttle.Report("Compacting", total, total, true);
}

// --- Repair ---

void SqliteEngine::RepairDatabase(const std::string& given) {
  const std::string name = ResolveLinks(given);
  try {
    RepairResolved(name);
  } catch (const EngineException& e) {
    // Whoever holds the file, it was left as it was.
    if (e.error().number == kErrFileInUse) Tell(name, Fate::kInUse, e.error().description);
    throw;
  }
}

void SqliteEngine::RepairResolved(const std::string& name) {
  const ReadBefore before = std::exchange(read_before_, {});
  if (!FileExists(name)) Raise(kErrFileNotFound, "Could not find file '" + name + "'.");
  // The engine's exclusive lock is held for the whole repair, so no other open of ours can
  // slip in between the check, the salvage and the swap. Other programs are asked about
  // first, while no descriptor of ours is open and the lease can answer for all of them.
  const bool copy_beside = std::exchange(compaction_follows_, {}) == name;
  RefuseIfHeldElsewhere(name);
  FileLock lock = FileLock::Acquire(name, true);
  const std::string temp = name + ".repairing";
  const std::string damaged = name + ".damaged";
  if (const Prepared old = std::exchange(prepared_, {}); !old.copy.empty() && old.copy != temp)
    RemoveCopy(old.copy);
  // Left by a repair or a copy that was cut short.
  const bool cleared = !RemoveCopy(temp);
  bool healthy = false, copied = false;
  {
    OpenResult r;
    try {
      OpenChecked(r, name, true, false, 100, false);
      // A file in write-ahead mode can take commits its stamp does not show.
      std::optional<CopyBeside> copy;
      if (copy_beside && cleared && !InWalMode(r.conn.db)) copy.emplace(r.conn.db, name, temp);
      copied = copy.has_value();
      // The caller's reading of the file as it was shares the file's reads with the copy and
      // the check, and ends before anything changes the file.
      ReadingBeside reading;
      if (before.read && before.name == name)
        reading.Start(name, before.read, r.conn.db, copy && copy->shared());
      ProgressThrottle throttle(&progress_);
      auto report = [&](uint64_t done, uint64_t total) {
        throttle.Report("Checking", done, total, done == 0 || done == total);
      };
      auto check = [&](const std::function<void(uint64_t, uint64_t)>& tell) {
        return CheckDatabaseHealth(r.conn.db, name, tell);
      };
      healthy = (copy ? copy->CheckMeanwhile(check, report) : check(report)).healthy;
      reading.Finish();
      if (copy && copy->Join() && healthy) prepared_ = {name, copy->stamp(), temp};
    } catch (const EngineException& e) {
      if (e.error().number != kErrNotADatabase) throw;
    }
    // The check's own lock and connection go before the salvage opens the file.
  }
  if (healthy) {
    if (copied && prepared_.copy.empty()) RemoveCopy(temp);
    Tell(name, Fate::kSound);
    return;
  }

  if (auto ec = RemoveCopy(temp))
    Raise(kErrDiskIo, "Cannot repair '" + name + "': cannot remove the old '" + temp +
                          "': " + ec.message() + ".");
  // A hot journal or a write-ahead log beside the original belongs to it. If a repair was
  // cut after it had moved them to `.damaged`, the two names are still one file, and the
  // original is read there, with them.
  const bool kept_before = Files().SameFile(name, damaged) && !Files().Exists(name + "-journal") &&
                           !Files().Exists(name + "-wal");
  SalvageDatabase(kept_before ? damaged : name, temp, progress_);
  auto fail = [&](const std::string& what, std::error_code ec) {
    Files().Remove(temp);
    Raise(kErrDiskIo, "Cannot repair '" + name + "': " + what + ": " + ec.message() + ".");
  };
  // The repaired copy takes the original's owner, group, attributes and mode before the
  // sync that precedes its rename, so that no cut leaves the name with another owner. Where
  // they cannot be given (a user who is not root repairing the file of another) the
  // original stays as it is.
  if (auto ec = Files().TakeOwnership(name, temp)) {
    Tell(name, Fate::kNotReplaced,
         "the repaired copy could not be given the owner and mode of the file: " + ec.message());
    fail("cannot give the repaired copy the owner and mode of the original", ec);
  }
  if (auto ec = Files().SyncFile(temp)) fail("writing the repaired copy to disk failed", ec);
  // Our lock keeps other copies of this program out, but not a program that opened the file
  // while it was salvaged: renamed over, that program would go on in the damaged original.
  // Only /proc can answer here, since the lock's descriptor refuses a lease.
  if (const std::string who = Holders().OtherHolder(name); !who.empty()) {
    Files().Remove(temp);
    Raise(kErrFileInUse, "The database '" + name + "' was opened by " + who +
                             " during its repair and was left as it was.");
  }
  if (!kept_before) {
    // Keep the damaged original beside the repaired file; a link costs nothing and leaves
    // the original under its own name until the rename below replaces it in one step.
    if (auto ec = Files().Remove(damaged)) fail("cannot remove the old '" + damaged + "'", ec);
    if (auto ec = RemoveCompanions(damaged))
      fail("cannot remove the journal of the old '" + damaged + "'", ec);
    if (auto ec = Files().Link(name, damaged)) {
      if (auto copy_ec = Files().Copy(name, damaged))
        fail("cannot keep the damaged original as '" + damaged + "'", copy_ec);
    }
  }
  // With the original, its journal or log keep it as SQLite read it.
  if (auto ec = MoveCompanions(name, damaged, true))
    fail("cannot move the journal of '" + name + "' to the damaged original", ec);
  if (auto ec = Files().Rename(temp, name)) fail("cannot put the repaired copy in place", ec);
  if (auto ec = Files().SyncParentDir(name))
    Raise(kErrDiskIo, "The repaired '" + name + "' is in place, but its folder could not be " +
                          "written to disk: " + ec.message() + ".");
  Tell(name, Fate::kRepaired, damaged);
}

}  // namespace

DatabaseEngine& SqliteEngine() {
  return TheEngine();
}

}  // namespace tidewell::engine
