#include "repair/tableAnalysis.h"

#include <memory>

#include "engine/errors.h"
#include "maintenance/modXStrings.h"

namespace tidewell {
namespace {

// Counts one table into `field`. A table that does not open gets `open_failed`; a count
// that cannot be read leaves the field as it stood. An empty table has no last record, so
// MoveLast failing on it is expected and ignored.
void CountTable(engine::Database& db, const std::string& name, int32_t& field,
                int32_t open_failed) {
  engine::PendingError err;
  std::unique_ptr<engine::Recordset> rs;
  if (!err.Run([&] { rs = db.OpenTable(name); }) || !rs) {
    field = open_failed;
    return;
  }
  err.Run([&] { rs->MoveLast(); });
  err.Run([&] {
    int32_t count = rs->RecordCount();
    field = count;
  });
  err.Run([&] { rs->Close(); });
}

}  // namespace

bool IsSystemTableName(std::string_view name) {
  if (name.size() < 4) return false;
  static constexpr char kPrefix[] = "MSYS";
  for (size_t i = 0; i < 4; ++i) {
    char c = name[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != kPrefix[i]) return false;
  }
  return true;
}

void dbCountBefore(engine::Database& database, TableCounts& list) {
  engine::PendingError err;
  int32_t tables = 0;
  err.Run([&] { tables = database.TableDefs().Count(); });
  for (int32_t i = 0; i < tables; ++i) {
    std::string name;
    // A definition that cannot be read is left out rather than guessed at.
    if (!err.Run([&] { name = database.TableDefs().Item(i).Name; })) continue;
    if (IsSystemTableName(name)) continue;
    const auto position = static_cast<size_t>(i);
    list.Cover(position);
    list[position].name = name;
    CountTable(database, name, list[position].before, kNotOpenedBefore);
    list[position].after = kNotCountedAfter;
    err.Clear();
  }
}

void dbCountAfter(engine::Database& database, TableCounts& list) {
  for (size_t i = 0; i < list.Size(); ++i) {
    TableCount& entry = list[i];
    if (entry.name.empty()) continue;
    CountTable(database, entry.name, entry.after, kNotOpenedAfter);
  }
}

void dbAnalyse(Host& host, const TableCounts& list, const std::string& psDbName, bool pbShowAnalyse,
               std::string& return_text) {
  std::string report;
  for (size_t i = 0; i < list.Size(); ++i) {
    const TableCount& e = list[i];
    if (e.name.empty()) continue;
    const std::string before = std::to_string(e.before);
    const std::string after = std::to_string(e.after);
    std::string line;
    if (e.before == -1 && e.after >= 0) {
      line = FormatStr("Table %1% was corrupt before and now has %2% records.", e.name, after);
    } else if (e.before >= 0 && e.after < 0) {
      line = FormatStr("Table %1% was not found after the repair (had %2% records before).", e.name,
                       before);
    } else if (e.before > e.after) {
      line = FormatStr("Table %1% was shortened from %2% to %3% records (probably empty space).",
                       e.name, before, after);
    } else if (e.before < e.after) {
      line = FormatStr("Table %1% was expanded from %2% to %3% records (recovered space).", e.name,
                       before, after);
    }
    if (!line.empty()) {
      report += "\r\n\r\n" + line;
      return_text += "; " + line;
    }
    if (e.before != e.after)
      return_text += "; " + FormatStr("before %1%, after %2% records", before, after);
  }
  if (!report.empty() && pbShowAnalyse) {
    host.MsgBox(FormatStr("Analysis of the repaired/compacted database '%1%' resulted in the "
                          "following:",
                          psDbName) +
                    report,
                vbInformation);
  }
}

}  // namespace tidewell
