// The workflows with the real operations: Start reports progress and the fate of each file;
// Regenerate on files another program wrote gains the template's structure, and without a
// template touches nothing at all.
#include "engine/notes.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

// Each file's steps report progress and say what became of the file, also after the
// compaction that the repair's own steps wrap in routes of their own.
TEST(RealWorkflows, StartReportsProgressAndTheFateOfBothFiles) {
  testing::TempDir dir;
  SampleFiles f = MakeSample(dir.path(), 400, 0, false);
  testing::ScriptedHost host;
  EXPECT_EQ(Runners(host, f).Run(Workflow::kStart), Outcome::kDone);
  Rows log;  // the files turned to, runs of progress reports and the notes
  for (const testing::HostCall& c : host.Calls()) {
    if (c.kind == testing::HostCall::kFile) log.push_back("file " + c.text);
    if (c.kind == testing::HostCall::kProgress && (log.empty() || log.back() != "progress"))
      log.push_back("progress");
    if (c.kind == testing::HostCall::kNote)
      log.push_back(std::string("note ") + engine::FateName(engine::Fate(c.value)));
  }
  EXPECT_EQ(log, (Rows{"file " + f.db, "progress", "note sound", "progress", "note replaced",
                       "file " + f.queue, "progress", "note sound", "progress", "note replaced"}));
}

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
  Rows boxes;
  for (const testing::HostCall& c : host.Boxes()) boxes.push_back(c.text);
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
