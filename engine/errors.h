// Error numbers of the engine and the pending-error model every operation runs under.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace tidewell::engine {

// One table of numbers for the whole tool. 3010, 3049 and 3056 are fixed by the crawler's
// conventions; the rest are ours. Descriptions are built where the error arises so that
// they can name the file or object involved (see MakeError).
enum ErrorNumber : int32_t {
  kErrInvalidArgument = 3001,  // an argument is out of range or malformed
  kErrTableExists = 3010,      // a table of that name exists (fixed)
  kErrObjectExists = 3012,     // an index or field of that name exists
  kErrFileNotFound = 3024,     // the file does not exist
  kErrDiskIo = 3043,           // read, write or sync of a file failed
  kErrFileInUse = 3045,        // another open holds the file
  kErrNotADatabase = 3049,     // not a database, or its header or catalog is damaged (fixed)
  kErrNoPermission = 3051,     // the file or its folder cannot be opened for writing
  kErrCannotRepair = 3056,     // the file cannot be repaired (fixed)
  kErrSyntax = 3075,           // a statement the engine cannot parse
  kErrNoSuchTable = 3078,      // a statement names a table that does not exist
  kErrTableDamaged = 3112,     // a table's pages cannot be read
  kErrDatabaseExists = 3204,   // CreateDatabase/CompactDatabase onto an existing file
  kErrItemNotFound = 3265,     // Item(name) or Item(position) found nothing
  kErrPrimaryExists = 3283,    // a second primary index
  kErrNoCurrentRecord = 3021,  // MoveLast on an empty recordset
  kErrNotOpen = 3420,          // the database or recordset is closed or was never opened
  kErrFieldMissing = 3264,     // an index names a field the table lacks, or a table has none
  kErrInvalidName = 3125,      // an empty or unusable object name
  kErrSqlite = 3146,           // SQLite reported an error we do not map more closely
  kErrDuplicateKey = 3022,     // a unique or primary index would get a duplicate value
  kErrNoTransaction = 3034,    // CommitTrans without BeginTrans
  kErrInvalidType = 3259,      // a field type code the engine does not know
};

struct EngineError {
  int32_t number = 0;
  std::string description;
};

// Thrown by every engine call that fails. Operations never catch it themselves: they run
// each step through PendingError::Run, which keeps the failure for later steps to read.
class EngineException {
 public:
  explicit EngineException(EngineError e) : error_(std::move(e)) {}
  EngineException(int32_t number, std::string description)
      : error_{number, std::move(description)} {}
  const EngineError& error() const { return error_; }

 private:
  EngineError error_;
};

[[noreturn]] void Raise(int32_t number, std::string description);

// The error left behind by the last step that failed, until cleared.
class PendingError {
 public:
  void Clear() { error_ = {}; }
  int32_t Number() const { return error_.number; }
  const std::string& Description() const { return error_.description; }
  bool Failed() const { return error_.number != 0; }
  void Set(EngineError e) { error_ = std::move(e); }

  // Runs one step. A failure is stored (replacing any earlier one) instead of propagating;
  // success leaves the pending error as it was, as "continue on error" does.
  // Returns true when the step succeeded.
  template <class Step>
  bool Run(Step&& step) {
    try {
      std::forward<Step>(step)();
      return true;
    } catch (const EngineException& e) {
      error_ = e.error();
      return false;
    }
  }

 private:
  EngineError error_;
};

}  // namespace tidewell::engine
