// The fault-injecting engine other tests use, and the sample databases they build on. What
// else the engine records is checked by the tests that rely on it.
#include "tests/support/faulty_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
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
