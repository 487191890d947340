// Shared and exclusive opens across processes: each situation holds the file in a child
// process and tries the open in this one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "engine/engine.h"
#include "engine/file_system.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using test::ErrorOf;
using tidewell::testing::TempDir;

// A child process that takes hold of the file, reports whether that worked, and keeps it
// until told to let go.
class Holder {
 public:
  explicit Holder(std::function<bool()> take) {
    if (pipe(ready_) != 0 || pipe(release_) != 0) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      close(ready_[0]);
      close(release_[1]);
      char ok = take() ? 'y' : 'n';
      if (write(ready_[1], &ok, 1) != 1) _exit(3);
      char c;
      if (read(release_[0], &c, 1) < 0) _exit(3);
      _exit(0);
    }
    close(ready_[1]);
    close(release_[0]);
    char ok = 'n';
    if (read(ready_[0], &ok, 1) != 1) ok = 'n';
    holding_ = ok == 'y';
  }
  ~Holder() { Release(); }
  bool holding() const { return holding_; }
  void Release() {
    if (pid_ <= 0) return;
    char c = 'x';
    if (write(release_[1], &c, 1) != 1) kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
    close(ready_[0]);
    close(release_[1]);
    pid_ = -1;
  }

 private:
  int ready_[2], release_[2];
  pid_t pid_ = -1;
  bool holding_ = false;
};

// The child keeps whatever it opened until _exit, so a leaked pointer is fine there.
std::function<bool()> EngineOpen(const std::string& path, bool exclusive) {
  return [path, exclusive] {
    try {
      DBEngine().OpenDatabase(path, exclusive).release();
      return true;
    } catch (const EngineException&) {
      return false;
    }
  };
}

std::function<bool()> SqliteReadTransaction(const std::string& path) {
  return [path] {
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
    return sqlite3_exec(db, "BEGIN; SELECT count(*) FROM sqlite_schema;", nullptr, nullptr,
                        nullptr) == SQLITE_OK;
  };
}

// Whether some process holds SQLite's reserved-lock byte of the file, as seen from a
// process that holds nothing itself.
std::function<bool()> ReservedByteHeld(const std::string& path) {
  return [path] {
    int fd = open(path.c_str(), O_RDONLY);
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0x40000001;  // SQLite's reserved byte
    fl.l_len = 1;
    bool held = fd >= 0 && fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
    return held;
  };
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

TEST_F(Locks, SharedOpenElsewhereAllowsSharedButNotExclusive) {
  Holder other(EngineOpen(path_, false));
  ASSERT_TRUE(other.holding());
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_)->Close(); }), 0);
  EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), kErrFileInUse);
  other.Release();
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true)->Close(); }), 0);
}

TEST_F(Locks, ExclusiveOpenElsewhereBlocksEveryOpen) {
  Holder other(EngineOpen(path_, true));
  ASSERT_TRUE(other.holding());
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_); }), kErrFileInUse);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, false, true); }), kErrFileInUse);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, dir_.File("c.mdb")); }), kErrFileInUse);
  EXPECT_FALSE(std::filesystem::exists(dir_.File("c.mdb")));
  // A plain SQLite connection cannot read it either.
  EXPECT_EQ(test::RawInt(path_, "SELECT count(*) FROM sqlite_schema"), -1);
  other.Release();
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_)->Close(); }), 0);
}

TEST_F(Locks, AnySqliteConnectionHoldingALockKeepsExclusiveOut) {
  Holder reader(SqliteReadTransaction(path_));
  ASSERT_TRUE(reader.holding());
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_)->Close(); }), 0);
  reader.Release();
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true)->Close(); }), 0);
}

TEST_F(Locks, ExclusiveOpenInThisProcessBlocksAnotherProcess) {
  auto db = DBEngine().OpenDatabase(path_, true);
  Holder shared(EngineOpen(path_, false));
  EXPECT_FALSE(shared.holding());
  shared.Release();
  Holder reader(SqliteReadTransaction(path_));
  EXPECT_FALSE(reader.holding());
  reader.Release();
  db->Close();
  Holder again(EngineOpen(path_, false));
  EXPECT_TRUE(again.holding());
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
  Holder observer(ReservedByteHeld(path_));
  EXPECT_TRUE(observer.holding());
  observer.Release();
  DBEngine().CommitTrans(dbForceOSFlush);
  EXPECT_EQ(test::RawInt(path_, "SELECT count(*) FROM T"), 1);
}

}  // namespace
}  // namespace tidewell::engine
