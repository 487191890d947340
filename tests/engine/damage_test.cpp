// Damaged and foreign files: what opens, what fails with which number, and what repair and
// compaction do with them. Every damaged file is made here by breaking chosen pages.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>

#include "engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/faulty_files.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using test::CountRows;
using test::ErrorOf;
using tidewell::testing::FillPage;
using tidewell::testing::OverwriteAt;
using tidewell::testing::PageSizeOf;
using tidewell::testing::ReadAll;
using tidewell::testing::TempDir;
using tidewell::testing::WriteAll;

constexpr int kBigRows = 1200;

class Damage : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = DBEngine().CreateDatabase(path_, std::string(kGeneralLocale), 32);
    TableDef big("Big");
    big.Fields().Append(Field{"ID", dbLong, 4, dbFixedField, false});
    big.Fields().Append(Field{"Url", dbText, 255, dbVariableField, true});
    big.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
    big.Indexes().Append(Index{"Url", false, false, "-Url"});
    db->TableDefs().Append(big);
    TableDef small("Small");
    small.Fields().Append(Field{"Name", dbText, 50, dbVariableField, true});
    db->TableDefs().Append(small);
    db->Execute("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                std::to_string(kBigRows) +
                ") INSERT INTO Big SELECT i, printf('https://example.com/%05d/%s', i, "
                "substr(hex(randomblob(80)), 1, 150)) FROM n");
    db->Execute("INSERT INTO Small VALUES ('a'), ('b'), ('c')");
    db->Close();
  }
  // Breaks one leaf page in the middle of the table's b-tree.
  void BreakTableLeaf() {
    auto leaves = tidewell::testing::PagesOf(path_, "Big", "leaf");
    ASSERT_GT(leaves.size(), 4u);
    FillPage(path_, leaves[leaves.size() / 2], 0);
  }
  TempDir dir_;
  std::string path_ = dir_.File("data.mdb");
};

// Whatever breaks the start of the file, every open and a compaction say "not a database".
TEST_F(Damage, BrokenStartOfFileGives3049) {
  const std::string healthy = ReadAll(path_);
  const std::vector<std::pair<uint64_t, std::string>> breaks = {
      {0, std::string(8192, 'x')},                          // not a database at all
      {0, "SQLite format 2"},                               // the header
      {100, std::string(PageSizeOf(path_) - 100, '\xee')},  // the catalog, after the header
  };
  for (const auto& [offset, bytes] : breaks) {
    WriteAll(path_, healthy);
    OverwriteAt(path_, offset, bytes);
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_); }), kErrNotADatabase) << offset;
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrNotADatabase) << offset;
    EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, dir_.File("c.mdb")); }),
              kErrNotADatabase)
        << offset;
    EXPECT_FALSE(std::filesystem::exists(dir_.File("c.mdb")));
  }
  WriteAll(path_, "");
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_); }), kErrNotADatabase);
}

TEST_F(Damage, MissingFileGivesFileNotFound) {
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(dir_.File("none.mdb")); }), kErrFileNotFound);
  EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(dir_.File("none.mdb")); }), kErrFileNotFound);
}

TEST_F(Damage, ADamagedTableOpensButCannotBeRead) {
  BreakTableLeaf();
  auto db = DBEngine().OpenDatabase(path_);
  EXPECT_EQ(db->TableDefs().Count(), 2);
  EXPECT_EQ(db->TableDefs().Item("Big").Indexes().Count(), 2);
  EXPECT_EQ(ErrorOf([&] { db->OpenTable("Big"); }), kErrTableDamaged);
  EXPECT_EQ(CountRows(*db, "Small"), 3);
}

TEST_F(Damage, ADamagedIndexDoesNotChangeTheCount) {
  auto leaves = tidewell::testing::PagesOf(path_, "tw$3$Big$0$Url", "leaf");
  ASSERT_FALSE(leaves.empty());
  FillPage(path_, leaves.front(), 0);
  auto db = DBEngine().OpenDatabase(path_);
  EXPECT_EQ(CountRows(*db, "Big"), kBigRows);
}

TEST_F(Damage, CompactionRefusesADamagedTable) {
  BreakTableLeaf();
  std::string before = ReadAll(path_);
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, dir_.File("c.mdb")); }),
            kErrNotADatabase);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("c.mdb")));
  EXPECT_EQ(ReadAll(path_), before);
}

TEST_F(Damage, RepairLeavesAHealthyFileAsItIs) {
  std::string before = ReadAll(path_);
  DBEngine().RepairDatabase(path_);
  EXPECT_EQ(ReadAll(path_), before);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".damaged"));
}

TEST_F(Damage, RepairSalvagesEveryReadableRowAndKeepsTheOriginal) {
  BreakTableLeaf();
  std::string damaged = ReadAll(path_);
  DBEngine().RepairDatabase(path_);
  EXPECT_EQ(ReadAll(path_ + ".damaged"), damaged);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".repairing"));
  EXPECT_EQ(test::RawInt(path_,
                         "SELECT count(*) FROM pragma_integrity_check WHERE "
                         "integrity_check <> 'ok'"),
            0);
  auto db = DBEngine().OpenDatabase(path_);
  int32_t big = CountRows(*db, "Big");
  EXPECT_LT(big, kBigRows);          // the rows of the broken page are gone
  EXPECT_GT(big, kBigRows * 3 / 4);  // but only those
  EXPECT_EQ(CountRows(*db, "Small"), 3);
  // Rows after the broken page came through, and the indexes were rebuilt.
  EXPECT_EQ(test::RawInt(path_, "SELECT max(ID) FROM Big"), kBigRows);
  TableDef t = db->TableDefs().Item("Big");
  ASSERT_EQ(t.Indexes().Count(), 2);
  EXPECT_TRUE(t.Indexes().Item("PrimaryKey").Primary);
  EXPECT_EQ(t.Indexes().Item("Url").Fields, "-Url");
  EXPECT_EQ(t.Fields().Item("Url").Size, 255);
}

TEST_F(Damage, RepairReplacesAnOlderDamagedCopy) {
  WriteAll(path_ + ".damaged", "old");
  BreakTableLeaf();
  std::string damaged = ReadAll(path_);
  DBEngine().RepairDatabase(path_);
  EXPECT_EQ(ReadAll(path_ + ".damaged"), damaged);
}

TEST_F(Damage, RepairOfANonDatabaseGives3056AndTouchesNothing) {
  std::string junk(20000, 'j');
  WriteAll(path_, junk);
  EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), kErrCannotRepair);
  EXPECT_EQ(ReadAll(path_), junk);
  EXPECT_FALSE(std::filesystem::exists(path_ + ".damaged"));
  EXPECT_FALSE(std::filesystem::exists(path_ + ".repairing"));
}

TEST_F(Damage, CompactionWritesAnEqualSmallerCopyAndLeavesTheSourceAlone) {
  {
    auto db = DBEngine().OpenDatabase(path_);
    db->Execute("DELETE FROM Big WHERE ID % 2 = 0");
    db->Close();
  }
  std::string before = ReadAll(path_);
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  DBEngine().SetProgress(
      [&](std::string_view, uint64_t done, uint64_t total) { progress.emplace_back(done, total); });
  DBEngine().CompactDatabase(path_, dir_.File("c.mdb"), std::string(kGeneralLocale), 16);
  DBEngine().SetProgress({});
  EXPECT_EQ(ReadAll(path_), before);
  EXPECT_LT(std::filesystem::file_size(dir_.File("c.mdb")), before.size());
  EXPECT_EQ(test::RawInt(dir_.File("c.mdb"), "PRAGMA freelist_count"), 0);
  EXPECT_EQ(test::RawInt(dir_.File("c.mdb"), "PRAGMA user_version"), 16);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back().first, progress.back().second);
  auto db = DBEngine().OpenDatabase(dir_.File("c.mdb"));
  EXPECT_EQ(CountRows(*db, "Big"), kBigRows / 2);
  EXPECT_EQ(CountRows(*db, "Small"), 3);
}

TEST_F(Damage, CompactionAndCreationRefuseAnExistingDestination) {
  WriteAll(dir_.File("c.mdb"), "keep me");
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, dir_.File("c.mdb")); }),
            kErrDatabaseExists);
  EXPECT_EQ(ErrorOf([&] {
              DBEngine().CreateDatabase(dir_.File("c.mdb"), std::string(kGeneralLocale), 0);
            }),
            kErrDatabaseExists);
  EXPECT_EQ(ReadAll(dir_.File("c.mdb")), "keep me");
}

TEST_F(Damage, CreationRecordsTheLocaleAndTheFormatOption) {
  EXPECT_EQ(test::RawInt(path_, "PRAGMA user_version"), 32);
  EXPECT_EQ(test::RawInt(path_, "PRAGMA application_id"), (1252 << 16) | 0x0409);
}

TEST_F(Damage, RepairKilledAtAnyFileStepLeavesACompleteDatabase) {
  BreakTableLeaf();
  const std::string damaged = ReadAll(path_);
  bool finished = false;
  for (int die_at = 1; die_at <= 12 && !finished; ++die_at) {
    WriteAll(path_, damaged);
    for (const char* suffix : {".damaged", ".repairing"}) std::filesystem::remove(path_ + suffix);
    pid_t pid = fork();
    if (pid == 0) {
      tidewell::testing::FaultyFiles files;
      files.KillAt(die_at);
      try {
        DBEngine().RepairDatabase(path_);
      } catch (const EngineException&) {
        _exit(1);
      }
      _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) || WTERMSIG(status) == SIGKILL);
    finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    // Whatever the moment, the name holds either the damaged original or the repaired file.
    std::string now = ReadAll(path_);
    if (now != damaged) {
      auto db = DBEngine().OpenDatabase(path_);
      EXPECT_GT(CountRows(*db, "Big"), 0) << "killed at step " << die_at;
      EXPECT_EQ(CountRows(*db, "Small"), 3) << "killed at step " << die_at;
    }
    if (finished) {
      EXPECT_NE(now, damaged);
      EXPECT_EQ(ReadAll(path_ + ".damaged"), damaged);
    }
  }
  EXPECT_TRUE(finished);
}

TEST_F(Damage, CompactionAfterACrashInsideATransactionGivesTheCommittedRows) {
  pid_t pid = fork();
  if (pid == 0) {
    auto db = DBEngine().OpenDatabase(path_);
    DBEngine().BeginTrans();
    db->Execute("DELETE FROM Big");
    db->Execute("DELETE FROM Small");
    _exit(0);  // dies with the transaction open: its journal stays behind
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_GT(std::filesystem::file_size(path_ + "-journal"), 0u);
  DBEngine().CompactDatabase(path_, dir_.File("c.mdb"));
  auto db = DBEngine().OpenDatabase(dir_.File("c.mdb"));
  EXPECT_EQ(CountRows(*db, "Big"), kBigRows);
  EXPECT_EQ(CountRows(*db, "Small"), 3);
}

}  // namespace
}  // namespace tidewell::engine
