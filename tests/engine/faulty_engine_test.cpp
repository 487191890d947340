// The fault-injecting engine other tests use, and the sample databases they build on.
#include "tests/support/faulty_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell::engine {
namespace {

using test::ErrorOf;
using tidewell::testing::FaultyEngine;
using tidewell::testing::TempDir;

TEST(FaultyEngine, FailsExactlyTheChosenCallAndForwardsTheRest) {
  TempDir dir;
  auto path = dir.File("a.mdb");
  DBEngine().CreateDatabase(path, std::string(kGeneralLocale), 0)->Close();
  {
    FaultyEngine faults;
    EXPECT_EQ(&DBEngine(), &faults);
    faults.FailNext("OpenDatabase", 3049, "broken on purpose", 2);
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path)->Close(); }), 0);
    try {
      DBEngine().OpenDatabase(path);
      ADD_FAILURE() << "the second open should fail";
    } catch (const EngineException& e) {
      EXPECT_EQ(e.error().number, 3049);
      EXPECT_EQ(e.error().description, "broken on purpose");
    }
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path)->Close(); }), 0);
    EXPECT_EQ(faults.Calls("OpenDatabase"), 3);

    faults.FailAlways("CompactDatabase", kErrDiskIo, "disk full");
    EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path, dir.File("b.mdb")); }), kErrDiskIo);
    EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path, dir.File("b.mdb")); }), kErrDiskIo);
    EXPECT_FALSE(std::filesystem::exists(dir.File("b.mdb")));
    faults.Clear();
    EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path, dir.File("b.mdb")); }), 0);
  }
  EXPECT_EQ(&DBEngine(), &SqliteEngine());
}

TEST(FaultyEngine, ReachesCallsOnTheDatabasesItOpened) {
  TempDir dir;
  FaultyEngine faults;
  auto db = DBEngine().CreateDatabase(dir.File("a.mdb"), std::string(kGeneralLocale), 0);
  faults.FailNext("AppendTable", kErrTableExists, "exists");
  TableDef t("T");
  t.Fields().Append(Field{"A", dbLong, 4, dbFixedField, false});
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Append(t); }), kErrTableExists);
  db->TableDefs().Append(t);
  faults.FailNext("AppendField", kErrDiskIo, "io");
  TableDef read = db->TableDefs().Item("T");
  EXPECT_EQ(ErrorOf([&] { read.Fields().Append(Field{"B", dbLong, 4, 1, false}); }), kErrDiskIo);
  int seen = 0;
  faults.OnCall("Execute", [&](int call) { seen = call; });
  db->Execute("INSERT INTO T VALUES (1)");
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(test::CountRows(*db, "T"), 1);
}

TEST(FaultyEngine, DatabasesMayOutliveIt) {
  TempDir dir;
  std::unique_ptr<Database> db;
  {
    FaultyEngine faults;
    faults.FailAlways("Close", kErrDiskIo, "never reached");
    db = DBEngine().CreateDatabase(dir.File("a.mdb"), std::string(kGeneralLocale), 0);
  }
  // The plan went with the engine: the late calls just forward.
  EXPECT_EQ(ErrorOf([&] { db->Execute("CREATE TABLE T (A INTEGER)"); }), 0);
  EXPECT_EQ(ErrorOf([&] { db->Close(); }), 0);
}

TEST(FaultyEngine, RecordsEveryCallInOrderWithTheCompactionsArguments) {
  TempDir dir;
  auto path = dir.File("a.mdb");
  FaultyEngine faults;
  EXPECT_TRUE(faults.Log().empty());
  DBEngine().CreateDatabase(path, std::string(kGeneralLocale), 0)->Close();
  DBEngine().Idle(dbRefreshCache);
  faults.FailNext("CompactDatabase", kErrDiskIo, "disk full");
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path, dir.File("b.mdb")); }), kErrDiskIo);
  faults.Clear();  // plans go, the record stays
  DBEngine().CompactDatabase(path, dir.File("c.mdb"), ";LANGID=0x0409;CP=1252;COUNTRY=0", 32);
  EXPECT_EQ(faults.Log(), (std::vector<std::string>{"CreateDatabase", "Close", "Idle 8",
                                                    "CompactDatabase", "CompactDatabase"}));
  EXPECT_EQ(faults.Log({"Idle", "CompactDatabase"}),
            (std::vector<std::string>{"Idle 8", "CompactDatabase", "CompactDatabase"}));
  EXPECT_TRUE(faults.Log({"RepairDatabase"}).empty());
  ASSERT_EQ(faults.Compactions().size(), 2u);  // the failing one too
  EXPECT_EQ(faults.Compactions()[0].destination, dir.File("b.mdb"));
  EXPECT_FALSE(faults.Compactions()[0].options.has_value());
  EXPECT_EQ(faults.Compactions()[1].source, path);
  EXPECT_EQ(faults.Compactions()[1].destination, dir.File("c.mdb"));
  EXPECT_EQ(faults.Compactions()[1].locale, ";LANGID=0x0409;CP=1252;COUNTRY=0");
  EXPECT_EQ(faults.Compactions()[1].options, std::optional<int32_t>(32));
}

TEST(FaultyEngine, KnowsWhereProgressIsRoutedAndCanReportOneStepPerCompaction) {
  TempDir dir;
  auto path = dir.File("a.mdb");
  DBEngine().CreateDatabase(path, std::string(kGeneralLocale), 0)->Close();
  FaultyEngine faults;
  EXPECT_EQ(faults.ProgressRoutes(), 0);
  EXPECT_TRUE(faults.ProgressClearedLast());
  std::vector<std::string> stages;
  auto route = [&](std::string_view stage, uint64_t, uint64_t) { stages.emplace_back(stage); };

  DBEngine().SetProgress(route);
  EXPECT_EQ(faults.ProgressRoutes(), 1);
  EXPECT_FALSE(faults.ProgressClearedLast());
  DBEngine().CompactDatabase(path, dir.File("b.mdb"));
  // Without being asked it adds nothing to what the real engine reports.
  EXPECT_EQ(std::count(stages.begin(), stages.end(), "compacting"), 0);

  faults.ReportProgressOnCompact();
  stages.clear();
  DBEngine().CompactDatabase(path, dir.File("c.mdb"));
  ASSERT_FALSE(stages.empty());
  EXPECT_EQ(stages.front(), "compacting");
  EXPECT_EQ(std::count(stages.begin(), stages.end(), "compacting"), 1);
  stages.clear();
  faults.FailNext("CompactDatabase", kErrDiskIo, "disk full");
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path, dir.File("d.mdb")); }), kErrDiskIo);
  EXPECT_TRUE(stages.empty());  // a compaction made to fail does no work

  DBEngine().SetProgress(nullptr);
  EXPECT_TRUE(faults.ProgressClearedLast());
  DBEngine().CompactDatabase(path, dir.File("e.mdb"));
  EXPECT_TRUE(stages.empty());  // the route was taken away
  DBEngine().SetProgress(route);
  DBEngine().SetProgress(route);
  EXPECT_EQ(faults.ProgressRoutes(), 3);
  DBEngine().SetProgress(nullptr);
  EXPECT_EQ(faults.ProgressRoutes(), 3);
  EXPECT_TRUE(faults.ProgressClearedLast());
}

TEST(SampleData, MakesTheDatabaseItsQueueAndATemplateWithMore) {
  TempDir dir;
  auto main_db = dir.File("Vardlink.mdb");
  sample::MakeSampleDatabase(main_db, {200, 0, 5});
  sample::MakeQueueDatabase(sample::QueueDatabaseName(main_db));
  sample::MakeTemplateDatabase(dir.File("Vardlink_Default.mdb"));
  EXPECT_EQ(sample::QueueDatabaseName(main_db), dir.File("Vardlink-Queue.mdb"));

  auto counts = sample::TableRowCounts(main_db);
  ASSERT_EQ(counts.size(), 4u);
  EXPECT_EQ(counts[0].first, "Links");
  for (const auto& [table, rows] : counts) EXPECT_GT(rows, 0) << table;
  // Deleted rows leave free pages behind.
  EXPECT_GT(test::RawInt(main_db, "PRAGMA freelist_count"), 0);
  EXPECT_GT(sample::TableRowCounts(dir.File("Vardlink-Queue.mdb")).size(), 0u);

  auto tmpl = DBEngine().OpenDatabase(dir.File("Vardlink_Default.mdb"), false, true);
  auto db = DBEngine().OpenDatabase(main_db);
  EXPECT_EQ(tmpl->TableDefs().Count(), db->TableDefs().Count() + 1);
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Item("Sitemaps"); }), kErrItemNotFound);
  EXPECT_EQ(tmpl->TableDefs().Item("Links").Fields().Count(),
            db->TableDefs().Item("Links").Fields().Count() + 1);
  EXPECT_EQ(tmpl->TableDefs().Item("Links").Indexes().Count(),
            db->TableDefs().Item("Links").Indexes().Count() + 1);
  EXPECT_TRUE(db->TableDefs().Item("Links").Indexes().Item("PrimaryKey").Primary);

  // The same seed gives the same rows.
  sample::MakeSampleDatabase(dir.File("again.mdb"), {200, 0, 5});
  EXPECT_EQ(sample::TableRowCounts(dir.File("again.mdb")), counts);
  EXPECT_EQ(test::RawInt(main_db, "SELECT sum(length(Url) * ID) FROM Links"),
            test::RawInt(dir.File("again.mdb"), "SELECT sum(length(Url) * ID) FROM Links"));
}

}  // namespace
}  // namespace tidewell::engine
