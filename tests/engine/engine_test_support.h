// Helpers for the engine's tests: the error number a call fails with, and plain SQLite
// access to build and read files the way other programs would.
#pragma once

#include <sqlite3.h>

#include <string>

#include "engine/engine.h"
#include "tests/salvage/salvage_files.h"

namespace tidewell::engine::test {

// 0 when the call succeeds, else the engine's error number.
template <class F>
int32_t ErrorOf(F&& f) {
  try {
    f();
  } catch (const EngineException& e) {
    return e.error().number;
  }
  return 0;
}

// Runs SQL on a file through a plain SQLite connection (not the engine).
inline constexpr auto& RawExec = tidewell::testing::Sql;

// One integer from a plain SQLite query, or -1 on any error.
inline int64_t RawInt(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int64_t out = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      out = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

inline int32_t CountRows(Database& db, const std::string& table) {
  auto rs = db.OpenTable(table);
  int32_t n = rs->RecordCount();
  rs->Close();
  return n;
}

}  // namespace tidewell::engine::test
