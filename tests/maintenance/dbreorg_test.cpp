// Compaction with backup on real files: the names, every outcome's files on disk, the
// repair path, and what a killed process leaves behind at every step of the swap.
#include "maintenance/dbReorg.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <random>
#include <stdexcept>

#include "engine/engine.h"
#include "engine/file_system.h"
#include "tests/support/child_process.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using testing::FaultyEngine;
using testing::FaultyFiles;
using testing::ReadAll;
using testing::ScriptedHost;
using testing::TempDir;

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}
ino_t InodeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_ino;
}
uint32_t FreePages(const std::string& path) {
  std::string h = ReadAll(path).substr(0, 100);
  if (h.size() < 40) return 0;
  return (uint32_t(uint8_t(h[36])) << 24) | (uint32_t(uint8_t(h[37])) << 16) |
         (uint32_t(uint8_t(h[38])) << 8) | uint32_t(uint8_t(h[39]));
}

// One table "Links" with `rows` rows, then every other row deleted so that the file has
// free pages for the compaction to drop.
void MakeLinks(const std::string& path, int rows, int url_bytes) {
  auto db = engine::DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 0);
  engine::TableDef def("Links");
  def.Fields().Append({"ID", engine::dbLong, 4, engine::dbFixedField, false});
  def.Fields().Append({"Url", engine::dbMemo, 0, engine::dbVariableField, true});
  db->TableDefs().Append(def);
  db->Execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
              std::to_string(rows) +
              ") INSERT INTO [Links] (ID, Url) SELECT i, 'http://example.org/' || i || '/' || "
              "hex(randomblob(" +
              std::to_string(url_bytes / 2) + ")) FROM n");
  db->Execute("DELETE FROM [Links] WHERE ID % 2 = 0");
  db->Close();
}

void AddRow(const std::string& path, int id) {
  auto db = engine::DBEngine().OpenDatabase(path);
  db->Execute("INSERT INTO [Links] (ID, Url) VALUES (" + std::to_string(id) + ", 'added')");
  db->Close();
}

// Every row of Links, in ID order, as one digest read with plain SQLite; empty when the
// file does not open as a database or the table cannot be read to its end.
std::string Digest(const std::string& path) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT ID, Url FROM Links ORDER BY ID", -1, &st, nullptr) ==
        SQLITE_OK) {
      uint64_t hash = 1469598103934665603ull;
      int64_t rows = 0;
      int rc;
      while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
        ++rows;
        std::string row = std::to_string(sqlite3_column_int64(st, 0)) + "|";
        if (auto* t = sqlite3_column_text(st, 1)) row += reinterpret_cast<const char*>(t);
        for (unsigned char c : row) hash = (hash ^ c) * 1099511628211ull;
      }
      if (rc == SQLITE_DONE) out = std::to_string(rows) + ":" + std::to_string(hash);
    }
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return out;
}

// The compactions and repairs asked of the engine, in order.
std::vector<std::string> CompactsAndRepairs(const FaultyEngine& engine) {
  return engine.Log({"CompactDatabase", "RepairDatabase"});
}

// --- Names ----------------------------------------------------------------------------

TEST(ReorgNames, ThreeCharactersAreCutWhateverTheyAre) {
  ReorgNames mdb = ReorgNamesFor("C:\\Data\\site.mdb");
  EXPECT_EQ(mdb.base, "C:\\Data\\site.");
  EXPECT_EQ(mdb.temp, "C:\\Data\\site.$");
  EXPECT_EQ(mdb.backup, "C:\\Data\\site.BAK");
  ReorgNames db = ReorgNamesFor("C:\\Data\\site.db");
  EXPECT_EQ(db.temp, "C:\\Data\\site$");
  EXPECT_EQ(db.backup, "C:\\Data\\siteBAK");
  ReorgNames three = ReorgNamesFor("abc");
  EXPECT_EQ(three.temp, "$");
  EXPECT_EQ(three.backup, "BAK");
  EXPECT_EQ(ReorgNamesFor("/d/Straße").backup, "/d/StrBAK");  // "ß" is one character
}

TEST(ReorgNames, PathShorterThanThreeIsRefusedBeforeAnyFileIsTouched) {
  EXPECT_THROW(ReorgNamesFor("ab"), std::invalid_argument);
  FaultyFiles files;
  FaultyEngine engine;
  ScriptedHost host;
  EXPECT_THROW(dbReorg(host, "ab", 1, 1, 0), std::invalid_argument);
  EXPECT_EQ(files.Count(), 0);
  EXPECT_TRUE(engine.Log().empty());
  EXPECT_TRUE(host.Calls().empty());
}

// --- Outcomes on disk -----------------------------------------------------------------

class ReorgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    p_ = dir_.File("site.mdb");
    t_ = dir_.File("site.$");
    k_ = dir_.File("site.BAK");
    MakeLinks(p_, 400, 200);
    original_ = Digest(p_);
    ASSERT_FALSE(original_.empty());
    ASSERT_GT(FreePages(p_), 0u);
  }
  TempDir dir_;
  std::string p_, t_, k_, original_;
};

TEST_F(ReorgTest, SuccessLeavesCompactedPOldKAndNoT) {
  testing::WriteAll(k_, "an older backup");
  const std::string old_bytes = ReadAll(p_);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 1, 0), 0);
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ReadAll(k_), old_bytes);
  EXPECT_EQ(FreePages(p_), 0u);
  EXPECT_EQ(Digest(p_), original_);
  EXPECT_FALSE(Exists(t_));
  EXPECT_NE(InodeOf(p_), InodeOf(k_));
}

TEST(ReorgOnDisk, DotDbPathGetsItsNamesWithoutTheDot) {
  TempDir dir;
  const std::string p = dir.File("site.db");
  MakeLinks(p, 50, 40);
  const std::string original = Digest(p);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p, 0, 0, 0), 0);
  EXPECT_EQ(Digest(dir.File("siteBAK")), original);
  EXPECT_EQ(Digest(p), original);
  EXPECT_FALSE(Exists(dir.File("site$")));
}

TEST_F(ReorgTest, LeftoverTempIsDeletedFirstEvenWhenCompactionThenFails) {
  testing::WriteAll(t_, "half a database from a crash");
  {
    ScriptedHost host;
    EXPECT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
    EXPECT_FALSE(Exists(t_));
    EXPECT_EQ(Digest(p_), original_);
  }
  testing::WriteAll(t_, "another leftover");
  FaultyEngine engine;
  engine.FailAlways("CompactDatabase", 3043, "scripted failure of CompactDatabase");
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 0, 0, 0), -1);
  EXPECT_FALSE(Exists(t_));
}

TEST_F(ReorgTest, TempThatCannotBeDeletedMakesTheCompactionFail) {
  testing::WriteAll(t_, "stuck");
  FaultyFiles files;
  files.FailAt(1, EACCES);  // the first operation is the delete of T
  const std::string old_bytes = ReadAll(p_);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), -1);
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text.rfind("Error during compacting! 3204: ", 0), 0u)
      << host.Boxes()[0].text;
  EXPECT_EQ(host.Boxes()[0].value, 0);
  EXPECT_EQ(ReadAll(p_), old_bytes);
  EXPECT_EQ(ReadAll(t_), "stuck");
  EXPECT_FALSE(Exists(k_));
}

TEST_F(ReorgTest, SecondRunReplacesTheBackupWithTheStateBeforeIt) {
  ScriptedHost host;
  ASSERT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  AddRow(p_, 100001);
  const std::string before_second = Digest(p_);
  ASSERT_NE(before_second, original_);
  ASSERT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  EXPECT_EQ(Digest(k_), before_second);
  EXPECT_EQ(Digest(p_), before_second);
}

TEST_F(ReorgTest, FailedCompactionTouchesNothingAndReportsOnlyWhenAsked) {
  testing::WriteAll(k_, "an older backup");
  const std::string old_bytes = ReadAll(p_);
  FaultyEngine engine;
  engine.FailAlways("CompactDatabase", 3043, "scripted failure of CompactDatabase 1");
  ScriptedHost quiet;
  EXPECT_EQ(dbReorg(quiet, p_, 0, 1, 0), -1);
  EXPECT_TRUE(quiet.Calls().empty());
  engine.FailAlways("CompactDatabase", 3043, "scripted failure of CompactDatabase 2");
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 1, 0), -1);
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text,
            "Error during compacting! 3043: scripted failure of CompactDatabase 2");
  EXPECT_EQ(host.Boxes()[0].value, 0);
  EXPECT_EQ(engine.Calls("CompactDatabase"), 2);  // one compaction per run
  // Another number than 3049 never leads to a repair.
  EXPECT_EQ(engine.Calls("RepairDatabase"), 0);
  EXPECT_EQ(ReadAll(p_), old_bytes);
  EXPECT_EQ(ReadAll(k_), "an older backup");
}

TEST_F(ReorgTest, TheEngineDescriptionShowsAsItStands) {
  FaultyEngine faults;
  faults.FailNext("CompactDatabase", 3043, "disk %1% full %3%");
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), -1);
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text, "Error during compacting! 3043: disk %1% full %3%");
}

// --- The repair path --------------------------------------------------------------------

TEST_F(ReorgTest, NotADatabaseWithAutoRepairRepairsCompactsAgainAndSwaps) {
  FaultyEngine engine;
  engine.FailNext("CompactDatabase", 3049, "scripted failure of CompactDatabase 1");
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 1, 0), 0);
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(CompactsAndRepairs(engine),
            (std::vector<std::string>{"CompactDatabase", "RepairDatabase", "CompactDatabase"}));
  EXPECT_EQ(Digest(p_), original_);
  EXPECT_EQ(Digest(k_), original_);
  EXPECT_EQ(FreePages(p_), 0u);
  EXPECT_FALSE(Exists(t_));
}

TEST_F(ReorgTest, NotADatabaseWithoutAutoRepairIsJustAFailure) {
  FaultyEngine engine;
  engine.FailNext("CompactDatabase", 3049, "scripted failure of CompactDatabase 1");
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), -1);
  EXPECT_EQ(CompactsAndRepairs(engine), (std::vector<std::string>{"CompactDatabase"}));
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text,
            "Error during compacting! 3049: scripted failure of CompactDatabase 1");
  EXPECT_FALSE(Exists(k_));
}

TEST_F(ReorgTest, FailedRepairIsTheErrorShown) {
  FaultyEngine engine;
  engine.FailNext("CompactDatabase", 3049, "scripted failure of CompactDatabase 1");
  engine.FailNext("RepairDatabase", 3056, "scripted failure of RepairDatabase 1");
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 1, 0), -1);
  EXPECT_EQ(CompactsAndRepairs(engine),
            (std::vector<std::string>{"CompactDatabase", "RepairDatabase"}));
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text,
            "Error during compacting! 3056: scripted failure of RepairDatabase 1");
}

TEST_F(ReorgTest, SecondCompactionFailingIsTheErrorShown) {
  FaultyEngine engine;
  engine.FailNext("CompactDatabase", 3049, "scripted failure of CompactDatabase 1");
  engine.FailNext("CompactDatabase", 3043, "scripted failure of CompactDatabase 2", 2);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 1, 0), -1);
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text,
            "Error during compacting! 3043: scripted failure of CompactDatabase 2");
  EXPECT_FALSE(Exists(k_));
  EXPECT_EQ(Digest(p_), original_);
}

// --- Arguments handed to the engine --------------------------------------------------

TEST_F(ReorgTest, VersionZeroOmitsTheOptionsAndOtherValuesArePassedOn) {
  FaultyEngine engine;
  ScriptedHost host;
  ASSERT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  ASSERT_EQ(dbReorg(host, p_, 0, 0, 32), 0);
  ASSERT_EQ(dbReorg(host, p_, 0, 0, -1), 0);
  ASSERT_EQ(engine.Compactions().size(), 3u);
  EXPECT_FALSE(engine.Compactions()[0].options.has_value());
  EXPECT_EQ(engine.Compactions()[1].options, std::optional<int32_t>(32));
  EXPECT_EQ(engine.Compactions()[2].options, std::optional<int32_t>(-1));
  for (const auto& c : engine.Compactions()) {
    EXPECT_EQ(c.source, p_);
    EXPECT_EQ(c.destination, t_);
    EXPECT_EQ(c.locale, ";LANGID=0x0409;CP=1252;COUNTRY=0");
  }
}

// --- The swap when a file operation fails --------------------------------------------

TEST_F(ReorgTest, SwapSyncsTBeforeItTakesPsNameAndTheFolderAfter) {
  FaultyFiles files;
  ScriptedHost host;
  ASSERT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  const auto& log = files.Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.front(), "Remove " + t_);
  auto at = [&](const std::string& op) {
    return std::find(log.begin(), log.end(), op) - log.begin();
  };
  const auto rename = at("Rename " + t_ + " -> " + p_);
  ASSERT_LT(rename, static_cast<long>(log.size()));
  EXPECT_LT(at("SyncFile " + t_), rename);
  EXPECT_LT(at("Link " + p_ + " -> " + k_), rename);
  EXPECT_EQ(log.back(), "SyncParentDir " + p_);
  EXPECT_GT(static_cast<long>(log.size()) - 1, rename);
}

// The number of the first operation of a dry run (on a scratch database of its own) whose
// log line starts with `op` and mentions `name_part`; 0 when there is none.
int StepOf(const std::string& op, const std::string& name_part) {
  TempDir scratch;
  const std::string p = scratch.File("site.mdb");
  MakeLinks(p, 10, 10);
  FaultyFiles probe;
  ScriptedHost host;
  dbReorg(host, p, 0, 0, 0);
  for (size_t i = 0; i < probe.Log().size(); ++i) {
    const std::string& line = probe.Log()[i];
    if (line.rfind(op, 0) == 0 && line.find(name_part) != std::string::npos)
      return static_cast<int>(i) + 1;
  }
  return 0;
}

TEST_F(ReorgTest, BackupThatCannotBeDeletedLeavesPAloneAndTWithTheCompactedCopy) {
  testing::WriteAll(k_, "an older backup");
  const std::string old_bytes = ReadAll(p_);
  const int remove_k = StepOf("Remove ", "site.BAK");
  ASSERT_GT(remove_k, 0);
  FaultyFiles files;
  files.FailAt(remove_k, EACCES);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), 0);  // the swap's failures do not change the result
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ReadAll(p_), old_bytes);
  EXPECT_EQ(ReadAll(k_), "an older backup");
  EXPECT_EQ(Digest(t_), original_);
  EXPECT_EQ(FreePages(t_), 0u);
}

TEST_F(ReorgTest, NoHardLinksMeansTheBackupIsCopied) {
  const int link = StepOf("Link ", "site.BAK");
  ASSERT_GT(link, 0);
  FaultyFiles files;
  files.FailAt(link, EXDEV);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  EXPECT_EQ(Digest(k_), original_);
  EXPECT_GT(FreePages(k_), 0u);
  EXPECT_EQ(FreePages(p_), 0u);
  EXPECT_NE(InodeOf(p_), InodeOf(k_));
}

TEST_F(ReorgTest, FailedFinalRenameKeepsTheOldPAndAnIndependentBackup) {
  const int rename = StepOf("Rename ", "site.$");
  ASSERT_GT(rename, 0);
  FaultyFiles files;
  files.FailAt(rename, ENOSPC);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  EXPECT_EQ(Digest(p_), original_);
  EXPECT_GT(FreePages(p_), 0u);
  EXPECT_EQ(Digest(k_), original_);
  EXPECT_NE(InodeOf(p_), InodeOf(k_));  // writing to P later must not change the backup
  EXPECT_EQ(Digest(t_), original_);
}

TEST_F(ReorgTest, FileHeldByAnotherProgramIsNotSwappedUnderIt) {
  const std::string old_bytes = ReadAll(p_);
  testing::DatabaseHolder holder(p_, testing::DatabaseHolder::kEngineShared);
  ASSERT_TRUE(holder.Holding());
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), 0);  // the compacted copy was produced
  EXPECT_TRUE(host.Boxes().empty());
  holder.Stop();
  EXPECT_EQ(ReadAll(p_), old_bytes);
  EXPECT_FALSE(Exists(k_));
  EXPECT_EQ(Digest(t_), original_);
  // Once the other program is gone, the next call does the whole job.
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), 0);
  EXPECT_EQ(ReadAll(k_), old_bytes);
  EXPECT_EQ(FreePages(p_), 0u);
}

// A database named like its own backup, and one left with a hot journal by a crawler
// killed inside a transaction: both are compacted, and nothing is lost.
TEST_F(ReorgTest, NamedLikeItsBackupOrWithAHotJournalIsCompacted) {
  const std::string bak = dir_.File("other.BAK");
  MakeLinks(bak, 400, 200);
  const std::string bak_rows = Digest(bak);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, bak, 0, 0, 0), 0);
  EXPECT_EQ(Digest(bak), bak_rows);
  EXPECT_EQ(FreePages(bak), 0u);
  EXPECT_FALSE(Exists(dir_.File("other.$")));

  ASSERT_TRUE(testing::LeaveHotJournal(p_, "DELETE FROM Links"));
  EXPECT_EQ(dbReorg(host, p_, 0, 0, 0), 0);
  EXPECT_FALSE(Exists(p_ + "-journal"));
  EXPECT_EQ(Digest(p_), original_);
  EXPECT_EQ(FreePages(p_), 0u);
  EXPECT_EQ(Digest(k_), original_);
}

// --- Killed at every step -------------------------------------------------------------

// After a kill: P holds every row; K is gone, still the older backup, or holds every row
// too; and a rerun cleans up and succeeds.
void ExpectRecoverable(const std::string& p, const std::string& t, const std::string& k,
                       const std::string& original, const std::string& where,
                       const std::string& older_backup = {}) {
  EXPECT_EQ(Digest(p), original) << where;
  if (Exists(k) && (older_backup.empty() || ReadAll(k) != older_backup)) {
    EXPECT_EQ(Digest(k), original) << where;
  }
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p, 0, 0, 0), 0) << where;
  EXPECT_FALSE(Exists(t)) << where;
  EXPECT_EQ(Digest(p), original) << where;
  EXPECT_EQ(Digest(k), original) << where;
  EXPECT_EQ(FreePages(p), 0u) << where;
}

TEST(ReorgCrash, KilledAtEveryFileOperation) {
  TempDir dir;
  const std::string seed = dir.File("seed.mdb");
  MakeLinks(seed, 400, 200);
  const std::string original = Digest(seed);
  const std::string p = dir.File("site.mdb"), t = dir.File("site.$"), k = dir.File("site.BAK");
  auto fresh = [&] {
    engine::RealFiles().Remove(p);
    engine::RealFiles().Remove(t);
    engine::RealFiles().Remove(k);
    ASSERT_FALSE(engine::RealFiles().Copy(seed, p));
    testing::WriteAll(k, "an older backup");
  };
  fresh();
  int operations = 0;
  {
    FaultyFiles probe;
    ScriptedHost host;
    ASSERT_EQ(dbReorg(host, p, 0, 0, 0), 0);
    operations = probe.Count();
  }
  ASSERT_GE(operations, 6);  // delete T, sync T, delete K, link, rename, sync folder
  RecordProperty("operations", operations);
  for (int kill_at = 1; kill_at <= operations; ++kill_at) {
    fresh();
    auto result = testing::RunInChild([&] {
      FaultyFiles files;
      files.KillAt(kill_at);
      ScriptedHost host;
      dbReorg(host, p, 0, 0, 0);
      return 0;
    });
    const std::string where = "killed at operation " + std::to_string(kill_at);
    ASSERT_TRUE(result.killed) << where;
    EXPECT_EQ(result.signal, SIGKILL) << where;
    ExpectRecoverable(p, t, k, original, where, "an older backup");
  }
}

// A host that kills its process at the n-th progress report of the engine: a kill point
// inside the compaction that does not depend on timing.
class KillingHost : public ScriptedHost {
 public:
  explicit KillingHost(int n) : n_(n) {}
  void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
    ScriptedHost::Progress(stage, done, total);
    if (ProgressCount() == n_) ::kill(::getpid(), SIGKILL);
  }

 private:
  int n_;
};

TEST(ReorgCrash, KilledAtRandomMomentsWhileCompactingTensOfMegabytes) {
  TempDir dir;
  const std::string seed = dir.File("seed.mdb");
  MakeLinks(seed, 25000, 1000);  // about 30 MB, half of it free pages
  const std::string original = Digest(seed);
  ASSERT_FALSE(original.empty());
  const std::string p = dir.File("site.mdb"), t = dir.File("site.$"), k = dir.File("site.BAK");
  auto fresh = [&] {
    engine::RealFiles().Remove(p);
    engine::RealFiles().Remove(t);
    engine::RealFiles().Remove(k);
    ASSERT_FALSE(engine::RealFiles().Copy(seed, p));
  };
  // How long one uninterrupted run takes here, to spread the kills over it. Nothing is
  // asserted about the time itself.
  fresh();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::RunInChild([&] {
                ScriptedHost host;
                return dbReorg(host, p, 0, 0, 0) == 0 ? 0 : 1;
              }).exited);
  const auto full = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - start);
  const unsigned seed_value = std::random_device{}();
  std::mt19937 rng(seed_value);
  std::uniform_int_distribution<int64_t> when(0, full.count());
  int killed = 0;
  for (int round = 0; round < 8; ++round) {
    fresh();
    const auto delay = std::chrono::microseconds(when(rng));
    pid_t child = testing::StartChild([&] {
      ScriptedHost host;
      return dbReorg(host, p, 0, 0, 0) == 0 ? 0 : 1;
    });
    auto result = testing::KillChildAfter(child, delay);
    if (result.killed) ++killed;
    ExpectRecoverable(p, t, k, original,
                      "seed " + std::to_string(seed_value) + ", kill after " +
                          std::to_string(delay.count()) + " us");
  }
  RecordProperty("killed_rounds", killed);

  // And at each progress report of the engine, until a run gets through all of them.
  int reports = 0;
  for (int n = 1; n <= 50; ++n) {
    fresh();
    auto result = testing::RunInChild([&] {
      KillingHost host(n);
      return dbReorg(host, p, 0, 0, 0) == 0 ? 0 : 1;
    });
    const std::string where = "killed at progress report " + std::to_string(n);
    ExpectRecoverable(p, t, k, original, where);
    if (!result.killed) break;
    ++reports;
  }
  RecordProperty("progress_kills", reports);
}

}  // namespace
}  // namespace tidewell
