// tidewell-cli: the console host and the command line on their own, then the program as a
// user runs it, a child process on sample databases judged by what it prints, its exit
// status and the files it leaves.
#include "cli/console.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <map>
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
// Questions are diagnostics: they and their answers go to standard error.
TEST(ConsoleHostTest, AnswersComeFromTheListThenTheTerminal) {
  std::ostringstream out, err;
  std::istringstream typed("maybe\ny\n");
  ConsoleOptions options;
  options.answers = {vbNo};
  options.interactive = true;
  ConsoleHost host(options, out, err, [&] {
    std::string line;
    return std::getline(typed, line) ? std::optional(line) : std::nullopt;
  });
  EXPECT_EQ(host.MsgBox("note", vbInformation), vbOK);  // takes no answer
  EXPECT_EQ(host.MsgBox("first?", vbYesNo, vbYes), vbNo);
  EXPECT_EQ(host.MsgBox("second?", vbYesNo, vbNo), vbYes);
  EXPECT_EQ(host.MsgBox("third?", vbYesNo, vbNo), vbNo);
  EXPECT_EQ(out.str(), "[INFO] note\n");
  EXPECT_EQ(err.str(),
            "[QUESTION] first?\n  -> No\n[QUESTION] second?\nYes or No? [y/n] Yes or No? [y/n] "
            "  -> Yes\n[QUESTION] third?\nYes or No? [y/n]   -> No\n");
}

// Which stream each kind of output takes, with and without --quiet.
TEST(ConsoleHostTest, ResultsOnStdoutDiagnosticsOnStderr) {
  struct Case {
    bool quiet;
    int style;
    const char* out;
    const char* err;
  } cases[] = {
      {false, vbInformation, "[INFO] Done.\n", ""},
      {false, vbCritical, "", "[ERROR] Done.\n"},
      {false, vbOKOnly, "", "[MESSAGE] Done.\n"},  // the plain boxes here all report errors
      {true, vbInformation, "", ""},
      {true, vbCritical, "", "[ERROR] Done.\n"},
  };
  for (const Case& c : cases) {
    std::ostringstream out, err;
    ConsoleOptions options;
    options.quiet = c.quiet;
    ConsoleHost host(options, out, err);
    host.MsgBox("Done.", c.style);
    EXPECT_EQ(out.str(), c.out) << c.style << " quiet " << c.quiet;
    EXPECT_EQ(err.str(), c.err) << c.style << " quiet " << c.quiet;
    EXPECT_EQ(host.ErrorShown(), c.style != vbInformation);
  }
}

// Each line names its file; a stage's share never goes back; a one-unit step shows no 0/1.
TEST(ConsoleHostTest, ProgressNamesItsFileAndNeverGoesBack) {
  std::ostringstream out, err;
  ConsoleHost throttled({}, out, err);
  throttled.BeginFile("/d/Vardlink.mdb");
  throttled.SetStatus("Opening database");
  for (const uint64_t done : {0, 1, 999, 1000}) throttled.Progress("Compacting", done, 1000);
  EXPECT_EQ(err.str(),
            "-- Vardlink.mdb: Opening database\n"
            "Vardlink.mdb: Compacting: 0% (0/1000)\nVardlink.mdb: Compacting: 100% (1000/1000)\n");

  std::ostringstream err2;
  ConsoleOptions every_line;
  every_line.progress_gap_ms = 0;
  ConsoleHost host(every_line, out, err2);
  host.BeginFile("Q.mdb");
  host.Progress("Checking", 11, 100);
  host.Progress("Checking", 30, 1000);  // the total grew: 3 % would be a step back
  host.Progress("Checking", 180, 1000);
  host.Progress("Copying", 0, 1);
  host.Progress("Copying", 1, 1);
  EXPECT_EQ(err2.str(),
            "Q.mdb: Checking: 11% (11/100)\nQ.mdb: Checking: 18% (180/1000)\n"
            "Q.mdb: Copying...\nQ.mdb: Copying: done\n");
  EXPECT_EQ(out.str(), "");
}

TEST(ParseArgsTest, DefaultsOptionsAndUsageErrors) {
  // Kept beside the crawler, the program finds both files in its own folder; installed
  // elsewhere, the database in the current folder and the template beside it.
  const testing::TempDir beside;
  testing::WriteAll(beside.File("Vardlink.mdb"), "x");
  CliOptions o = ParseArgs({"start"}, beside.path().string());
  EXPECT_EQ(o.database + "|" + o.template_db,
            beside.File("Vardlink.mdb") + "|" + beside.File("Vardlink_Default.mdb"));
  const std::filesystem::path here = std::filesystem::current_path();
  o = ParseArgs({"regenerate"}, "/opt/tw");
  EXPECT_EQ(o.database + "|" + o.template_db,
            (here / "Vardlink.mdb").string() + "|" + (here / "Vardlink_Default.mdb").string());
  o = ParseArgs({"regenerate", "--template=/t.mdb", "/d/My Site.mdb", "--answers", "y,N,yes"}, "");
  EXPECT_EQ(o.database + o.template_db + o.error, "/d/My Site.mdb/t.mdb");
  EXPECT_EQ(o.answers, (std::deque<int>{vbYes, vbNo, vbYes}));
  // Every switch takes the short form or an explicit value, as options with values do.
  o = ParseArgs({"-q", "--json=yes", "start"}, "");
  EXPECT_TRUE(o.quiet && o.json && o.error.empty()) << o.error;
  o = ParseArgs({"--quiet=no", "--json=0", "start"}, "");
  EXPECT_TRUE(!o.quiet && !o.json && o.error.empty()) << o.error;
  EXPECT_TRUE(ParseArgs({"-V"}, "").version);
  const std::vector<std::string> usage_errors[] = {{"fix"},
                                                   {"start", "a.mdb", "b.mdb"},
                                                   {"start", "--answers", "y,maybe"},
                                                   {"start", "--answers"},
                                                   {"start", "--json=maybe"},
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
 public:
  void SetUp() override { Fresh(); }
  // The folder emptied and the sample made in it again.
  void Fresh(sample::SampleOptions options = {}) {
    std::filesystem::remove_all(dir.path());
    std::filesystem::create_directories(dir.path());
    sample::MakeSampleDatabase(db, options);
    sample::MakeQueueDatabase(queue);
  }
  testing::TempDir dir;
  std::string db = dir.File("Vardlink.mdb"), queue = dir.File("Vardlink-Queue.mdb");
};

// What the program says and where, and the exit status, for the ways a run can end.
TEST_F(ConsoleProcessTest, ExitStatusAndStreamsTellWhatHappened) {
  struct Case {
    const char* name;
    std::function<void(ConsoleProcessTest&)> arrange;
    std::vector<std::string> args;  // DB stands for the database
    int exit;
    std::vector<std::string> out;  // in this order on standard output
    std::vector<std::string> err;  // on standard error
    bool quiet_out = false;        // nothing at all on standard output
  };
  const auto junk = [](ConsoleProcessTest& t) { testing::WriteAll(t.db, std::string(8192, 'j')); };
  const auto damage = [](ConsoleProcessTest& t) {
    for (uint32_t page : {20u, 40u, 60u}) testing::FillPage(t.db, page, 0x5A);
  };
  // clang-format off
  const Case cases[] = {
      {"missing", {}, {"start", "/no/such/Vardlink.mdb"}, 2, {}, {"[ERROR] Oops, the database file"}, true},
      {"repair fails", junk, {"repair", "DB"}, 1, {"[INFO] Done with repair.\n"}, {"[ERROR] ", "tidewell-cli: finished after an error"}},
      {"quiet and sound", {}, {"-q", "start", "DB"}, 0, {}, {}, true},
      {"sound start", {}, {"start", "DB"}, 0,
       {"[INFO] Done.\n", "Vardlink.mdb: found sound; compacted from ", "left beside it: ", "Vardlink.BAK", "to undo: with the crawler stopped: cp -- '"},
       {"-- Vardlink.mdb: Opening database", "-- Vardlink-Queue.mdb: Opening database"}},
      {"damaged start", damage, {"start", "DB"}, 0,
       {"Vardlink.mdb: repaired; compacted from ", "Vardlink.BAK (", "Vardlink.mdb.damaged (", "to undo: with the crawler stopped: cp -- '"}, {}},
      {"version", {}, {"-V"}, 0, {"tidewell-cli "}, {}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConsoleProcessTest& t = *this;
    Fresh();
    if (c.arrange) c.arrange(t);
    std::vector<std::string> args = c.args;
    for (std::string& a : args)
      if (a == "DB") a = db;
    const testing::CliRun r = testing::RunCli(args);
    EXPECT_EQ(r.exit, c.exit) << r.out << r.err;
    size_t at = 0;
    for (const std::string& piece : c.out) {
      const size_t found = r.out.find(piece, at);
      EXPECT_NE(found, npos) << "'" << piece << "' in order in:\n" << r.out;
      if (found != npos) at = found + piece.size();
    }
    for (const std::string& piece : c.err) EXPECT_NE(r.err.find(piece), npos) << piece << r.err;
    if (c.quiet_out) {
      EXPECT_EQ(r.out, "");
    }
    if (c.exit == 0) {
      EXPECT_EQ(r.err.find("[ERROR]"), npos) << r.err;
    }
  }
}

// Another program inside a read transaction: the compaction cannot take the file's name.
// The Parts' closing message stays; the status and the last line on standard error say
// what happened, and the compacted copy is not left lying about.
TEST_F(ConsoleProcessTest, CompactionOfAHeldFileExitsFourAndLeavesNoCopy) {
  const std::string before = testing::ReadAll(db);
  testing::DatabaseHolder holder(db, testing::DatabaseHolder::kSqliteRead);
  ASSERT_TRUE(holder.Holding());
  const testing::CliRun r = testing::RunCli({"compress", db});
  holder.Stop();
  EXPECT_EQ(r.exit, 4) << r.out << r.err;
  EXPECT_NE(r.err.find("tidewell-cli: " + db + ": another program has the file open"), npos)
      << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.File("Vardlink.$")));
  EXPECT_FALSE(std::filesystem::exists(dir.File("Vardlink.BAK")));
  EXPECT_TRUE(testing::ReadAll(db) == before);
  EXPECT_TRUE(std::filesystem::exists(dir.File("Vardlink-Queue.BAK")));  // the queue was done
}

// Every status and progress event of a Start names its file.
TEST_F(ConsoleProcessTest, EveryJsonEventOfStartNamesItsFile) {
  const testing::CliRun r = testing::RunCli({"--json", "start", db});
  EXPECT_EQ(r.exit, 0) << r.out;
  std::map<std::string, int> events;  // of each kind
  for (const std::string& line : r.lines) {
    for (const std::string kind : {"status", "progress", "summary"}) {
      if (!line.starts_with("{\"event\":\"" + kind + "\"")) continue;
      ++events[kind];
      EXPECT_NE(line.find(",\"file\":\"" + dir.path().string()), npos) << line;
    }
    EXPECT_EQ(line.find("\"total\":1}"), npos) << "a one-unit stage: " << line;
  }
  EXPECT_EQ(events["status"], 8);  // four stages, two files
  EXPECT_GE(events["progress"], 4);
  EXPECT_EQ(events["summary"], 2);
}

// The estimate is judged against what compaction really gives (the sample has rows deleted),
// also where the log of a file in write-ahead mode holds commits that doubled its rows.
TEST_F(ConsoleProcessTest, CheckOfASoundFileEstimatesTheCompactedSize) {
  for (const bool log : {false, true}) {
    SCOPED_TRACE(log ? "commits in the log" : "the file alone");
    Fresh();
    const std::string compacted = dir.File("c.mdb");
    sqlite3* c = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &c), SQLITE_OK);
    int on = 1;
    sqlite3_db_config(c, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &on);
    const std::string grow =
        "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE Again AS SELECT * "
        "FROM Links;";
    ASSERT_EQ(sqlite3_exec(c, ((log ? grow : "") + "VACUUM INTO '" + compacted + "'").c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(c);
    const testing::CliRun r = testing::RunCli({"check", db});
    EXPECT_EQ(r.exit, 0) << r.out;
    const double estimate = std::stod(r.out.substr(r.out.find("after compaction: about ") + 24));
    EXPECT_NEAR(estimate / std::filesystem::file_size(compacted), 1.0, 0.1);
    EXPECT_EQ(r.out.find(" pages of 4096 bytes with the WAL's last commit\n") != npos, log);
  }
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
  testing::Sql(db, "PRAGMA journal_mode = WAL");
  const uint32_t trunk = testing::BigEndian32(testing::ReadAll(db), 32);
  ASSERT_NE(trunk, 0u);
  testing::FillPage(db, trunk, 0x5a);
  const testing::CliRun r = testing::RunCli({"check", db});
  EXPECT_EQ(r.exit, 1) << r.out;
  EXPECT_NE(r.out.find("journal mode: wal"), npos) << r.out;
  ExpectNoMorePagesReadThanInUse(r.out);
}

// Ctrl-C while a file is treated: said at once on standard error; that file is finished and
// the next one is not begun. A second Ctrl-C stops at once, leaves the database as it was
// and none of the run's own temporary files.
TEST_F(ConsoleProcessTest, CtrlCOnceStopsAfterTheFileTwiceStopsNow) {
  for (const int presses : {1, 2}) {
    SCOPED_TRACE(presses);
    Fresh({.size_mb = 40});  // big enough to be still at work
    const auto counts = sample::TableRowCounts(db);
    int out[2], err[2];
    ASSERT_EQ(::pipe(out), 0);
    ASSERT_EQ(::pipe(err), 0);
    const pid_t pid = testing::StartChild([&] {
      ::dup2(out[1], STDOUT_FILENO);
      ::dup2(err[1], STDERR_FILENO);
      return ::execl(TIDEWELL_CLI_PATH, "tidewell-cli", "compress", db.c_str(), nullptr);
    });
    ::close(out[1]);
    ::close(err[1]);
    char first[64] = {};
    ASSERT_EQ(::read(err[0], first, 1), 1);  // the first status line: the handler is in place
    for (int i = 0; i < presses; ++i) {
      ::kill(pid, SIGINT);
      ::usleep(20000);
    }
    EXPECT_EQ(testing::WaitChild(pid).exit_code, 130);
    const std::string said = testing::ReadAll("/dev/fd/" + std::to_string(out[0])),
                      errors = testing::ReadAll("/dev/fd/" + std::to_string(err[0]));
    ::close(out[0]);
    ::close(err[0]);
    EXPECT_NE(errors.find("stopping after the current file; press Ctrl-C again to stop now"), npos)
        << errors;
    EXPECT_EQ(said.find("Done with compress."), npos) << said;
    EXPECT_FALSE(std::filesystem::exists(dir.File("Vardlink-Queue.BAK"))) << "queue was begun";
    if (presses == 1) {
      EXPECT_NE(said.find("Stopped after the current file, as asked.\n"), npos) << said;
    } else {
      EXPECT_NE(errors.find("stopped now"), npos) << errors;
      EXPECT_FALSE(std::filesystem::exists(dir.File("Vardlink.$")));
      EXPECT_FALSE(std::filesystem::exists(dir.File("Vardlink.$-journal")));
    }
    EXPECT_EQ(sample::TableRowCounts(db), counts);
  }
}

// check promises to leave the file alone. A read-write open of a file in write-ahead mode
// would play its log into the file when it closes, changing both.
TEST_F(ConsoleProcessTest, CheckOfAWalFileWithItsLogChangesNeitherFile) {
  sqlite3* c = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &c), SQLITE_OK);
  int on = 1;
  sqlite3_db_config(c, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &on);
  ASSERT_EQ(sqlite3_exec(c,
                         "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; "
                         "UPDATE Links SET Url = Url || '#' WHERE rowid % 3 = 0;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(c);
  ASSERT_TRUE(std::filesystem::exists(db + "-wal"));
  ASSERT_TRUE(std::filesystem::exists(db + "-shm"));
  const std::string file = testing::ReadAll(db), log = testing::ReadAll(db + "-wal");
  const testing::CliRun r = testing::RunCli({"check", db});
  EXPECT_NE(r.out.find("journal mode: wal"), npos) << r.out;
  EXPECT_TRUE(testing::ReadAll(db) == file) << "the log was played into the file";
  EXPECT_TRUE(std::filesystem::exists(db + "-wal"));
  EXPECT_TRUE(testing::ReadAll(db + "-wal") == log);
}

}  // namespace
}  // namespace tidewell::cli
