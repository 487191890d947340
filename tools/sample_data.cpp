#include "tools/sample_data.h"

#include <sqlite3.h>

#include <array>
#include <filesystem>
#include <random>
#include <stdexcept>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/file_system.h"
#include "maintenance/modXStrings.h"

namespace tidewell::sample {
namespace {

using engine::DBEngine;
using engine::Field;
using engine::Files;
using engine::Index;
using engine::TableDef;

// A small deterministic generator (the standard distributions differ between libraries).
class Random {
 public:
  explicit Random(uint32_t seed) : gen_(seed) {}
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(gen_() % n); }

 private:
  std::mt19937 gen_;
};

constexpr std::array<const char*, 8> kHosts = {
    "www.example.com",  "shop.example.org", "blog.beispiel.de",   "docs.example.net",
    "news.example.com", "wiki.beispiel.de", "static.example.org", "forum.example.net"};
constexpr std::array<const char*, 24> kWords = {
    "crawler",  "link",    "page",     "index",  "server", "response", "header",  "content",
    "Seite",    "Verweis", "Antwort",  "Inhalt", "anchor", "robots",   "sitemap", "cache",
    "redirect", "status",  "document", "title",  "query",  "fragment", "host",    "path"};
constexpr std::array<int, 6> kStatuses = {200, 200, 200, 301, 404, 500};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

std::string Date(Random& r) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "'2024-%02u-%02u %02u:%02u:%02u'", 1 + r.Below(12),
                1 + r.Below(28), r.Below(24), r.Below(60), r.Below(60));
  return buf;
}

std::string Url(Random& r, int32_t id) {
  return std::string("https://") + kHosts[r.Below(kHosts.size())] + "/" +
         kWords[r.Below(kWords.size())] + "/" + std::to_string(id) + ".html";
}

std::string Text(Random& r, size_t bytes) {
  std::string out;
  out.reserve(bytes + 16);
  while (out.size() < bytes) {
    out += kWords[r.Below(kWords.size())];
    out += (r.Below(12) == 0) ? ".\r\n" : " ";
  }
  out.resize(bytes);
  return out;
}

Field F(const char* name, int16_t type, int32_t size = 0) {
  bool variable = type == engine::dbText || type == engine::dbMemo || type == engine::dbBinary ||
                  type == engine::dbLongBinary;
  if (size == 0) {
    switch (type) {
      case engine::dbByte:
      case engine::dbBoolean:
        size = 1;
        break;
      case engine::dbInteger:
        size = 2;
        break;
      case engine::dbLong:
      case engine::dbSingle:
        size = 4;
        break;
      case engine::dbDouble:
      case engine::dbDate:
      case engine::dbCurrency:
        size = 8;
        break;
      default:
        break;
    }
  }
  return Field{name, type, size, variable ? engine::dbVariableField : engine::dbFixedField,
               variable};
}

TableDef LinksTable(bool with_extras) {
  TableDef t("Links");
  t.Fields().Append(F("ID", engine::dbLong));
  t.Fields().Append(F("Url", engine::dbText, 255));
  t.Fields().Append(F("Status", engine::dbInteger));
  t.Fields().Append(F("Checked", engine::dbDate));
  t.Fields().Append(F("Size", engine::dbLong));
  t.Fields().Append(F("Title", engine::dbText, 200));
  t.Fields().Append(F("ContentType", engine::dbText, 50));
  if (with_extras) t.Fields().Append(F("Depth", engine::dbInteger));
  t.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
  t.Indexes().Append(Index{"Url", false, true, "+Url"});
  t.Indexes().Append(Index{"Checked", false, false, "-Checked;+Url"});
  if (with_extras) t.Indexes().Append(Index{"StatusDepth", false, false, "+Status;-Depth"});
  return t;
}

TableDef PagesTable(bool with_extras) {
  TableDef t("Pages");
  t.Fields().Append(F("ID", engine::dbLong));
  t.Fields().Append(F("LinkID", engine::dbLong));
  t.Fields().Append(F("Fetched", engine::dbDate));
  t.Fields().Append(F("Body", engine::dbMemo));
  if (with_extras) t.Fields().Append(F("Encoding", engine::dbText, 30));
  t.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
  t.Indexes().Append(Index{"LinkID", false, false, "+LinkID"});
  return t;
}

TableDef QueueTable() {
  TableDef t("Queue");
  t.Fields().Append(F("ID", engine::dbLong));
  t.Fields().Append(F("Url", engine::dbText, 255));
  t.Fields().Append(F("Priority", engine::dbByte));
  t.Fields().Append(F("Added", engine::dbDate));
  t.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
  t.Indexes().Append(Index{"Priority", false, false, "-Priority;+Added"});
  return t;
}

TableDef SettingsTable() {
  TableDef t("Settings");
  t.Fields().Append(F("Name", engine::dbText, 64));
  t.Fields().Append(F("Value", engine::dbText, 255));
  t.Indexes().Append(Index{"PrimaryKey", true, true, "+Name"});
  return t;
}

TableDef SitemapsTable() {
  TableDef t("Sitemaps");
  t.Fields().Append(F("ID", engine::dbLong));
  t.Fields().Append(F("Url", engine::dbText, 255));
  t.Fields().Append(F("Read", engine::dbBoolean));
  t.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
  return t;
}

// Rows go in as multi-row INSERT statements inside one transaction per batch.
class Inserter {
 public:
  Inserter(engine::Database& db, std::string head) : db_(db), head_(std::move(head)) {}
  ~Inserter() = default;
  void Row(const std::string& values) {
    sql_ += sql_.empty() ? head_ + " VALUES " : ", ";
    sql_ += "(" + values + ")";
    if (sql_.size() > (1 << 20)) Flush();
  }
  void Flush() {
    if (!sql_.empty()) db_.Execute(sql_);
    sql_.clear();
  }

 private:
  engine::Database& db_;
  std::string head_, sql_;
};

void WriteSettings(engine::Database& db) {
  Inserter settings(db, "INSERT INTO Settings (Name, Value)");
  settings.Row("'StartUrl', 'https://www.example.com/'");
  settings.Row("'MaxDepth', '6'");
  settings.Row("'UserAgent', 'Vardlink/3.2'");
  settings.Row("'LastRun', '2024-11-30 22:15:00'");
  settings.Flush();
}

}  // namespace

std::string QueueDatabaseName(const std::string& path) {
  return DropLastCharacters(path, 4).value_or("") + "-Queue.mdb";
}

namespace {

// A crawler's own file, written with SQLite directly: only SQLite can give the links an
// INTEGER PRIMARY KEY, which keeps the ID in the row itself instead of in an index.
void MakeLinksDatabase(const std::string& path, const SampleOptions& options) {
  if (Files().Exists(path))
    throw engine::EngineException(engine::kErrDatabaseExists, "'" + path + "' already exists.");
  sqlite3* db = nullptr;
  auto exec = [&](const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK) return;
    std::string text = message ? message : "unknown error";
    sqlite3_free(message);
    throw engine::EngineException(engine::kErrDiskIo, "Cannot write '" + path + "': " + text);
  };
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    sqlite3_close(db);
    throw engine::EngineException(engine::kErrNoPermission, "Cannot create '" + path + "'.");
  }
  try {
    Random r(options.seed);
    // Speed of making the sample only; the file is synced once at the end.
    exec(
        "PRAGMA synchronous = OFF; PRAGMA journal_mode = MEMORY; PRAGMA cache_size = -65536;"
        "PRAGMA application_id = 82052105; PRAGMA user_version = 32");
    exec(
        "CREATE TABLE Links (ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Status INTEGER, "
        "Checked TEXT, Size INTEGER, Title TEXT, ContentType TEXT)");
    exec("CREATE UNIQUE INDEX Url ON Links (Url)");
    exec("CREATE INDEX Checked ON Links (Checked DESC, Url)");
    exec("CREATE TABLE Settings (Name TEXT PRIMARY KEY, Value TEXT)");
    exec(
        "INSERT INTO Settings VALUES ('StartUrl', 'https://www.example.com/'), "
        "('MaxDepth', '6'), ('UserAgent', 'Vardlink/3.2')");
    const int32_t rows = options.size_mb > 0 ? options.size_mb * 4500 : options.rows;
    exec("BEGIN");
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO Links VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)", -1, &insert,
                       nullptr);
    for (int32_t id = 1; id <= rows; ++id) {
      const std::string url = Url(r, id), title = Text(r, 4 + r.Below(24));
      std::string date = Date(r);
      date = date.substr(1, date.size() - 2);  // without the quotes of the SQL literal
      sqlite3_bind_int(insert, 1, id);
      sqlite3_bind_text(insert, 2, url.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 3, kStatuses[r.Below(kStatuses.size())]);
      sqlite3_bind_text(insert, 4, date.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_int(insert, 5, static_cast<int>(500 + r.Below(200000)));
      sqlite3_bind_text(insert, 6, title.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(insert, 7, r.Below(5) == 0 ? "application/pdf" : "text/html", -1,
                        SQLITE_STATIC);
      const int rc = sqlite3_step(insert);
      sqlite3_reset(insert);
      if (rc != SQLITE_DONE) {
        sqlite3_finalize(insert);
        exec("ROLLBACK");
        throw engine::EngineException(engine::kErrDiskIo, "Cannot write '" + path + "'.");
      }
      if (id % 100000 == 0) exec("COMMIT; BEGIN");
    }
    sqlite3_finalize(insert);
    exec("COMMIT");
    // A crawler drops links in runs (a host that went away, an old crawl): whole table
    // pages become free pages, while the URL index only thins out.
    exec("DELETE FROM Links WHERE (ID / 500) % 4 = 1");
  } catch (...) {
    sqlite3_close(db);
    throw;
  }
  sqlite3_close(db);
  Files().SyncFile(path);
}

}  // namespace

void MakeSampleDatabase(const std::string& path, const SampleOptions& options) {
  if (options.shape == Shape::kLinks) return MakeLinksDatabase(path, options);
  Random r(options.seed);
  auto db = DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 32);
  db->TableDefs().Append(LinksTable(false));
  db->TableDefs().Append(PagesTable(false));
  db->TableDefs().Append(QueueTable());
  db->TableDefs().Append(SettingsTable());

  const bool by_size = options.size_mb > 0;
  const int64_t target = int64_t{options.size_mb} * 1024 * 1024;
  const int32_t links = by_size ? std::max<int32_t>(1000, options.size_mb * 40) : options.rows;

  DBEngine().BeginTrans();
  Inserter link_rows(*db, "INSERT INTO Links (ID, Url, Status, Checked, Size, Title, ContentType)");
  for (int32_t id = 1; id <= links; ++id) {
    int status = kStatuses[r.Below(kStatuses.size())];
    link_rows.Row(std::to_string(id) + ", " + Quote(Url(r, id)) + ", " + std::to_string(status) +
                  ", " + Date(r) + ", " + std::to_string(500 + r.Below(200000)) + ", " +
                  Quote(Text(r, 20 + r.Below(60))) + ", " +
                  (r.Below(5) == 0 ? "'application/pdf'" : "'text/html'"));
  }
  link_rows.Flush();
  Inserter queue_rows(*db, "INSERT INTO Queue (ID, Url, Priority, Added)");
  for (int32_t id = 1; id <= std::max(10, links / 10); ++id)
    queue_rows.Row(std::to_string(id) + ", " + Quote(Url(r, links + id)) + ", " +
                   std::to_string(r.Below(10)) + ", " + Date(r));
  queue_rows.Flush();
  WriteSettings(*db);
  DBEngine().CommitTrans(engine::dbForceOSFlush);

  // Pages carry the bulk: large bodies spill into overflow pages, which deleting a third
  // of the rows turns into free pages.
  Inserter page_rows(*db, "INSERT INTO Pages (ID, LinkID, Fetched, Body)");
  int64_t written = 0;
  // The file ends about 18 % larger than the text written (rows, pages, indexes).
  const int64_t goal = by_size ? target * 85 / 100 : 0;
  DBEngine().BeginTrans();
  for (int32_t id = 1;; ++id) {
    if (by_size ? written >= goal : id > options.rows / 2) break;
    size_t body = by_size ? 2000 + r.Below(8000) : 200 + r.Below(6000);
    page_rows.Row(std::to_string(id) + ", " + std::to_string(1 + r.Below(links)) + ", " + Date(r) +
                  ", " + Quote(Text(r, body)));
    written += static_cast<int64_t>(body) + 40;
    if (id % 2000 == 0) {
      page_rows.Flush();
      DBEngine().CommitTrans(engine::dbForceOSFlush);
      DBEngine().BeginTrans();
    }
  }
  page_rows.Flush();
  DBEngine().CommitTrans(engine::dbForceOSFlush);
  db->Execute("DELETE FROM Pages WHERE ID % 3 = 0");
  db->Execute("DELETE FROM Links WHERE ID % 7 = 0");
  db->Close();
}

void MakeQueueDatabase(const std::string& path, const SampleOptions& options) {
  Random r(options.seed + 7);
  auto db = DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 32);
  db->TableDefs().Append(QueueTable());
  TableDef hosts("Hosts");
  hosts.Fields().Append(F("Host", engine::dbText, 100));
  hosts.Fields().Append(F("LastVisit", engine::dbDate));
  hosts.Fields().Append(F("Blocked", engine::dbBoolean));
  hosts.Indexes().Append(Index{"PrimaryKey", true, true, "+Host"});
  db->TableDefs().Append(hosts);
  DBEngine().BeginTrans();
  Inserter queue_rows(*db, "INSERT INTO Queue (ID, Url, Priority, Added)");
  int32_t rows = std::max(20, options.rows / 2);
  for (int32_t id = 1; id <= rows; ++id)
    queue_rows.Row(std::to_string(id) + ", " + Quote(Url(r, id)) + ", " +
                   std::to_string(r.Below(10)) + ", " + Date(r));
  queue_rows.Flush();
  Inserter host_rows(*db, "INSERT INTO Hosts (Host, LastVisit, Blocked)");
  for (const char* host : kHosts)
    host_rows.Row(Quote(host) + ", " + Date(r) + ", " + (r.Below(4) == 0 ? "1" : "0"));
  host_rows.Flush();
  DBEngine().CommitTrans(engine::dbForceOSFlush);
  db->Execute("DELETE FROM Queue WHERE ID % 4 = 0");
  db->Close();
}

void MakeTemplateDatabase(const std::string& path) {
  auto db = DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 32);
  db->TableDefs().Append(LinksTable(true));
  db->TableDefs().Append(PagesTable(true));
  db->TableDefs().Append(QueueTable());
  db->TableDefs().Append(SettingsTable());
  db->TableDefs().Append(SitemapsTable());
  WriteSettings(*db);
  db->Close();
  // The engine makes every new database private to its maker; a template is read by
  // whoever regenerates, as the crawler's installer leaves it.
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write |
                std::filesystem::perms::group_read | std::filesystem::perms::others_read);
}

std::vector<std::string> TemplateExtras() {
  return {"Sitemaps", "Links.Depth", "Pages.Encoding", "Links!StatusDepth"};
}

std::vector<std::pair<std::string, int32_t>> TableRowCounts(const std::string& path) {
  auto db = DBEngine().OpenDatabase(path, false, true);
  std::vector<std::pair<std::string, int32_t>> out;
  int32_t n = db->TableDefs().Count();
  for (int32_t i = 0; i < n; ++i) {
    std::string name = db->TableDefs().Item(i).Name;
    auto rs = db->OpenTable(name);
    out.emplace_back(name, rs->RecordCount());
    rs->Close();
  }
  db->Close();
  return out;
}

}  // namespace tidewell::sample
