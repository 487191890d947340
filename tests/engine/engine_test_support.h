// Helpers for the engine's tests: the error number a call fails with, plain SQLite access
// to build files the way other programs would, and pages of a table to break.
#pragma once

#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/engine.h"

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
inline void RawExec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open(path.c_str(), &db);
  char* err = nullptr;
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string message = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("raw sql failed: " + message);
}

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

// Leaf pages of a table's b-tree, in key order.
inline std::vector<uint32_t> LeafPagesOf(const std::string& path, const std::string& table) {
  sqlite3* db = nullptr;
  std::vector<uint32_t> pages;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT pageno FROM dbstat WHERE name = ?1 AND pagetype = 'leaf' "
                           "ORDER BY path",
                           -1, &st, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
      while (sqlite3_step(st) == SQLITE_ROW)
        pages.push_back(static_cast<uint32_t>(sqlite3_column_int64(st, 0)));
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return pages;
}

inline int32_t CountRows(Database& db, const std::string& table) {
  auto rs = db.OpenTable(table);
  int32_t n = rs->RecordCount();
  rs->Close();
  return n;
}

}  // namespace tidewell::engine::test
