// The database engine every part of Tidewell goes through. Databases are stored as
// ordinary SQLite 3 files; the object model (tables, fields, indexes, recordsets) is the
// one the crawler's data was designed with. Every call that fails throws EngineException;
// operations catch it only through PendingError::Run.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"

namespace tidewell::engine {

// Field type codes.
enum FieldType : int16_t {
  dbBoolean = 1,
  dbByte = 2,
  dbInteger = 3,
  dbLong = 4,
  dbCurrency = 5,
  dbSingle = 6,
  dbDouble = 7,
  dbDate = 8,
  dbBinary = 9,
  dbText = 10,
  dbLongBinary = 11,
  dbMemo = 12,
  dbGUID = 15,
};

// Field attribute bits.
enum FieldAttribute : int32_t {
  dbFixedField = 1,
  dbVariableField = 2,
  dbAutoIncrField = 16,
  dbUpdatableField = 32,
};

// Idle actions and the commit option that forces the data to disk.
enum IdleAction : int32_t { dbFreeLocks = 1, dbRefreshCache = 8 };
enum CommitOption : int32_t { dbForceOSFlush = 1 };

// The locale every database of the crawler is created and compacted with.
inline constexpr std::string_view kGeneralLocale = ";LANGID=0x0409;CP=1252;COUNTRY=0";

struct Field {
  std::string Name;
  int16_t Type = 0;
  int32_t Size = 0;
  int32_t Attributes = 0;
  bool AllowZeroLength = false;
};

struct Index {
  std::string Name;
  bool Primary = false;
  bool Unique = false;
  // Field list as text: names separated by ";", each with "+" (ascending) or "-"
  // (descending) in front, e.g. "+Url;-Checked". A name without a sign is ascending.
  std::string Fields;
};

class Database;
class TableDef;

// A collection of a table definition. On a new table definition it holds the objects
// that will be created with the table; on one read from a database it reads and appends
// through to the database.
class FieldCollection {
 public:
  int32_t Count() const;
  Field Item(int32_t position) const;       // 0-based; kErrItemNotFound when out of range
  Field Item(std::string_view name) const;  // case-insensitive; kErrItemNotFound
  void Append(const Field& field);

 private:
  friend class TableDef;
  explicit FieldCollection(TableDef* owner) : owner_(owner) {}
  TableDef* owner_;
};

class IndexCollection {
 public:
  int32_t Count() const;
  Index Item(int32_t position) const;
  Index Item(std::string_view name) const;
  void Append(const Index& index);

 private:
  friend class TableDef;
  explicit IndexCollection(TableDef* owner) : owner_(owner) {}
  TableDef* owner_;
};

// A table definition: either new (made by the caller, filled in, then appended to a
// database's TableDefs) or read from a database. One read from a database refers to it
// and must not outlive it.
class TableDef {
 public:
  TableDef() = default;
  explicit TableDef(std::string name) : Name(std::move(name)) {}

  std::string Name;
  FieldCollection Fields() { return FieldCollection(this); }
  IndexCollection Indexes() { return IndexCollection(this); }

  // Snapshot of the columns and indexes, in creation order.
  const std::vector<Field>& FieldList() const { return fields_; }
  const std::vector<Index>& IndexList() const { return indexes_; }

  // Used by the backends when they hand out a definition read from a database.
  static TableDef Attached(Database* owner, std::string name, std::vector<Field> fields,
                           std::vector<Index> indexes);
  Database* Owner() const { return owner_; }

 private:
  friend class FieldCollection;
  friend class IndexCollection;
  Database* owner_ = nullptr;
  std::vector<Field> fields_;
  std::vector<Index> indexes_;
};

// A table-type recordset, used for counting rows.
class Recordset {
 public:
  virtual ~Recordset() = default;
  virtual void MoveLast() = 0;        // kErrNoCurrentRecord on an empty table
  virtual int32_t RecordCount() = 0;  // exact row count (after MoveLast)
  virtual void Close() = 0;           // closing twice is harmless
};

class Database;

class TableDefCollection {
 public:
  int32_t Count() const;
  TableDef Item(int32_t position) const;       // 0-based, creation order
  TableDef Item(std::string_view name) const;  // case-insensitive
  void Append(const TableDef& table);          // kErrTableExists when the name is taken

 private:
  friend class Database;
  explicit TableDefCollection(Database* db) : db_(db) {}
  Database* db_;
};

// An open database file. Every call on a closed database fails with kErrNotOpen.
class Database {
 public:
  virtual ~Database() = default;

  TableDefCollection TableDefs() { return TableDefCollection(this); }

  virtual const std::string& Name() const = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;  // closing twice is harmless
  // Make-table copy "SELECT * INTO [T] IN 'file' FROM [T]", or any SQLite statement.
  virtual void Execute(const std::string& sql) = 0;
  virtual std::unique_ptr<Recordset> OpenTable(const std::string& name) = 0;

  // What the collections are built on. Positions are 0-based, in creation order; names
  // match without regard to case.
  virtual int32_t TableCount() = 0;
  virtual TableDef ReadTable(int32_t position) = 0;
  virtual TableDef ReadTable(std::string_view name) = 0;
  virtual void AppendTable(const TableDef& table) = 0;
  virtual void AppendField(std::string_view table, const Field& field) = 0;
  virtual void AppendIndex(std::string_view table, const Index& index) = 0;
};

// A database handle that was never opened: every call fails with kErrNotOpen. Operations
// hand it on where their caller could not open the file.
std::unique_ptr<Database> NotOpenDatabase(std::string name = {});

// Rolls back what a writer killed inside a transaction left in the file (its hot journal),
// as the first read-write open would. A read-only open cannot do it and fails, and a
// change stamp taken before it no longer matches once it happened, so work that compacts,
// stamps or copies the file does this first. Failures are ignored: a file that is held,
// missing or damaged is found out by the work that follows.
void BringToCommittedState(const std::string& path);

// Progress of long engine work: what is being done, units done, units in all.
using ProgressFn = std::function<void(std::string_view stage, uint64_t done, uint64_t total)>;

class DatabaseEngine {
 public:
  virtual ~DatabaseEngine() = default;

  // exclusive: true locks out every other open (in any process); empty or false opens
  // shared. readOnly opens without write access.
  virtual std::unique_ptr<Database> OpenDatabase(const std::string& name,
                                                 std::optional<bool> exclusive = {},
                                                 std::optional<bool> readOnly = {},
                                                 std::optional<std::string> connect = {}) = 0;
  // Fails with kErrDatabaseExists when the file exists. The new database is open.
  virtual std::unique_ptr<Database> CreateDatabase(const std::string& name,
                                                   const std::string& locale,
                                                   int32_t option = 0) = 0;
  // Writes a compacted copy of a closed source to a new destination, synced to disk.
  virtual void CompactDatabase(const std::string& source, const std::string& destination,
                               const std::string& locale = {},
                               std::optional<int32_t> options = {}) = 0;
  // Repairs a closed file in place; kErrCannotRepair when nothing can be salvaged.
  // A damaged file is replaced by its salvaged copy; the damaged original is kept beside
  // it as "<name>.damaged" (an older one of that name is replaced).
  virtual void RepairDatabase(const std::string& name) = 0;
  // Says that the next repair of `name` is followed by its compaction. A repair that finds
  // the file sound may then make the compacted copy while it checks, and the compaction
  // takes that copy if the file has not changed since.
  virtual void CompactionFollows(const std::string& name) { (void)name; }
  // Hands the next repair a reading to take of `name` as it stands before the repair: the
  // repair calls `read` once it holds the file, before it changes anything and while it
  // makes the copy CompactionFollows asked for, so that the two share the file's reads. It
  // is not called when the repair fails before that or cannot open the file as a database.
  // The next RepairDatabase takes it, whatever its file; an empty `read` withdraws it.
  virtual void ReadBeforeRepair(const std::string& name, std::function<void(Database&)> read) = 0;
  virtual void Idle(int32_t action) = 0;
  // A transaction over every open database of the engine.
  virtual void BeginTrans() = 0;
  virtual void CommitTrans(int32_t option = 0) = 0;

  // Where long work reports how far it is. Called at most a few times a second.
  virtual void SetProgress(ProgressFn progress) = 0;
};

// The engine of this process, created on first use and kept until exit.
DatabaseEngine& DBEngine();
// Puts another engine (a test's fault-injecting wrapper) in front; nullptr restores the
// real one. Returns the engine that was in place.
DatabaseEngine* SetDBEngine(DatabaseEngine* engine);
// The real SQLite-backed engine, for wrappers to forward to.
DatabaseEngine& SqliteEngine();

}  // namespace tidewell::engine
