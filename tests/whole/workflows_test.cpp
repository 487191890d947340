// Regenerate with the real operations on files another program wrote: with a template the
// database gains the template's structure; without one nothing is touched at all. (What
// Start reports of each file is the console tests'.)
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

// One line per table column and per index; an index under the engine's own encoded name is
// listed by the name the engine shows for it (its last part).
Rows Shape(const std::string& path) {
  const auto rows = Query(path, {"SELECT m.name || '.' || p.name FROM sqlite_schema m, "
                                 "pragma_table_info(m.name) p WHERE m.type = 'table' UNION ALL "
                                 "SELECT tbl_name || '.index ' || name FROM sqlite_schema WHERE "
                                 "type = 'index' AND name NOT LIKE 'sqlite_autoindex%'"});
  Rows out = rows ? rows->front() : Rows{"cannot open"};
  for (std::string& line : out)
    if (const size_t at = line.rfind('$'), name = line.find(".index ") + 7; at != std::string::npos)
      line.erase(name, at + 1 - name);
  std::sort(out.begin(), out.end());
  return out;
}

class RegenerateTemplate : public ::testing::TestWithParam<bool> {};  // with a template

TEST_P(RegenerateTemplate, TheTemplateIsNeededBeforeAnythingIsTouched) {
  testing::TempDir dir;
  SampleFiles f(dir.path());
  for (const std::string& db : {f.db, f.queue})
    testing::Sql(db,
                 "CREATE TABLE Urls(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL);"
                 "CREATE UNIQUE INDEX UrlKey ON Urls(Url);"
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                 "INSERT INTO Urls SELECT i, 'https://example.org/' || i FROM n;");
  if (GetParam())
    testing::Sql(f.tmpl,
                 "CREATE TABLE Urls(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Depth INTEGER);"
                 "CREATE UNIQUE INDEX UrlKey ON Urls(Url); CREATE INDEX ByDepth ON Urls(Depth);");
  const auto before = Snapshot(dir.path());

  testing::ScriptedHost host;
  const Outcome outcome = Runners(host, f).Run(Workflow::kRegenerate);
  const Rows boxes = host.Texts();
  if (GetParam()) {
    EXPECT_EQ(outcome, Outcome::kDone);
    EXPECT_EQ(boxes, Rows{"Done with regeneration."});
    for (const std::string& db : {f.db, f.queue})
      EXPECT_EQ(Shape(db), (Rows{"Urls.Depth", "Urls.ID", "Urls.Url", "Urls.index ByDepth",
                                 "Urls.index PrimaryKey", "Urls.index UrlKey"}))
          << db;
    EXPECT_TRUE(fs::exists(dir.File("Vardlink.BKK")));
    return;
  }
  EXPECT_EQ(outcome, Outcome::kNotFound);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(
      boxes[0].starts_with("Es ist ein Fehler beim Öffnen von '" + f.tmpl + "' aufgetreten."))
      << boxes[0];
  EXPECT_TRUE(Snapshot(dir.path()) == before);  // no copy, no backup, no change
  EXPECT_EQ(host.Notes(),
            Rows{f.db + ": failed not regenerated: the template " + f.tmpl + " cannot be opened"});
}

INSTANTIATE_TEST_SUITE_P(Cases, RegenerateTemplate, ::testing::Bool(),
                         [](const auto& i) { return i.param ? "WithTemplate" : "NoTemplate"; });

}  // namespace
}  // namespace tidewell::whole
