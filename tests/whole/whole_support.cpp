#include "tests/whole/whole_support.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>

#include "tools/sample_data.h"

namespace tidewell::whole {

namespace fs = std::filesystem;

const char* Name(Workflow w) {
  switch (w) {
    case Workflow::kStart:
      return "Start";
    case Workflow::kCompress:
      return "Compress";
    case Workflow::kRepair:
      return "Repair";
    case Workflow::kRegenerate:
      return "Regenerate";
  }
  return "?";
}

const char* ClosingMessage(Workflow w) {
  switch (w) {
    case Workflow::kStart:
      return "Done.";
    case Workflow::kCompress:
      return "Done with compress.";
    case Workflow::kRepair:
      return "Done with repair.";
    case Workflow::kRegenerate:
      return "Done with regeneration.";
  }
  return "";
}

Outcome RunWorkflow(Workflow w, testing::ScriptedHost& host, const std::string& db,
                    const std::string& tmpl) {
  FakeWindow window(db, tmpl);
  Runners runners(host, window);
  return runners.Run(w);
}

namespace {

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

struct Connection {
  sqlite3* db = nullptr;
  explicit Connection(const std::string& path) {
    // A journal left by an interrupted write must be rolled back before the file can be read;
    // whoever opens the file next does that, so the check opens it for writing then too.
    std::error_code ec;
    const bool hot = fs::file_size(path + "-journal", ec) > 0 && !ec;
    const int flags = hot ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      sqlite3_close(db);
      db = nullptr;
    } else {
      sqlite3_busy_timeout(db, 5000);
    }
  }
  ~Connection() { sqlite3_close(db); }
};

// Rows of one table on the given columns, or nullopt when the table cannot be read whole.
std::optional<std::vector<std::string>> Rows(sqlite3* db, const std::string& table,
                                             const std::vector<std::string>& columns) {
  std::string sql = "SELECT ";
  for (size_t i = 0; i < columns.size(); ++i) sql += (i ? ", " : "") + Quoted(columns[i]);
  sql += " FROM " + Quoted(table);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return std::nullopt;
  }
  std::vector<std::string> rows;
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(st); ++c) {
      const int type = sqlite3_column_type(st, c);
      row += std::to_string(type) + ":";
      if (type != SQLITE_NULL) {
        const auto* p = static_cast<const char*>(sqlite3_column_blob(st, c));
        row.append(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(st, c)));
      }
      row += '\x1f';
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return std::nullopt;
  std::sort(rows.begin(), rows.end());
  return rows;
}

std::vector<std::string> Columns(sqlite3* db, const std::string& table) {
  std::vector<std::string> cols;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info(?1)", -1, &st, nullptr) ==
      SQLITE_OK) {
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW)
      cols.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  }
  sqlite3_finalize(st);
  return cols;
}

}  // namespace

std::optional<Contents> ReadContents(const std::string& path) {
  if (!fs::is_regular_file(path)) return std::nullopt;
  Connection c(path);
  if (!c.db) return std::nullopt;
  std::vector<std::string> tables;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(c.db,
                         "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT "
                         "LIKE 'sqlite\\_%' ESCAPE '\\' ORDER BY name",
                         -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return std::nullopt;
  }
  int rc;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW)
    tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) return std::nullopt;
  Contents out;
  for (const std::string& t : tables) {
    TableRows table;
    table.columns = Columns(c.db, t);
    auto rows = Rows(c.db, t, table.columns);
    if (!rows) return std::nullopt;
    table.rows = std::move(*rows);
    out[t] = std::move(table);
  }
  return out;
}

bool HoldsAll(const std::string& path, const Contents& original) {
  if (!fs::is_regular_file(path)) return false;
  Connection c(path);
  if (!c.db) return false;
  for (const auto& [name, table] : original) {
    // Read on the original's columns: a regenerated table may have gained fields.
    auto got = Rows(c.db, name, table.columns);
    if (!got || *got != table.rows) return false;
  }
  return true;
}

std::vector<std::string> KeptNames(const std::string& db) {
  std::vector<std::string> names{db};
  if (db.size() >= 3) {
    const std::string base = db.substr(0, db.size() - 3);
    names.push_back(base + "BAK");
    names.push_back(base + "BKK");
  }
  names.push_back(db + ".damaged");
  return names;
}

std::string WhereAllRowsAre(const std::string& db, const Contents& original) {
  for (const std::string& name : KeptNames(db))
    if (HoldsAll(name, original)) return name;
  return {};
}

std::string IntegrityOf(const std::string& path) {
  if (!fs::is_regular_file(path)) return "no file";
  Connection c(path);
  if (!c.db) return "cannot open";
  sqlite3_stmt* st = nullptr;
  std::string result = "no answer";
  if (sqlite3_prepare_v2(c.db, "PRAGMA integrity_check", -1, &st, nullptr) == SQLITE_OK &&
      sqlite3_step(st) == SQLITE_ROW)
    result = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
  else
    result = sqlite3_errmsg(c.db);
  sqlite3_finalize(st);
  return result;
}

SampleFiles MakeSmallSample(const testing::TempDir& dir, int rows) {
  SampleFiles f{dir.File("Vardlink.mdb"), dir.File("Vardlink-Queue.mdb"),
                dir.File("Vardlink_Default.mdb")};
  sample::SampleOptions o;
  o.rows = rows;
  sample::MakeSampleDatabase(f.db, o);
  sample::MakeQueueDatabase(f.queue, o);
  sample::MakeTemplateDatabase(f.tmpl);
  return f;
}

void CopyFiles(const std::vector<std::string>& from, const std::vector<std::string>& to) {
  for (size_t i = 0; i < from.size(); ++i) {
    fs::remove(to[i]);
    fs::copy_file(from[i], to[i]);
  }
}

std::vector<std::string> StrayFiles(const std::string& dir, const std::vector<std::string>& dbs,
                                    const std::vector<std::string>& also_allowed) {
  std::set<std::string> allowed(also_allowed.begin(), also_allowed.end());
  for (const std::string& db : dbs)
    for (const std::string& n : KeptNames(db)) allowed.insert(fs::path(n).filename().string());
  for (const std::string& a : also_allowed) allowed.insert(fs::path(a).filename().string());
  std::vector<std::string> stray;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (!allowed.count(name)) stray.push_back(name);
  }
  std::sort(stray.begin(), stray.end());
  return stray;
}

void DamageTable(const std::string& db, const std::string& table) {
  // The table's root page turned into noise: its rows below the root cannot be reached
  // the ordinary way, the rest of the file is fine.
  testing::FillPage(db, testing::RootPageOf(db, table), 0x5a);
}

std::vector<std::string> BoxTexts(const testing::ScriptedHost& host) {
  std::vector<std::string> texts;
  for (const auto& c : host.Boxes()) texts.push_back(c.text);
  return texts;
}

std::string Listing(const std::string& dir) {
  std::vector<std::string> lines;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    std::ostringstream line;
    line << e.path().lexically_relative(dir).string();
    if (e.is_symlink()) {
      line << " -> " << fs::read_symlink(e.path()).string();
    } else if (e.is_regular_file()) {
      const std::string bytes = testing::ReadAll(e.path().string());
      line << " " << bytes.size() << " " << std::hash<std::string>{}(bytes);
    } else {
      line << "/";
    }
    lines.push_back(line.str());
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const auto& l : lines) out += l + "\n";
  return out;
}

}  // namespace tidewell::whole
