#include "tests/support/crawl_tables.h"

#include <functional>

#include "engine/engine.h"
#include "tests/support/files.h"
#include "tests/support/queries.h"

namespace tidewell::testing {

engine::TableDef Def(const std::string& name, const std::vector<engine::Field>& fields,
                     const std::vector<engine::Index>& indexes) {
  engine::TableDef t(name);
  for (const engine::Field& f : fields) t.Fields().Append(f);
  for (const engine::Index& i : indexes) t.Indexes().Append(i);
  return t;
}

void MakeDatabase(const std::string& path, const std::vector<std::pair<std::string, int>>& tables,
                  int url_bytes) {
  auto db = engine::DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 0);
  for (const auto& [name, rows] : tables)
    db->TableDefs().Append(Def(name, {{"ID", engine::dbLong, 4, engine::dbFixedField, false},
                                      {"Url", engine::dbMemo, 0, engine::dbVariableField, true}}));
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

int64_t RowCount(const std::string& path, const std::string& table) {
  return QueryInt(path, "SELECT count(*) FROM \"" + table + "\"");
}

std::string DigestOf(const std::string& path, const std::string& table) {
  const int64_t rows = RowCount(path, table);
  if (rows < 0) return {};
  std::string all;
  for (const std::string& row : Query(path, "SELECT ID, Url FROM \"" + table + "\" ORDER BY ID"))
    all += row + "\n";
  return std::to_string(rows) + ":" + std::to_string(std::hash<std::string>{}(all));
}

uint32_t FreePages(const std::string& path) {
  const std::string h = ReadAll(path).substr(0, 100);
  return h.size() < 40 ? 0 : BigEndian32(h, 36);
}

}  // namespace tidewell::testing
