// tidewell-cli: the console host and the command line on their own, then the program as a
// user runs it, a child process on sample databases judged by what it prints, its exit
// status and the files it leaves.
#include "cli/console.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "cli/console_host.h"
#include "tests/support/child_process.h"
#include "tests/support/cli_run.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell::cli {
namespace {

constexpr size_t npos = std::string::npos;

TEST(JsonStringTest, EscapesControlsAndKeepsOnlyWholeUtf8) {
  EXPECT_EQ(JsonString("\"\\\r\n\t\x01\x0b\x1f"), R"("\"\\\r\n\t\u0001\u000b\u001f")");
  EXPECT_EQ(JsonString("\xC3\xBC a\xFFz \xC3"), "\"\xC3\xBC a\\ufffdz \\ufffd\"");
}

// The list of answers first, then the terminal until it says yes or no, then the safe answer.
TEST(ConsoleHostTest, AnswersComeFromTheListThenTheTerminal) {
  std::ostringstream out, err;
  std::istringstream typed("maybe\ny\n");
  ConsoleHost host({.answers = {vbNo}, .interactive = true}, out, err, [&] {
    std::string line;
    return std::getline(typed, line) ? std::optional(line) : std::nullopt;
  });
  EXPECT_EQ(host.MsgBox("note", vbInformation), vbOK);  // takes no answer
  EXPECT_EQ(host.MsgBox("first?", vbYesNo, vbYes), vbNo);
  EXPECT_EQ(host.MsgBox("second?", vbYesNo, vbNo), vbYes);
  EXPECT_EQ(host.MsgBox("third?", vbYesNo, vbNo), vbNo);
  EXPECT_EQ(out.str(),
            "[INFO] note\n[QUESTION] first?\n  -> No\n[QUESTION] second?\n  -> Yes\n"
            "[QUESTION] third?\n  -> No\n");
}

TEST(ConsoleHostTest, ProgressLinesAreThrottledButTheFinishShows) {
  std::ostringstream out, err;
  ConsoleHost host({}, out, err);
  for (const uint64_t done : {0, 1, 999, 1000}) host.Progress("Compacting", done, 1000);
  EXPECT_EQ(err.str(), "Compacting: 0% (0/1000)\nCompacting: 100% (1000/1000)\n");
}

TEST(ParseArgsTest, DefaultsOptionsAndUsageErrors) {
  CliOptions o = ParseArgs({"start"}, "/opt/tw");
  EXPECT_EQ(o.database, "/opt/tw/Vardlink.mdb");
  EXPECT_EQ(o.template_db, "/opt/tw/Vardlink_Default.mdb");
  o = ParseArgs({"regenerate", "--template=/t.mdb", "/d/My Site.mdb", "--answers", "y,N,yes"}, "");
  EXPECT_EQ(o.database + o.template_db + o.error, "/d/My Site.mdb/t.mdb");
  EXPECT_EQ(o.answers, (std::deque<int>{vbYes, vbNo, vbYes}));
  const std::vector<std::string> usage_errors[] = {{"fix"},
                                                   {"start", "a.mdb", "b.mdb"},
                                                   {"start", "--answers", "y,maybe"},
                                                   {"start", "--answers"},
                                                   {"compress", "--template", "t.mdb"}};
  for (const std::vector<std::string>& args : usage_errors)
    EXPECT_FALSE(ParseArgs(args, "/opt/tw").error.empty()) << ::testing::PrintToString(args);
}

// "after compaction: about N bytes (estimate, from READ of IN_USE pages in use)"
void ExpectNoMorePagesReadThanInUse(const std::string& out) {
  const size_t at = out.find("(estimate, from ");
  ASSERT_NE(at, npos) << out;
  size_t used = 0;
  const uint64_t read = std::stoull(out.substr(at + 16), &used);
  const uint64_t in_use = std::stoull(out.substr(at + 16 + used + 4));
  EXPECT_GT(read, 0u);
  EXPECT_LE(read, in_use) << out.substr(at, 60);
}

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
  const testing::CliRun r = testing::RunCli({"--json", "compress", dir.File("None.mdb")});
  EXPECT_EQ(r.out, "{\"event\":\"message\",\"style\":16,\"text\":\"Oops, the database file '" +
                       dir.File("None.mdb") + "' couldn't be found!\",\"answer\":1}\n" +
                       "{\"event\":\"result\",\"exit\":2}\n");
  EXPECT_EQ(r.exit, 2);
}

// An error box makes the exit status 1 even though the queue was treated after it.
TEST_F(ConsoleProcessTest, RepairThatFailsLeavesTheFileAndExitsOne) {
  const std::string junk(8192, 'j');
  testing::WriteAll(db, junk);
  const testing::CliRun r = testing::RunCli({"repair", db});
  EXPECT_NE(r.out.find("[ERROR] "), npos) << r.out;
  EXPECT_NE(r.out.find("\n[INFO] Done with repair.\n"), npos);
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(testing::ReadAll(db) == junk);
}

// The estimate is judged against what compaction really gives (the sample has rows deleted).
TEST_F(ConsoleProcessTest, CheckOfASoundFileEstimatesTheCompactedSize) {
  sqlite3* c = nullptr;
  sqlite3_open(db.c_str(), &c);
  const std::string sql = "VACUUM INTO '" + dir.File("c.mdb") + "'";
  ASSERT_EQ(sqlite3_exec(c, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(c);
  const testing::CliRun r = testing::RunCli({"check", db});
  EXPECT_EQ(r.exit, 0) << r.out;
  const double estimate = std::stod(r.out.substr(r.out.find("after compaction: about ") + 24));
  EXPECT_NEAR(estimate / std::filesystem::file_size(dir.File("c.mdb")), 1.0, 0.1);
}

TEST_F(ConsoleProcessTest, CheckOfABrokenFileNamesTheTableAndTheFirstEightProblems) {
  testing::FillPage(db, testing::RootPageOf(db, "Pages"), 0xFF);
  for (uint32_t page = 100; page < 200; ++page) testing::FillPage(db, page, 0xFF);
  testing::OverwriteAt(db, 36, "\x7f\xff\xff\xff");  // more free pages than the file has
  const std::string broken = testing::ReadAll(db);
  const testing::CliRun r = testing::RunCli({"check", db});
  EXPECT_EQ(r.exit, 1);
  EXPECT_TRUE(testing::ReadAll(db) == broken) << "check changed the file";
  EXPECT_NE(r.out.find("\n  Pages: cannot be read ("), npos) << r.out;
  int shown = 0;
  for (const std::string& l : r.lines) shown += l.starts_with("  integrity: ");
  EXPECT_EQ(shown, 9) << r.out;  // eight problems, then how many more
  EXPECT_NE(r.out.find("\n  integrity: ... and "), npos);
  ExpectNoMorePagesReadThanInUse(r.out);
}

// The same estimate of a write-ahead mode file whose freelist trunk is smashed: the header
// still counts the free pages the trunk listed, but they are not found free any more.
TEST_F(ConsoleProcessTest, CheckOfAWalFileWithASmashedTrunkCountsOnlyPagesFoundFree) {
  sqlite3* c = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &c), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(c, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(c);
  const std::string b = testing::ReadAll(db);
  const uint32_t trunk =
      uint32_t(uint8_t(b[32])) << 24 | uint8_t(b[33]) << 16 | uint8_t(b[34]) << 8 | uint8_t(b[35]);
  ASSERT_NE(trunk, 0u);
  testing::FillPage(db, trunk, 0x5a);
  const testing::CliRun r = testing::RunCli({"check", db});
  EXPECT_EQ(r.exit, 1) << r.out;
  EXPECT_NE(r.out.find("journal mode: wal"), npos) << r.out;
  ExpectNoMorePagesReadThanInUse(r.out);
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
  char text[4096] = {};
  ASSERT_EQ(::read(out[0], text, 1), 1);  // the first line: the handler is in place
  ::kill(pid, SIGINT);
  EXPECT_EQ(testing::WaitChild(pid).exit_code, 130);
  EXPECT_GT(::read(out[0], text + 1, sizeof text - 2), 0);  // all it wrote, as it has ended
  ::close(out[0]);
  EXPECT_NE(std::string(text).find("\nStopped after the current file, as asked.\n"), npos) << text;
  EXPECT_EQ(std::string(text).find("Done with compress."), npos);
}

}  // namespace
}  // namespace tidewell::cli
