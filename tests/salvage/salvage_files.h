// Helpers of the salvage tests: small databases made with SQLite, their pages looked up
// through dbstat, and rows read back for comparison.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tidewell::testing {

inline void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  char* err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("test SQL failed: " + msg);
}

// rowid -> the row's values, typed, as one comparable string.
using Rows = std::map<int64_t, std::string>;

// The columns of the current row from `first` on, typed, as one comparable string.
inline std::string RowText(sqlite3_stmt* st, int first) {
  std::string r;
  for (int c = first; c < sqlite3_column_count(st); ++c) {
    int t = sqlite3_column_type(st, c);
    r += std::to_string(t) + ":";
    if (t == SQLITE_FLOAT) {
      r += std::to_string(sqlite3_column_double(st, c));
    } else if (t != SQLITE_NULL) {
      r += std::string(static_cast<const char*>(sqlite3_column_blob(st, c)),
                       static_cast<size_t>(sqlite3_column_bytes(st, c)));
    }
    r += "|";
  }
  return r;
}

// Runs `sql` read-only and hands each row's statement to `row`.
template <typename Fn>
void EachRow(const std::string& path, const std::string& sql, Fn row) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) row(st);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
}

inline Rows ReadRows(const std::string& path, const std::string& table) {
  Rows out;
  EachRow(path, "SELECT rowid, * FROM \"" + table + "\"",
          [&](sqlite3_stmt* st) { out[sqlite3_column_int64(st, 0)] = RowText(st, 1); });
  return out;
}

// Every row of a table, with or without a rowid, in a comparable order.
inline std::multiset<std::string> RowSet(const std::string& path, const std::string& table) {
  std::multiset<std::string> out;
  EachRow(path, "SELECT * FROM \"" + table + "\"",
          [&](sqlite3_stmt* st) { out.insert(RowText(st, 0)); });
  return out;
}

inline std::vector<std::string> Names(const std::string& path, const std::string& type) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  std::string sql = "SELECT name FROM sqlite_schema WHERE type = '" + type + "' ORDER BY name";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// Pages of a table or index of the given dbstat type ("internal", "leaf", "overflow").
inline std::vector<uint32_t> PagesOf(const std::string& path, const std::string& name,
                                     const std::string& type) {
  std::vector<uint32_t> out;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT pageno FROM dbstat WHERE name = ?1 AND pagetype = ?2 "
                         "ORDER BY pageno",
                         -1, &st, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, type.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW) {
      out.push_back(static_cast<uint32_t>(sqlite3_column_int(st, 0)));
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// Cells on one page, as SQLite counts them.
inline int CellsOnPage(const std::string& path, uint32_t page) {
  int n = -1;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT ncell FROM dbstat WHERE pageno = ?1", -1, &st, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_int(st, 1, static_cast<int>(page));
    if (sqlite3_step(st) == SQLITE_ROW) n = sqlite3_column_int(st, 0);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return n;
}

}  // namespace tidewell::testing
