// tidewell-cli as a user runs it: a child process on real sample databases, judged by its
// standard output, its exit status and the files it leaves.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/child_process.h"
#include "tests/support/cli_run.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell {
namespace {

using testing::CliRun;
using testing::RunCli;
constexpr size_t npos = std::string::npos;

class ConsoleProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sample::MakeSampleDatabase(db);
    sample::MakeQueueDatabase(queue);
  }
  testing::TempDir dir;
  std::string db = dir.File("Vardlink.mdb"), queue = dir.File("Vardlink-Queue.mdb");
};

TEST_F(ConsoleProcessTest, MissingDatabaseExitsTwoWithTheNotFoundBox) {
  const CliRun r = RunCli({"--json", "compress", dir.File("None.mdb")});
  EXPECT_EQ(r.out, "{\"event\":\"message\",\"style\":16,\"text\":\"Oops, the database file '" +
                       dir.File("None.mdb") + "' couldn't be found!\",\"answer\":1}\n" +
                       "{\"event\":\"result\",\"exit\":2}\n");
  EXPECT_EQ(r.exit, 2);
}

// An error box makes the exit status 1 even though the queue was treated after it.
TEST_F(ConsoleProcessTest, RepairThatFailsLeavesTheFileAndExitsOne) {
  const std::string junk(8192, 'j');
  testing::WriteAll(db, junk);
  const CliRun r = RunCli({"repair", db});
  EXPECT_NE(r.out.find("[ERROR] "), npos) << r.out;
  EXPECT_NE(r.out.find("\n[INFO] Done with repair.\n"), npos);
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(testing::ReadAll(db) == junk);
}

// The estimate is judged against what compaction really gives, on a file with deleted rows.
TEST_F(ConsoleProcessTest, CheckOfASoundFileChangesNothingAndEstimatesTheCompactedSize) {
  sqlite3* c = nullptr;
  sqlite3_open(db.c_str(), &c);
  const std::string sql = "DELETE FROM Pages WHERE ID % 7 < 4; DELETE FROM Links WHERE ID % 7 < 3";
  ASSERT_EQ(sqlite3_exec(c, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  const std::string before = testing::ReadAll(db);
  const CliRun r = RunCli({"check", db});
  EXPECT_EQ(r.exit, 0) << r.out;
  EXPECT_TRUE(testing::ReadAll(db) == before);
  EXPECT_GT(std::stoull(r.out.substr(r.out.find("  free: ") + 8)), 0u) << r.out;
  const std::string vacuum = "VACUUM INTO '" + dir.File("compacted.mdb") + "'";
  ASSERT_EQ(sqlite3_exec(c, vacuum.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(c);
  const double estimate = std::stod(r.out.substr(r.out.find("after compaction: about ") + 24));
  EXPECT_NEAR(estimate / std::filesystem::file_size(dir.File("compacted.mdb")), 1.0, 0.1);
}

TEST_F(ConsoleProcessTest, CheckOfABrokenFileNamesTheTableAndTheFirstEightProblems) {
  testing::FillPage(db, testing::RootPageOf(db, "Pages"), 0xFF);
  for (uint32_t page = 100; page < 200; ++page) testing::FillPage(db, page, 0xFF);
  const std::string broken = testing::ReadAll(db);
  const CliRun r = RunCli({"check", db});
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(testing::ReadAll(db) == broken);
  EXPECT_NE(r.out.find("\n  Pages: cannot be read ("), npos) << r.out;
  int shown = 0;
  for (const std::string& l : r.lines) shown += l.starts_with("  integrity: ");
  EXPECT_EQ(shown, 9) << r.out;  // eight problems, then how many more
  EXPECT_NE(r.out.find("\n  integrity: ... and "), npos);
}

// Ctrl-C while a file is treated: that file is finished, the next one is not begun.
TEST_F(ConsoleProcessTest, CtrlCStopsAfterTheCurrentFileWithExit130) {
  std::filesystem::remove(queue);
  sample::MakeQueueDatabase(queue, {400, 16, 1});  // big enough to be still at work
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = testing::StartChild([&] {
    ::dup2(out[1], STDOUT_FILENO);
    return ::execl(TIDEWELL_CLI_PATH, "tidewell-cli", "compress", db.c_str(), nullptr);
  });
  ::close(out[1]);
  std::string text(1, '\0');
  ASSERT_EQ(::read(out[0], text.data(), 1), 1);  // the first line: the handler is in place
  ::kill(pid, SIGINT);
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  EXPECT_EQ(testing::WaitChild(pid).exit_code, 130) << text;
  EXPECT_NE(text.find("\nStopped after the current file, as asked.\n"), npos) << text;
  EXPECT_EQ(text.find("Done with compress."), npos);
}

}  // namespace
}  // namespace tidewell
