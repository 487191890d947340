// Shared and exclusive opens across processes: each situation holds the file in a child
// process and tries the open in this one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include "engine/engine.h"
#include "engine/file_system.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using test::ErrorOf;
using tidewell::testing::TempDir;

using tidewell::testing::DatabaseHolder;

// Whether some process holds SQLite's reserved-lock byte of the file, as seen from a
// process that holds nothing itself.
bool ReservedByteHeld(const std::string& path) {
  return tidewell::testing::RunInChild([&] {
           int fd = open(path.c_str(), O_RDONLY);
           struct flock fl {};
           fl.l_type = F_WRLCK;
           fl.l_whence = SEEK_SET;
           fl.l_start = 0x40000001;  // SQLite's reserved byte
           fl.l_len = 1;
           return fd >= 0 && fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK ? 0 : 1;
         }).exit_code == 0;
}

class Locks : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = DBEngine().CreateDatabase(path_, std::string(kGeneralLocale), 0);
    TableDef t("T");
    t.Fields().Append(Field{"A", dbLong, 4, dbFixedField, false});
    db->TableDefs().Append(t);
    db->Close();
  }
  TempDir dir_;
  std::string path_ = dir_.File("locked.mdb");
};

// Every kind of holder elsewhere keeps an exclusive open and a repair out; the engine's
// exclusive open also keeps out shared opens, a compaction and plain SQLite.
TEST_F(Locks, WhatAHolderElsewhereKeepsOut) {
  for (auto mode : {DatabaseHolder::kEngineShared, DatabaseHolder::kEngineExclusive,
                    DatabaseHolder::kSqliteRead}) {
    const bool exclusive = mode == DatabaseHolder::kEngineExclusive;
    const int32_t shared = exclusive ? kErrFileInUse : 0;
    DatabaseHolder other(path_, mode);
    ASSERT_TRUE(other.Holding()) << mode;
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse) << mode;
    EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), kErrFileInUse) << mode;
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_)->Close(); }), shared) << mode;
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, false, true)->Close(); }), shared)
        << mode;
    if (exclusive) {
      EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, dir_.File("c.mdb")); }),
                kErrFileInUse);
      EXPECT_FALSE(std::filesystem::exists(dir_.File("c.mdb")));
      EXPECT_EQ(test::RawInt(path_, "SELECT count(*) FROM sqlite_schema"), -1);
    }
    other.Stop();
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true)->Close(); }), 0) << mode;
  }
}

TEST_F(Locks, ExclusiveOpenInThisProcessBlocksAnotherProcess) {
  auto db = DBEngine().OpenDatabase(path_, true);
  DatabaseHolder shared(path_, DatabaseHolder::kEngineShared);
  EXPECT_FALSE(shared.Holding());
  shared.Stop();
  DatabaseHolder reader(path_, DatabaseHolder::kSqliteRead);
  EXPECT_FALSE(reader.Holding());
  reader.Stop();
  db->Close();
  DatabaseHolder again(path_, DatabaseHolder::kEngineShared);
  EXPECT_TRUE(again.Holding());
}

TEST_F(Locks, OpensInOneProcessFollowTheSameRules) {
  auto first = DBEngine().OpenDatabase(path_);
  auto second = DBEngine().OpenDatabase(path_);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
  // Closing one shared open keeps the other one's locks intact.
  first->Close();
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
  second->Close();
  auto only = DBEngine().OpenDatabase(path_, true);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_); }), kErrFileInUse);
  EXPECT_EQ(test::CountRows(*only, "T"), 0);
}

TEST_F(Locks, AnotherOpenAndCloseKeepsATransactionsLocks) {
  auto writer = DBEngine().OpenDatabase(path_);
  DBEngine().BeginTrans();
  writer->Execute("INSERT INTO T VALUES (1)");
  // Opening and closing the same file again must not drop the writer's SQLite locks.
  DBEngine().OpenDatabase(path_)->Close();
  Files().SyncFile(path_);
  EXPECT_TRUE(ReservedByteHeld(path_));
  DBEngine().CommitTrans(dbForceOSFlush);
  EXPECT_EQ(test::RawInt(path_, "SELECT count(*) FROM T"), 1);
}

}  // namespace
}  // namespace tidewell::engine
