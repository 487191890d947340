// A database read back with plain SQLite, without the code under test: rows for comparison,
// numbers, and pages looked up through dbstat.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace tidewell::testing {

// Each row of a read-only query as one comparable string of its typed values; none when
// the query cannot be prepared.
inline std::vector<std::string> Query(const std::string& path, const std::string& sql) {
  std::vector<std::string> out;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr);
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    std::string r;
    for (int c = 0; c < sqlite3_column_count(st); ++c) {
      r += std::to_string(sqlite3_column_type(st, c)) + ":";  // before the text conversion
      const unsigned char* text = sqlite3_column_text(st, c);
      if (text) r.append(reinterpret_cast<const char*>(text), size_t(sqlite3_column_bytes(st, c)));
      r += "|";
    }
    out.push_back(r);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return out;
}

// The first value of a query's first row as a number; -1 when there is none.
inline int64_t QueryInt(const std::string& path, const std::string& sql) {
  const std::vector<std::string> rows = Query(path, sql);  // "type:value|"
  return rows.empty() ? -1 : std::stoll(rows[0].substr(2));
}

// The cells on a page, as dbstat counts them.
inline size_t Cells(const std::string& path, uint32_t page) {
  return size_t(QueryInt(path, "SELECT ncell FROM dbstat WHERE pageno = " + std::to_string(page)));
}

// Every row of a table with its rowid when it has one, in a comparable order.
inline std::multiset<std::string> RowSet(const std::string& path, const std::string& table) {
  std::vector<std::string> rows = Query(path, "SELECT rowid, * FROM \"" + table + "\"");
  if (rows.empty()) rows = Query(path, "SELECT * FROM \"" + table + "\"");
  return {rows.begin(), rows.end()};
}

// The page numbers a query answers, one a row.
inline std::vector<uint32_t> Pages(const std::string& path, const std::string& sql) {
  std::vector<uint32_t> out;
  for (const std::string& row : Query(path, sql))
    out.push_back(static_cast<uint32_t>(std::stoul(row.substr(2))));
  return out;
}

// Pages of a table or index of the given dbstat type ("internal", "leaf", "overflow"), in
// the order of their numbers or, with order "path", of their keys.
inline std::vector<uint32_t> PagesOf(const std::string& path, const std::string& name,
                                     const std::string& type, const std::string& order = "1") {
  return Pages(path, "SELECT pageno FROM dbstat WHERE name = '" + name + "' AND pagetype = '" +
                         type + "' ORDER BY " + order);
}

}  // namespace tidewell::testing
