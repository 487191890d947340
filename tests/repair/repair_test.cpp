// The repair-and-compact run on real files, with a scripted engine where a failure has to
// come at a chosen step; and the before/after counts that its report is made of. Files held
// by another program are the whole-tool tests' (holders_test.cpp, hostile_test.cpp).
#include <gtest/gtest.h>

#include <regex>

#include "repair/dbRepair.h"
#include "repair/tableAnalysis.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/files.h"
#include "tests/support/queries.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using namespace testing;
using Texts = std::vector<std::string>;

// The engine-level calls only: the order of flushes, repairs, compactions and opens.
const std::set<std::string> kEngineCalls = {"OpenDatabase", "CompactDatabase", "RepairDatabase",
                                            "Idle"};

// A crawler database with free pages in it, so that compaction has something to do.
class RepairTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDatabase(db_, {{"Links", 600}, {"Hosts", 25}});
    Sql(db_, "DELETE FROM [Links] WHERE ID > 300");
    links_ = DigestOf(db_, "Links");
  }
  TempDir dir_;
  const std::string db_ = dir_.File("site.mdb"), backup_ = dir_.File("site.BAK");
  std::string links_;
};

TEST_F(RepairTest, HealthyFileIsFlushedRepairedCompactedAndBackedUpWithoutAWord) {
  FaultyEngine engine;
  ScriptedHost host;
  std::string ret = "left over from the caller";
  EXPECT_EQ(DbRepair_Repair(host, db_, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(host.Captions(), (Texts{"Opening database", "Repairing database", "Compacting database",
                                    "Checking database"}));
  // The open after the compaction holds the file across the swap; the last one is the check.
  EXPECT_EQ(engine.Log(kEngineCalls), (Texts{"OpenDatabase", "Idle 1", "Idle 8", "RepairDatabase",
                                             "CompactDatabase", "OpenDatabase", "OpenDatabase"}));
  EXPECT_EQ(FreePages(db_), 0u);
  EXPECT_GT(FreePages(backup_), 0u);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("site.$")));
  for (const std::string& file : {db_, backup_}) EXPECT_EQ(DigestOf(file, "Links"), links_);
}

// One engine call made to fail (operation, number, at which call, whether to show failures),
// and what the run returns, shows (an empty box text: no box), the last stage it reaches and
// whether it compacts. In the texts "@" stands for the database's path.
using PlantedFailure = std::tuple<const char*, int32_t, int, bool, int16_t, const char*,
                                  const char*, const char*, bool>;

class FailureTest : public RepairTest, public ::testing::WithParamInterface<PlantedFailure> {};

TEST_P(FailureTest, AnswersShowsAndLeaves) {
  const auto& [operation, number, nth, show, result, box, ret_text, last_stage, compacted] =
      GetParam();
  auto fill = [&](const char* text) { return std::regex_replace(text, std::regex("@"), db_); };
  FaultyEngine engine;
  engine.FailNext(operation, number, "planted", nth);
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_Repair(host, db_, true, show, &ret), result);
  EXPECT_EQ(ret, fill(ret_text));
  EXPECT_EQ(host.Texts(vbCritical), *box ? Texts{fill(box)} : Texts{});
  EXPECT_EQ(host.Captions().back(), last_stage);
  EXPECT_EQ(std::filesystem::exists(backup_), compacted);
  EXPECT_EQ(FreePages(db_) == 0u, compacted);
  EXPECT_EQ(DigestOf(db_, "Links"), links_);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailureTest,
    ::testing::Values(
        PlantedFailure{"RepairDatabase", 3043, 1, true, 1,
                       "An error has occured during the repair of '@'.\r\n\r\nError 3043 - planted",
                       "; Error while repairing, Error 3043 - planted.", "Repairing database",
                       false},
        PlantedFailure{"RepairDatabase", 3056, 1, false, 1, "", "", "Repairing database", false},
        // A failed compaction leaves the file as it was and the run goes on to the check.
        PlantedFailure{"CompactDatabase", 3043, 1, true, 0, "", "", "Checking database", false},
        PlantedFailure{"OpenDatabase", 3045, 3, true, -1,
                       "I can't check the database '@' after the repair.\r\n\r\nError  3045 - "
                       "planted",
                       "; Database not checkable, Error 3045 - planted.", "Checking database",
                       true},
        // Without a first open there are no counts, so neither a check nor a report.
        PlantedFailure{"OpenDatabase", 3049, 1, true, 0, "", "", "Compacting database", true},
        PlantedFailure{"OpenDatabase", 3045, 1, true, 0,
                       "The database '@' must be available for exclusive access. Please close "
                       "all other programs using this database and try again.\r\n\r\nError "
                       "3045 - planted",
                       "; Database in use: 3045 - planted.", "Compacting database", true}));

TEST(NotADatabase, CannotBeRepairedAndCompactingItChangesNothingSilently) {
  TempDir dir;
  const std::string path = dir.File("junk.mdb");
  const std::string junk(20000, 'j');
  WriteAll(path, junk);
  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_Repair(host, path, true, true, &ret), 1);
  // 3049 at the open is no in-use case
  EXPECT_EQ(host.Texts(vbCritical), Texts{"The database file '" + path + "' can't be repaired."});
  EXPECT_EQ(ret, "; The database can't be repaired, error 3056.");
  EXPECT_EQ(DbRepair_AdvCompress(host, path, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(ReadAll(path), junk);
  EXPECT_FALSE(std::filesystem::exists(dir.File("junk.BAK")));
}

TEST_F(RepairTest, SingleStepsDoTheirStepOnlyAndSayNothing) {
  FaultyEngine engine;
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_AdvRepair(host, db_, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_FALSE(std::filesystem::exists(backup_));
  EXPECT_EQ(DbRepair_AdvCompress(host, db_, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(host.Captions(), (Texts{"Repairing database", "Compacting database"}));
  EXPECT_EQ(engine.Log(kEngineCalls), (Texts{"Idle 1", "Idle 8", "RepairDatabase", "Idle 1",
                                             "Idle 8", "CompactDatabase", "OpenDatabase"}));
  EXPECT_EQ(FreePages(db_), 0u);
  EXPECT_EQ(DigestOf(db_, "Links"), links_);
  engine.FailNext("RepairDatabase", 3056, "planted");  // a failure, even when not shown
  EXPECT_EQ(DbRepair_AdvRepair(host, db_, true, false, &ret), 1);
  EXPECT_EQ(ret, "");
}

TEST(DamagedTable, ReportNamesTheTableAndOnlyItsBrokenPageIsLost) {
  TempDir dir;
  const std::string path = dir.File("site.mdb");
  // About a dozen rows to a page, so that one broken page loses a dozen rows.
  MakeDatabase(path, {{"Links", 1000}, {"Hosts", 1000}}, 300);
  const std::string links = DigestOf(path, "Links");
  const std::vector<uint32_t> leaves = PagesOf(path, "Hosts", "leaf");
  ASSERT_GT(leaves.size(), 20u);
  FillPage(path, leaves[leaves.size() / 2], 0xA5);
  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_Repair(host, path, true, true, &ret), 0);
  const std::string after = std::to_string(RowCount(path, "Hosts"));
  EXPECT_GE(RowCount(path, "Hosts"), 980);
  EXPECT_EQ(ret, "; Table Hosts was corrupt before and now has " + after +
                     " records.; before -1, after " + after + " records");
  EXPECT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(DigestOf(path, "Links"), links);
}

TEST(TableCounts, SystemTablesAreLeftOutAndEveryRuleHasItsLine) {
  for (const char* name : {"MSysObjects", "msys", "mSyS_x"}) EXPECT_TRUE(IsSystemTableName(name));
  for (const char* name : {"MSY", "", "XMSysObjects", "MSyx"})
    EXPECT_FALSE(IsSystemTableName(name));
  TempDir dir;
  const std::string path = dir.File("site.mdb");
  MakeDatabase(path,
               {{"Links", 5}, {"MSysX", 1}, {"Hosts", 0}, {"Queue", 3}, {"New", 1}, {"Lost", 2}});
  FaultyEngine engine;
  auto db = engine::DBEngine().OpenDatabase(path);
  engine.FailNext("OpenTable", engine::kErrTableDamaged, "planted", 3);  // Queue
  engine.FailNext("OpenTable", engine::kErrTableDamaged, "planted", 5);  // Lost
  TableCounts list;
  dbCountBefore(*db, list);
  db->Execute("DELETE FROM [Links] WHERE ID > 2");
  db->Execute("INSERT INTO [New] (ID, Url) VALUES (2, 'x')");
  engine.FailNext("OpenTable", engine::kErrTableDamaged, "planted", 2);  // Hosts
  engine.FailNext("OpenTable", engine::kErrTableDamaged, "planted", 5);  // Lost
  dbCountAfter(*db, list);
  const Texts lines = {"Table Links was shortened from 5 to 2 records (probably empty space).",
                       "Table Hosts was not found after the repair (had 0 records before).",
                       "Table Queue was corrupt before and now has 3 records.",
                       "Table New was expanded from 1 to 2 records (recovered space).",
                       "Table Lost was shortened from -1 to -2 records (probably empty space)."};
  const Texts pieces = {"5, after 2", "0, after -2", "-1, after 3", "1, after 2", "-1, after -2"};
  std::string expected,
      report = "Analysis of the repaired/compacted database 'x.mdb' resulted in the following:";
  for (size_t i = 0; i < lines.size(); ++i) {
    report += "\r\n\r\n" + lines[i];
    expected += "; " + lines[i] + "; before " + pieces[i] + " records";
  }
  ScriptedHost host;
  std::string ret;
  dbAnalyse(host, list, "x.mdb", false, ret);
  EXPECT_TRUE(host.Boxes().empty());
  dbAnalyse(host, list, "x.mdb", true, ret);
  EXPECT_EQ(ret, expected + expected);
  EXPECT_EQ(host.Texts(vbInformation), Texts{report});
}

}  // namespace
}  // namespace tidewell
