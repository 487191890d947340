#include "tests/support/crawl_tables.h"

#include <sqlite3.h>

#include <stdexcept>

#include "engine/engine.h"
#include "tests/support/files.h"

namespace tidewell::testing {

void MakeDatabase(const std::string& path, const std::vector<std::pair<std::string, int>>& tables,
                  int url_bytes) {
  auto db = engine::DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 0);
  for (const auto& [name, rows] : tables) {
    engine::TableDef def(name);
    def.Fields().Append({"ID", engine::dbLong, 4, engine::dbFixedField, false});
    def.Fields().Append({"Url", engine::dbMemo, 0, engine::dbVariableField, true});
    db->TableDefs().Append(def);
  }
  // Filled after all tables exist, one table after the other, so that each table's rows
  // lie on their own run of pages.
  for (const auto& [name, rows] : tables) {
    if (rows == 0) continue;
    db->Execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(rows) + ") INSERT INTO [" + name +
                "] (ID, Url) SELECT i, 'http://example.org/' || i || '/' || substr(hex(zeroblob(" +
                std::to_string(url_bytes) + ")), 1, " + std::to_string(url_bytes) + ") FROM n");
  }
  db->Close();
}

namespace {

template <class Fn>
bool WithStatement(const std::string& path, const std::string& sql, Fn&& fn) {
  sqlite3* db = nullptr;
  bool ok = false;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK) ok = fn(st);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return ok;
}

}  // namespace

int64_t RowCount(const std::string& path, const std::string& table) {
  int64_t rows = -1;
  WithStatement(path, "SELECT count(*) FROM \"" + table + "\"", [&](sqlite3_stmt* st) {
    if (sqlite3_step(st) != SQLITE_ROW) return false;
    rows = sqlite3_column_int64(st, 0);
    return true;
  });
  return rows;
}

std::string DigestOf(const std::string& path, const std::string& table) {
  uint64_t hash = 1469598103934665603ull;
  int64_t rows = 0;
  bool ok = WithStatement(path, "SELECT ID, Url FROM \"" + table + "\" ORDER BY ID",
                          [&](sqlite3_stmt* st) {
                            int rc;
                            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                              ++rows;
                              std::string row = std::to_string(sqlite3_column_int64(st, 0)) + "|";
                              if (auto* t = sqlite3_column_text(st, 1))
                                row += reinterpret_cast<const char*>(t);
                              for (unsigned char c : row) hash = (hash ^ c) * 1099511628211ull;
                            }
                            return rc == SQLITE_DONE;
                          });
  if (!ok) return {};
  return std::to_string(rows) + ":" + std::to_string(hash);
}

uint32_t FreePages(const std::string& path) {
  const std::string h = ReadAll(path).substr(0, 100);
  if (h.size() < 40) return 0;
  return (uint32_t(uint8_t(h[36])) << 24) | (uint32_t(uint8_t(h[37])) << 16) |
         (uint32_t(uint8_t(h[38])) << 8) | uint32_t(uint8_t(h[39]));
}

}  // namespace tidewell::testing
