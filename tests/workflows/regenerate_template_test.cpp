// Regenerate with the real operations on files another program wrote: with a template the
// database gains the template's structure; without one nothing is touched at all.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <set>

#include "tests/support/files.h"
#include "tests/support/scripted_host.h"
#include "workflows/runners.h"

namespace tidewell {
namespace {

void Exec(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK) << path;
  char* error = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << " in " << path;
  sqlite3_free(error);
  sqlite3_close(db);
}

// One line per table column and per index, read with plain SQLite; an index under the
// engine's own encoded name is listed by the name the engine shows for it (its last part).
std::string Shape(const std::string& path) {
  sqlite3* db = nullptr;
  std::set<std::string> lines;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return "cannot open";
  }
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db,
                     "SELECT m.name, p.name FROM sqlite_master m, pragma_table_info(m.name) p "
                     "WHERE m.type = 'table' UNION ALL "
                     "SELECT tbl_name, 'index ' || name FROM sqlite_master WHERE type = 'index' "
                     "AND name NOT LIKE 'sqlite_autoindex%'",
                     -1, &st, nullptr);
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    std::string item = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
    if (item.starts_with("index ") && item.rfind('$') != std::string::npos)
      item = "index " + item.substr(item.rfind('$') + 1);
    lines.insert(std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))) + "." +
                 item + "\n");
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  std::string shape;
  for (const std::string& l : lines) shape += l;
  return shape;
}

std::set<std::string> Listing(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.insert(e.path().filename().string());
  return names;
}

constexpr const char* kCrawl =
    "CREATE TABLE Urls(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL);"
    "CREATE UNIQUE INDEX UrlKey ON Urls(Url);"
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
    "INSERT INTO Urls SELECT i, 'https://example.org/' || i FROM n;";

struct TemplateCase {
  const char* name;
  bool with_template;
};

class RegenerateTemplate : public ::testing::TestWithParam<TemplateCase>, public WindowPort {
 public:
  void SetBusy(bool) override {}
  std::string DbName(bool full) override { return full ? db : tmpl; }
  std::string PathBoxText() override { return db; }
  bool CloseRequested() override { return false; }
  void CloseWindow() override {}

  testing::TempDir dir;
  std::string db = dir.File("Vardlink.mdb");
  std::string queue = dir.File("Vardlink-Queue.mdb");
  std::string tmpl = dir.File("Vardlink_Default.mdb");
};

class NotedHost : public testing::ScriptedHost {
 public:
  void Note(std::string_view file, engine::Fate fate, std::string_view detail) override {
    notes += std::string(file) + ": " + engine::FateName(fate) + " " + std::string(detail) + "\n";
  }
  std::string notes;
};

TEST_P(RegenerateTemplate, TheTemplateIsNeededBeforeAnythingIsTouched) {
  Exec(db, kCrawl);
  Exec(queue, kCrawl);
  if (GetParam().with_template)
    Exec(tmpl,
         "CREATE TABLE Urls(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Depth INTEGER);"
         "CREATE UNIQUE INDEX UrlKey ON Urls(Url); CREATE INDEX ByDepth ON Urls(Depth);");
  const std::string db_bytes = testing::ReadAll(db), queue_bytes = testing::ReadAll(queue);
  const std::set<std::string> before = Listing(dir.path());

  NotedHost host;
  const Outcome outcome = Runners(host, *this).cmdARegen_Click();

  std::vector<std::string> boxes;
  for (const testing::HostCall& c : host.Boxes()) boxes.push_back(c.text);
  if (GetParam().with_template) {
    EXPECT_EQ(outcome, Outcome::kDone);
    EXPECT_EQ(boxes, std::vector<std::string>{"Done with regeneration."});
    for (const std::string& f : {db, queue})
      EXPECT_EQ(Shape(f),
                "Urls.Depth\nUrls.ID\nUrls.Url\nUrls.index ByDepth\nUrls.index "
                "PrimaryKey\nUrls.index UrlKey\n")
          << f;
    EXPECT_TRUE(std::filesystem::exists(dir.File("Vardlink.BKK")));
    return;
  }
  EXPECT_EQ(outcome, Outcome::kNotFound);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].starts_with("Es ist ein Fehler beim Öffnen von '" + tmpl + "' aufgetreten."))
      << boxes[0];
  EXPECT_EQ(testing::ReadAll(db), db_bytes);
  EXPECT_EQ(testing::ReadAll(queue), queue_bytes);
  EXPECT_EQ(Shape(db), "Urls.ID\nUrls.Url\nUrls.index UrlKey\n");
  EXPECT_EQ(Listing(dir.path()), before);  // no copy, no backup, nothing else
  EXPECT_EQ(host.notes,
            db + ": failed not regenerated: the template " + tmpl + " cannot be opened\n");
}

INSTANTIATE_TEST_SUITE_P(Cases, RegenerateTemplate,
                         ::testing::Values(TemplateCase{"WithTemplate", true},
                                           TemplateCase{"NoTemplate", false}),
                         [](const auto& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace tidewell
