#include <sqlite3.h>
#include <sys/stat.h>

#include "cli/console.h"
#include "engine/engine.h"
#include "workflows/modXFiles.h"

namespace tidewell::cli {
namespace {

std::string Describe(const engine::EngineException& e) {
  return std::to_string(e.error().number) + ": " + e.error().description;
}

// The file format's own structural check, read-only. The engine has no call for it, and
// a look that changes nothing needs none of its locking.
std::vector<std::string> QuickCheck(const std::string& path) {
  std::vector<std::string> problems;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    problems.push_back(db ? sqlite3_errmsg(db) : "cannot open");
    sqlite3_close(db);
    return problems;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "PRAGMA quick_check", -1, &st, nullptr) != SQLITE_OK) {
    problems.push_back(sqlite3_errmsg(db));
  } else {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      // One row may carry several problems, one per line.
      std::string row = text ? text : "";
      size_t from = 0;
      while (from < row.size()) {
        size_t end = row.find('\n', from);
        if (end == std::string::npos) end = row.size();
        const std::string line = row.substr(from, end - from);
        if (!line.empty() && line != "ok" && line.rfind("*** in database", 0) != 0)
          problems.push_back(line);
        from = end + 1;
      }
    }
    if (rc != SQLITE_DONE) problems.push_back(sqlite3_errmsg(db));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return problems;
}

}  // namespace

bool FileCheck::Sound() const {
  if (!found || !opened || !integrity.empty()) return false;
  for (const TableCount& t : tables)
    if (!t.ok) return false;
  return true;
}

FileCheck CheckDatabase(const std::string& path) {
  FileCheck check;
  check.path = path;
  check.found = FileExists(path);
  if (!check.found) return check;

  // Measured before this process opens the file with SQLite: the lock probes cannot see
  // this process's own locks, and closing a descriptor would drop them.
  check.space = MeasureSpace(path);
  check.journal = InspectJournal(path);
  check.wal = InspectWal(path);
  struct stat st {};
  const bool has_shm = ::lstat((path + "-shm").c_str(), &st) == 0;
  check.left_unopened =
      check.journal.hot || (check.space.wal_mode && (!has_shm || !check.wal.present));
  if (check.journal.hot) {
    check.open_error =
        "not opened: a hot journal is beside it (a write was cut off); a read-only open cannot "
        "roll it back, and check leaves it alone. The next repair or compaction rolls it back.";
    return check;
  }
  if (check.left_unopened) {
    check.open_error =
        "not opened: a WAL-mode file without both its -wal and -shm files; a read-only open "
        "would create them beside it.";
    return check;
  }

  std::unique_ptr<engine::Database> db;
  try {
    db = engine::DBEngine().OpenDatabase(path, false, true);
    check.opened = true;
  } catch (const engine::EngineException& e) {
    check.open_error = Describe(e);
    return check;
  }
  int32_t count = 0;
  try {
    count = db->TableCount();
  } catch (const engine::EngineException& e) {
    check.opened = false;
    check.open_error = Describe(e);
  }
  for (int32_t i = 0; i < count; ++i) {
    TableCount t;
    try {
      t.name = db->ReadTable(i).Name;
      std::unique_ptr<engine::Recordset> rs = db->OpenTable(t.name);
      try {
        rs->MoveLast();
      } catch (const engine::EngineException& e) {
        if (e.error().number != engine::kErrNoCurrentRecord) throw;
      }
      t.records = rs->RecordCount();
      rs->Close();
      t.ok = true;
    } catch (const engine::EngineException& e) {
      t.error = Describe(e);
    }
    check.tables.push_back(std::move(t));
  }
  try {
    db->Close();
  } catch (const engine::EngineException&) {
  }
  check.integrity = QuickCheck(path);
  return check;
}

}  // namespace tidewell::cli
