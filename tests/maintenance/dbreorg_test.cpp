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
#include <filesystem>
#include <random>
#include <stdexcept>

#include "engine/engine.h"
#include "engine/file_system.h"
#include "tests/support/child_process.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using testing::FaultyEngine;
using testing::FaultyFiles;
using testing::FreePages;
using testing::ReadAll;
using testing::ScriptedHost;
using testing::TempDir;

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}
ino_t InodeOf(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_ino;
}
// One table "Links" with `rows` rows, then every other row deleted so that the file has
// free pages for the compaction to drop.
void MakeLinks(const std::string& path, int rows, int url_bytes) {
  testing::MakeDatabase(path, {{"Links", rows}}, url_bytes);
  auto db = engine::DBEngine().OpenDatabase(path);
  db->Execute("DELETE FROM [Links] WHERE ID % 2 = 0");
  db->Close();
}

std::string Digest(const std::string& path) {
  return testing::DigestOf(path, "Links");
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

TEST_F(ReorgTest, LeftoverTempIsDeletedEvenWhenTheCompactionFails) {
  testing::WriteAll(t_, "half a database from a crash");
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

// --- Failures and the repair path ------------------------------------------------------

// The compaction fails with `compact`, then optionally one more call (R: the repair, C: the
// second compaction) with `then`; every description is "disk %1% full %3%", which must show
// as it stands. `box` is the number the box shows (none when empty).
struct ReorgFailure {
  int32_t compact;
  char then_op;
  int32_t then;
  int16_t show, auto_repair, result;
  const char* calls;  // compactions and repairs, in order
  const char* box;
};

class ReorgFailureTest : public ReorgTest, public ::testing::WithParamInterface<ReorgFailure> {};

TEST_P(ReorgFailureTest, AnswersShowsAndLeaves) {
  const ReorgFailure& f = GetParam();
  testing::WriteAll(k_, "an older backup");
  const std::string old_bytes = ReadAll(p_);
  const char* description = "disk %1% full %3%";
  FaultyEngine engine;
  engine.FailNext("CompactDatabase", f.compact, description);
  if (f.then_op == 'R') engine.FailNext("RepairDatabase", f.then, description);
  if (f.then_op == 'C') engine.FailNext("CompactDatabase", f.then, description, 2);
  ScriptedHost host;
  EXPECT_EQ(dbReorg(host, p_, f.show, f.auto_repair, 0), f.result);
  std::string calls;
  for (const std::string& c : CompactsAndRepairs(engine)) calls += c[0];
  EXPECT_EQ(calls, f.calls);
  ASSERT_EQ(host.Boxes().size(), *f.box ? 1u : 0u);
  if (*f.box) {
    EXPECT_EQ(host.Boxes()[0].text,
              std::string("Error during compacting! ") + f.box + ": " + description);
    EXPECT_EQ(host.Boxes()[0].value, 0);
  }
  if (f.result == 0) {  // repaired, compacted and swapped
    EXPECT_EQ(Digest(p_), original_);
    EXPECT_EQ(Digest(k_), original_);
    EXPECT_EQ(FreePages(p_), 0u);
  } else {
    EXPECT_EQ(ReadAll(p_), old_bytes);
    EXPECT_EQ(ReadAll(k_), "an older backup");
  }
  EXPECT_FALSE(Exists(t_));
}

INSTANTIATE_TEST_SUITE_P(Plans, ReorgFailureTest,
                         ::testing::Values(
                             // No other number than 3049 leads to a repair.
                             ReorgFailure{3043, ' ', 0, 1, 1, -1, "C", "3043"},
                             ReorgFailure{3043, ' ', 0, 0, 1, -1, "C", ""},
                             ReorgFailure{3049, ' ', 0, 1, 1, 0, "CRC", ""},
                             ReorgFailure{3049, ' ', 0, 1, 0, -1, "C", "3049"},
                             ReorgFailure{3049, 'R', 3056, 1, 1, -1, "CR", "3056"},
                             ReorgFailure{3049, 'C', 3043, 1, 1, -1, "CRC", "3043"}));

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

// A crawler commits to P once the compaction has taken its copy: T lacks that row, so it
// must not replace P (the row would then be only in the backup).
TEST_F(ReorgTest, ACommitAfterTheCopyWasTakenKeepsPInPlace) {
  class CommittingHost : public ScriptedHost {
   public:
    explicit CommittingHost(std::string p) : p_(std::move(p)) {}
    void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
      ScriptedHost::Progress(stage, done, total);
      // The copy is complete once all is done; until the copy lets go of P, the insert is
      // refused as busy and tried again at the next report.
      sqlite3* conn = nullptr;
      if (!committed && done == total && total > 0 && sqlite3_open(p_.c_str(), &conn) == SQLITE_OK)
        committed = sqlite3_exec(conn, "INSERT INTO Links VALUES (100001, 'late')", nullptr,
                                 nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(conn);
    }
    bool committed = false;

   private:
    std::string p_;
  } host(p_);
  EXPECT_EQ(dbReorg(host, p_, 1, 0, 0), 0);
  ASSERT_TRUE(host.committed);
  EXPECT_NE(Digest(p_), original_);  // the late row is where the crawler looks
  EXPECT_FALSE(Exists(k_));
  EXPECT_EQ(Digest(t_), original_);  // T holds the copy, as taken
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
