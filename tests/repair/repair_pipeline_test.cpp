// The whole repair-and-compact run on real files, with a second process where another
// program is meant to hold the file, and with a scripted engine where a failure has to
// come at a chosen step.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>

#include "engine/engine.h"
#include "maintenance/dbReorg.h"
#include "repair/dbRepair.h"
#include "tests/salvage/salvage_files.h"
#include "tests/support/child_process.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using testing::DatabaseHolder;
using testing::DigestOf;
using testing::FaultyEngine;
using testing::FreePages;
using testing::HostCall;
using testing::MakeDatabase;
using testing::ReadAll;
using testing::RowCount;
using testing::ScriptedHost;
using testing::TempDir;

// The engine-level calls in order, as the order of flushes, repairs, compactions and opens
// is what these tests look at (the calls on an open database are left out).
std::vector<std::string> EngineCalls(const FaultyEngine& engine) {
  return engine.Log(
      {"OpenDatabase", "CreateDatabase", "CompactDatabase", "RepairDatabase", "Idle"});
}

// A crawler database with free pages in it, so that compaction has something to do.
class PipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("site.mdb");
    MakeDatabase(db_, {{"Links", 600}, {"Hosts", 25}, {"Empty", 0}});
    auto db = engine::DBEngine().OpenDatabase(db_);
    db->Execute("DELETE FROM [Links] WHERE ID > 300");
    db->Close();
    links_ = DigestOf(db_, "Links");
    hosts_ = DigestOf(db_, "Hosts");
    ASSERT_FALSE(links_.empty());
    ASSERT_GT(FreePages(db_), 0u);
  }
  std::string Backup() const { return dir_.File("site.BAK"); }
  std::string Temp() const { return dir_.File("site.$"); }

  TempDir dir_;
  std::string db_, links_, hosts_;
};

// --- A healthy database -------------------------------------------------------------

TEST_F(PipelineTest, HealthyFileIsRepairedCompactedAndBackedUpWithoutAWord) {
  ScriptedHost host;
  std::string ret = "left over from the caller";
  EXPECT_EQ(DbRepair_Repair(host, db_, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(host.Captions(),
            (std::vector<std::string>{"Opening database", "Repairing database",
                                      "Compacting database", "Checking database"}));
  // P is the compacted file, K the one from before, T is gone; no row was lost anywhere.
  EXPECT_EQ(FreePages(db_), 0u);
  EXPECT_GT(FreePages(Backup()), 0u);
  EXPECT_FALSE(std::filesystem::exists(Temp()));
  EXPECT_EQ(DigestOf(db_, "Links"), links_);
  EXPECT_EQ(DigestOf(db_, "Hosts"), hosts_);
  EXPECT_EQ(RowCount(db_, "Empty"), 0);
  EXPECT_EQ(DigestOf(Backup(), "Links"), links_);
  EXPECT_EQ(DigestOf(Backup(), "Hosts"), hosts_);
}

TEST_F(PipelineTest, StagesAreCaptionedAndTheWindowGetsToRepaintBetweenThem) {
  ScriptedHost host;
  ASSERT_EQ(DbRepair_Repair(host, db_, true, true), 0);
  std::vector<std::string> seen;
  for (const HostCall& c : host.Calls()) {
    if (c.kind == HostCall::kStatus) seen.push_back("S:" + c.text);
    if (c.kind == HostCall::kDoEvents) seen.push_back("Y");
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"S:Opening database", "Y", "Y", "S:Repairing database",
                                            "Y", "Y", "Y", "S:Compacting database", "Y", "Y",
                                            "S:Checking database", "Y", "Y"}));
  for (const HostCall& c : host.Calls()) EXPECT_NE(c.kind, HostCall::kPointer);
}

TEST_F(PipelineTest, EngineProgressReachesTheHostOnlyWhileTheEngineWorks) {
  FaultyEngine engine;
  engine.ReportProgressOnCompact();
  ScriptedHost host;
  ASSERT_EQ(DbRepair_Repair(host, db_, true, true), 0);
  EXPECT_GE(host.ProgressCount(), 1);     // ours, and whatever the real engine reports
  EXPECT_GE(engine.ProgressRoutes(), 2);  // the repair and the compaction
  EXPECT_TRUE(engine.ProgressClearedLast());
}

TEST_F(PipelineTest, TheEngineIsFlushedBeforeTheRepair) {
  FaultyEngine engine;
  ScriptedHost host;
  ASSERT_EQ(DbRepair_Repair(host, db_, false, true), 0);
  // The open after the compaction holds the file across the swap; the last is the check.
  EXPECT_EQ(EngineCalls(engine),
            (std::vector<std::string>{"OpenDatabase", "Idle 1", "Idle 8", "RepairDatabase",
                                      "CompactDatabase", "OpenDatabase", "OpenDatabase"}));
}

// --- A file held by another process -------------------------------------------------

class HeldFileTest : public PipelineTest,
                     public ::testing::WithParamInterface<DatabaseHolder::Mode> {};

TEST_P(HeldFileTest, InUseBoxThenRepairErrorBoxAndNothingTouched) {
  // What an exclusive open says while the file is held, as the user is to see it.
  DatabaseHolder holder(db_, GetParam());
  ASSERT_TRUE(holder.Holding());
  int32_t in_use_number = 0;
  std::string in_use_text;
  try {
    engine::DBEngine().OpenDatabase(db_, true)->Close();
  } catch (const engine::EngineException& e) {
    in_use_number = e.error().number;
    in_use_text = e.error().description;
  }
  ASSERT_NE(in_use_number, 0) << "the exclusive open must fail while another process holds it";
  ASSERT_NE(in_use_number, 3049);
  const std::string before = ReadAll(db_);

  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_Repair(host, db_, true, true, &ret), 1);
  auto boxes = host.Boxes();
  ASSERT_EQ(boxes.size(), 2u);
  const std::string n = std::to_string(in_use_number);
  EXPECT_EQ(boxes[0].text, "The database '" + db_ +
                               "' must be available for exclusive access. Please close all other "
                               "programs using this database and try again.\r\n\r\nError " +
                               n + " - " + in_use_text);
  EXPECT_EQ(boxes[0].value, 16);
  const std::string repair_head =
      "An error has occured during the repair of '" + db_ + "'.\r\n\r\nError ";
  ASSERT_EQ(boxes[1].text.rfind(repair_head, 0), 0u) << boxes[1].text;
  EXPECT_EQ(boxes[1].value, 16);
  const std::string repair_error = boxes[1].text.substr(repair_head.size());  // "N - text"
  EXPECT_NE(repair_error.rfind("3056 ", 0), 0u);
  EXPECT_EQ(ret, "; Database in use: " + n + " - " + in_use_text +
                     ".; Error while repairing, Error " + repair_error + ".");
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Opening database", "Repairing database"}));
  holder.Stop();
  EXPECT_EQ(ReadAll(db_), before);
  EXPECT_FALSE(std::filesystem::exists(Backup()));
}

TEST_P(HeldFileTest, SilentWithoutShowNoGood) {
  DatabaseHolder holder(db_, GetParam());
  ASSERT_TRUE(holder.Holding());
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_Repair(host, db_, true, false, &ret), 1);
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ret, "");
}

INSTANTIATE_TEST_SUITE_P(Holders, HeldFileTest,
                         ::testing::Values(DatabaseHolder::kEngineShared,
                                           DatabaseHolder::kEngineExclusive,
                                           DatabaseHolder::kSqliteRead));

// --- Files that are not databases ---------------------------------------------------

TEST(NotADatabase, NoCountsAndTheCannotRepairBox) {
  TempDir dir;
  const std::string path = dir.File("junk.mdb");
  std::string junk;
  for (int i = 0; i < 2000; ++i) junk += "this is a text file, not a database. ";
  testing::WriteAll(path, junk);
  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_Repair(host, path, true, true, &ret), 1);
  auto boxes = host.Boxes();
  ASSERT_EQ(boxes.size(), 1u);  // 3049 at the open is no in-use case
  EXPECT_EQ(boxes[0].text, "The database file '" + path + "' can't be repaired.");
  EXPECT_EQ(boxes[0].value, 16);
  EXPECT_EQ(ret, "; The database can't be repaired, error 3056.");
  EXPECT_EQ(ReadAll(path), junk);
  EXPECT_FALSE(std::filesystem::exists(dir.File("junk.BAK")));
}

// --- Failures made at a chosen step -------------------------------------------------

// One engine call made to fail, and what the run returns, shows and leaves. In the texts
// "@" stands for the database's path; the failure's description is "planted".
struct PlantedFailure {
  const char* operation;
  int32_t number;
  int nth;
  bool show_no_good;
  int16_t result;
  const char* box;  // empty: no box
  const char* ret;
  const char* last_caption;
  bool compacted;
};

class FailureTest : public PipelineTest, public ::testing::WithParamInterface<PlantedFailure> {};

TEST_P(FailureTest, AnswersShowsAndLeaves) {
  const PlantedFailure& f = GetParam();
  auto fill = [&](std::string text) {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, db_);
    return text;
  };
  FaultyEngine engine;
  engine.FailNext(f.operation, f.number, "planted", f.nth);
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_Repair(host, db_, true, f.show_no_good, &ret), f.result);
  EXPECT_EQ(ret, fill(f.ret));
  const auto boxes = host.Boxes();
  ASSERT_EQ(boxes.size(), *f.box ? 1u : 0u);
  if (*f.box) {
    EXPECT_EQ(boxes[0].text, fill(f.box));
    EXPECT_EQ(boxes[0].value, 16);
  }
  EXPECT_EQ(host.Captions().back(), f.last_caption);
  EXPECT_EQ(std::filesystem::exists(Backup()), f.compacted);
  EXPECT_EQ(FreePages(db_) == 0u, f.compacted);
  EXPECT_EQ(DigestOf(db_, "Links"), links_);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailureTest,
    ::testing::Values(
        PlantedFailure{
            "RepairDatabase", 3056, 1, true, 1, "The database file '@' can't be repaired.",
            "; The database can't be repaired, error 3056.", "Repairing database", false},
        PlantedFailure{"RepairDatabase", 3043, 1, true, 1,
                       "An error has occured during the repair of '@'.\r\n\r\nError 3043 - planted",
                       "; Error while repairing, Error 3043 - planted.", "Repairing database",
                       false},
        PlantedFailure{"RepairDatabase", -7, 1, true, 1,
                       "An error has occured during the repair of '@'.\r\n\r\nError -7 - planted",
                       "; Error while repairing, Error -7 - planted.", "Repairing database", false},
        PlantedFailure{"RepairDatabase", 3056, 1, false, 1, "", "", "Repairing database", false},
        // A failed compaction leaves the file as it was and the run goes on to the check.
        PlantedFailure{"CompactDatabase", 3043, 1, true, 0, "", "", "Checking database", false},
        PlantedFailure{"OpenDatabase", 3045, 3, true, -1,
                       "I can't check the database '@' after the repair.\r\n\r\nError  3045 - "
                       "planted",
                       "; Database not checkable, Error 3045 - planted.", "Checking database",
                       true},
        PlantedFailure{"OpenDatabase", 3045, 3, false, -1, "", "", "Checking database", true},
        // Without a first open there are no counts, so neither a check nor a report.
        PlantedFailure{"OpenDatabase", 3049, 1, true, 0, "", "", "Compacting database", true},
        PlantedFailure{"OpenDatabase", 3045, 1, true, 0,
                       "The database '@' must be available for exclusive access. Please close "
                       "all other programs using this database and try again.\r\n\r\nError "
                       "3045 - planted",
                       "; Database in use: 3045 - planted.", "Compacting database", true}));

// --- The two single steps -----------------------------------------------------------

TEST_F(PipelineTest, AdvCompressCompactsWithBackupAndSaysNothing) {
  FaultyEngine engine;
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_AdvCompress(host, db_, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Compacting database"}));
  EXPECT_EQ(EngineCalls(engine),
            (std::vector<std::string>{"Idle 1", "Idle 8", "CompactDatabase", "OpenDatabase"}));
  EXPECT_EQ(FreePages(db_), 0u);
  EXPECT_EQ(DigestOf(Backup(), "Links"), links_);
  EXPECT_EQ(DigestOf(db_, "Links"), links_);
}

TEST(AdvCompress, FileThatCannotBeCompactedStaysAsItWasSilently) {
  TempDir dir;
  const std::string path = dir.File("junk.mdb");
  testing::WriteAll(path, std::string(10000, 'j'));
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_AdvCompress(host, path, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ReadAll(path), std::string(10000, 'j'));
  EXPECT_FALSE(std::filesystem::exists(dir.File("junk.BAK")));
}

TEST_F(PipelineTest, AdvRepairRepairsOnlyAndNeverOpensOrChecks) {
  FaultyEngine engine;
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_AdvRepair(host, db_, true, true, &ret), 0);
  EXPECT_EQ(ret, "");
  EXPECT_EQ(host.Captions(), (std::vector<std::string>{"Repairing database"}));
  EXPECT_EQ(EngineCalls(engine), (std::vector<std::string>{"Idle 1", "Idle 8", "RepairDatabase"}));
  EXPECT_FALSE(std::filesystem::exists(Backup()));
  EXPECT_EQ(DigestOf(db_, "Links"), links_);
}

TEST_F(PipelineTest, AdvRepairOnAHeldFileShowsOnlyTheRepairError) {
  DatabaseHolder holder(db_, DatabaseHolder::kEngineShared);
  ASSERT_TRUE(holder.Holding());
  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_AdvRepair(host, db_, true, true, &ret), 1);
  ASSERT_EQ(host.Boxes().size(), 1u);
  const std::string head = "An error has occured during the repair of '" + db_ + "'.\r\n\r\nError ";
  ASSERT_EQ(host.Boxes()[0].text.rfind(head, 0), 0u);
  EXPECT_EQ(ret,
            "; Error while repairing, Error " + host.Boxes()[0].text.substr(head.size()) + ".");
}

TEST_F(PipelineTest, AdvRepair3056SilentlyIsStillAFailure) {
  FaultyEngine engine;
  engine.FailNext("RepairDatabase", 3056, "scripted failure of RepairDatabase", 1);
  ScriptedHost host;
  std::string ret = "x";
  EXPECT_EQ(DbRepair_AdvRepair(host, db_, true, false, &ret), 1);
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ret, "");
  engine.FailNext("RepairDatabase", 3056, "scripted failure of RepairDatabase");
  EXPECT_EQ(DbRepair_AdvRepair(host, db_, true, true, &ret), 1);
  EXPECT_EQ(ret, "; The database can't be repaired, error 3056.");
}

// --- One table's pages damaged --------------------------------------------------------

std::vector<int64_t> IdsOf(const std::string& path, const std::string& table) {
  std::vector<int64_t> ids;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT ID FROM \"" + table + "\" ORDER BY ID";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK)
      while (sqlite3_step(st) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(st, 0));
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return ids;
}

TEST(DamagedTable, ReportNamesTheTableAndTheReadableRowsAreBack) {
  TempDir dir;
  const std::string path = dir.File("site.mdb");
  // About a dozen rows to a page, so that one broken page loses a dozen rows.
  MakeDatabase(path, {{"Links", 1000}, {"Hosts", 1000}, {"Queue", 50}}, 300);
  const std::string links = DigestOf(path, "Links"), queue = DigestOf(path, "Queue");
  const std::vector<uint32_t> leaves = testing::PagesOf(path, "Hosts", "leaf");
  ASSERT_GT(leaves.size(), 20u);
  testing::FillPage(path, leaves[leaves.size() / 2], 0xA5);

  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_Repair(host, path, true, true, &ret), 0);
  const int64_t after = RowCount(path, "Hosts");
  ASSERT_GT(after, 0);
  const std::string line =
      "Table Hosts was corrupt before and now has " + std::to_string(after) + " records.";
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].value, 64);
  EXPECT_EQ(host.Boxes()[0].text, "Analysis of the repaired/compacted database '" + path +
                                      "' resulted in the following:\r\n\r\n" + line);
  EXPECT_EQ(ret, "; " + line + "; before -1, after " + std::to_string(after) + " records");
  // Only the rows of the broken page are missing: one run of consecutive IDs, at most a
  // page's worth. Every other table is whole.
  const std::vector<int64_t> ids = IdsOf(path, "Hosts");
  ASSERT_EQ(static_cast<int64_t>(ids.size()), after);
  std::vector<int64_t> missing;
  for (int64_t id = 1, at = 0; id <= 1000; ++id) {
    if (at < after && ids[at] == id)
      ++at;
    else
      missing.push_back(id);
  }
  ASSERT_FALSE(missing.empty());
  EXPECT_LE(missing.size(), 20u);
  EXPECT_EQ(missing.back() - missing.front() + 1, static_cast<int64_t>(missing.size()));
  EXPECT_EQ(DigestOf(path, "Links"), links);
  EXPECT_EQ(DigestOf(path, "Queue"), queue);
}

TEST(DamagedTable, NoReportBoxWhenNotAskedButThePiecesStillCome) {
  TempDir dir;
  const std::string path = dir.File("site.mdb");
  MakeDatabase(path, {{"Links", 300}, {"Hosts", 300}}, 300);
  const std::vector<uint32_t> leaves = testing::PagesOf(path, "Links", "leaf");
  ASSERT_GT(leaves.size(), 4u);
  testing::FillPage(path, leaves[2], 0x00);
  ScriptedHost host;
  std::string ret;
  EXPECT_EQ(DbRepair_Repair(host, path, false, false, &ret), 0);
  EXPECT_TRUE(host.Boxes().empty());
  const std::string after = std::to_string(RowCount(path, "Links"));
  EXPECT_EQ(ret, "; Table Links was corrupt before and now has " + after +
                     " records.; before -1, after " + after + " records");
}

TEST(DamagedHeader, NeverCountedAndEitherSalvagedWholeOrRefusedWith3056) {
  TempDir dir;
  const std::string path = dir.File("site.mdb");
  MakeDatabase(path, {{"Links", 200}, {"Hosts", 20}}, 100);
  const std::string links = DigestOf(path, "Links"), hosts = DigestOf(path, "Hosts");
  testing::OverwriteAt(path, 0, "Not a database!!");
  const std::string damaged = ReadAll(path);
  ScriptedHost host;
  std::string ret;
  const int16_t result = DbRepair_Repair(host, path, true, true, &ret);
  // 3049 at the first open: no in-use box, and without counts there is neither a check nor
  // a report.
  for (const std::string& c : host.Captions()) EXPECT_NE(c, "Checking database");
  if (result == 1) {
    ASSERT_EQ(host.Boxes().size(), 1u);
    EXPECT_EQ(host.Boxes()[0].text, "The database file '" + path + "' can't be repaired.");
    EXPECT_EQ(ret, "; The database can't be repaired, error 3056.");
    EXPECT_EQ(ReadAll(path), damaged);
  } else {
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(host.Boxes().empty());
    EXPECT_EQ(ret, "");
    EXPECT_EQ(DigestOf(path, "Links"), links);
    EXPECT_EQ(DigestOf(path, "Hosts"), hosts);
  }
}

}  // namespace
}  // namespace tidewell
