// Who else has a database file open: the lease and the look through /proc each see a holder
// in another process, whatever it is, and never this process's own opens; a holder that
// turns up while the repair runs keeps the repaired copy from taking the file's name.
#include "engine/file_holders.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/notes.h"
#include "tests/support/child_process.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/files.h"
#include "tests/support/queries.h"

namespace tidewell::engine {
namespace {

using namespace tidewell::testing;
namespace fs = std::filesystem;

class Holders : public ::testing::Test {
 protected:
  void SetUp() override { Sql(path_, "CREATE TABLE T(a); INSERT INTO T VALUES (1), (2), (3)"); }
  TempDir dir_;
  const std::string path_ = dir_.File("held.mdb"), copy_ = dir_.File("copy.mdb");
};

// Every kind of holder elsewhere is seen by the lease and by the look through /proc, and
// keeps an exclusive open and a repair out; the engine's exclusive open also keeps out shared
// opens, a compaction and plain SQLite. Once it is gone, neither means sees anything.
TEST_F(Holders, EachMeansSeesAnotherProcessAndWhatItKeepsOut) {
  for (auto mode :
       {DatabaseHolder::kSqliteIdle, DatabaseHolder::kPlainOpen, DatabaseHolder::kSqliteRead,
        DatabaseHolder::kEngineShared, DatabaseHolder::kEngineExclusive}) {
    const int32_t shared = mode == DatabaseHolder::kEngineExclusive ? kErrFileInUse : 0;
    SCOPED_TRACE(mode);
    DatabaseHolder other(path_, mode);
    ASSERT_TRUE(other.Holding());
    EXPECT_EQ(TryWriteLease(path_), LeaseAnswer::kHeld);
    EXPECT_TRUE(HolderInProc(path_).starts_with("process ")) << HolderInProc(path_);
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
    EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), kErrFileInUse);
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_)->Close(); }), shared);
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, false, true)->Close(); }), shared);
    if (shared) {  // the holder is exclusive
      EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, copy_); }), kErrFileInUse);
      EXPECT_FALSE(fs::exists(copy_));
      EXPECT_EQ(QueryInt(path_, "SELECT count(*) FROM sqlite_schema"), -1);
    }
    other.Stop();
    EXPECT_EQ(TryWriteLease(path_), LeaseAnswer::kFree);
    EXPECT_EQ(HolderInProc(path_), "");
    EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true)->Close(); }), 0);
  }
  // Shared opens here keep an exclusive one out until the last closes, and the other way
  // round; the last close lets go of every descriptor it kept for the file.
  const auto fds = [] { return std::ranges::distance(fs::directory_iterator("/proc/self/fd")); };
  const auto before = fds();
  auto first = DBEngine().OpenDatabase(path_);
  auto second = DBEngine().OpenDatabase(path_);
  first->Close();
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true); }), kErrFileInUse);
  second->Close();
  EXPECT_EQ(fds(), before);
  auto only = DBEngine().OpenDatabase(path_, true);
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_); }), kErrFileInUse);
}

// The check, a count or a plain read in this very process is the program's own business.
TEST_F(Holders, OpensOfThisProcessDoNotCount) {
  sqlite3* conn = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path_.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(conn, "SELECT count(*) FROM T", nullptr, nullptr, nullptr), SQLITE_OK);
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto shared = DBEngine().OpenDatabase(path_);
  EXPECT_EQ(shared->OpenTable("T")->RecordCount(), 3);
  EXPECT_EQ(TryWriteLease(path_), LeaseAnswer::kCannotTell);  // never a lease on our own fd
  EXPECT_EQ(HolderInProc(path_), "");
  EXPECT_EQ(engine::Holders().OtherHolder(path_), "");
  shared->Close();
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(path_, true)->Close(); }), 0);
  ::close(fd);
  sqlite3_close(conn);
}

// Not root: a file of another owner refuses the lease, and another user's descriptors are
// closed to us. That is the blind spot the documentation names.
TEST_F(Holders, AnotherUsersProcessIsHiddenFromAUserWhoIsNotRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to be another user";
  fs::permissions(dir_.path(), fs::perms::all);  // the other user must reach the file
  DatabaseHolder root_holder(path_, DatabaseHolder::kPlainOpen);
  ASSERT_TRUE(root_holder.Holding());
  const ChildResult seen = RunInChild([&] {
    if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 2;
    if (::access(path_.c_str(), R_OK) != 0) return 3;  // it must be able to look at all
    return TryWriteLease(path_) == LeaseAnswer::kCannotTell && HolderInProc(path_).empty() ? 0 : 1;
  });
  EXPECT_EQ(seen.exit_code, 0);
  EXPECT_EQ(engine::Holders().OtherHolder(path_).empty(), false);  // root sees it
}

// Stands for a program that opens the file at the n-th look.
struct HeldAtLook : HolderProbe {
  explicit HeldAtLook(int n) : at(n), previous(SetHolders(this)) {}
  ~HeldAtLook() override { SetHolders(previous); }
  std::string OtherHolder(const std::string&) override {
    return ++looks == at ? "process 4711 (crawler)" : "";
  }
  int at, looks = 0;
  HolderProbe* previous;
};

// The repair looks before it starts and again right before its rename; either time a
// holder leaves the damaged file as it was, with nothing beside it, and the note says so.
TEST_F(Holders, TheRepairLooksBeforeItStartsAndBeforeItsSwap) {
  Sql(path_,
      "CREATE TABLE Big(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
      "WHERE i < 400) INSERT INTO Big SELECT randomblob(300) FROM n");
  FillPage(path_, RootPageOf(path_, "Big"), 0x5a);
  const std::string bytes = ReadAll(path_);
  for (int at : {1, 2}) {
    SCOPED_TRACE(at);
    std::vector<Fate> notes;
    SetNotes([&](std::string_view, Fate fate, std::string_view) { notes.push_back(fate); });
    HeldAtLook probe(at);
    EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), kErrFileInUse);
    SetNotes(nullptr);
    EXPECT_EQ(probe.looks, at);
    EXPECT_TRUE(ReadAll(path_) == bytes);
    EXPECT_FALSE(fs::exists(path_ + ".repairing"));
    EXPECT_FALSE(fs::exists(path_ + ".damaged"));
    EXPECT_EQ(notes, std::vector<Fate>{Fate::kInUse});
  }
  HeldAtLook nobody(0);
  EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), 0);
  EXPECT_EQ(nobody.looks, 2);
  EXPECT_TRUE(fs::exists(path_ + ".damaged"));
}

}  // namespace
}  // namespace tidewell::engine
