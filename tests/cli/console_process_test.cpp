// tidewell-cli as a user runs it: a child process on real sample databases, judged by its
// standard output and exit status.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "tests/support/child_process.h"
#include "tests/support/cli_run.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell {
namespace {

using testing::CliRun;
using testing::RunCli;
using testing::TempDir;

// The value of a string or number member of a one-line JSON object, still escaped.
std::string Member(const std::string& line, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  const size_t at = line.find(key);
  if (at == std::string::npos) return {};
  size_t from = at + key.size();
  if (line[from] == '"') {
    size_t end = from + 1;
    while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
    return line.substr(from + 1, end - from - 1);
  }
  size_t end = line.find_first_of(",}", from);
  return line.substr(from, end - from);
}

class ConsoleProcessTest : public ::testing::Test {
 protected:
  void MakeSample() {
    sample::MakeSampleDatabase(db);
    sample::MakeQueueDatabase(queue);
    sample::MakeTemplateDatabase(tmpl);
  }
  std::vector<std::string> Events(const CliRun& r, const std::string& kind) const {
    std::vector<std::string> found;
    for (const std::string& l : r.lines)
      if (Member(l, "event") == kind) found.push_back(l);
    return found;
  }

  TempDir dir;
  std::string db = dir.File("Vardlink.mdb");
  std::string queue = dir.File("Vardlink-Queue.mdb");
  std::string tmpl = dir.File("Vardlink_Default.mdb");
};

TEST_F(ConsoleProcessTest, JsonStartOnTheSampleStreamsStagesThenDone) {
  MakeSample();
  const CliRun r = RunCli({"--json", "start", db});
  EXPECT_EQ(r.exit, 0) << r.out << r.err;
  ASSERT_FALSE(r.lines.empty());
  for (const std::string& l : r.lines) {
    EXPECT_EQ(l.rfind("{\"event\":\"", 0), 0u) << l;
    EXPECT_EQ(l.back(), '}') << l;
  }
  // The stages of both files, in order.
  std::vector<std::string> captions;
  for (const std::string& l : Events(r, "status")) captions.push_back(Member(l, "text"));
  const std::vector<std::string> one = {"Opening database", "Repairing database",
                                        "Compacting database", "Checking database"};
  std::vector<std::string> both = one;
  both.insert(both.end(), one.begin(), one.end());
  EXPECT_EQ(captions, both);
  const std::vector<std::string> messages = Events(r, "message");
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.back(), R"({"event":"message","style":64,"text":"Done.","answer":1})");
  EXPECT_EQ(r.lines.back(), R"({"event":"result","exit":0})");
  // The files were worked on in place; the backups lie beside them.
  EXPECT_TRUE(std::filesystem::exists(dir.File("Vardlink.BAK")));
  EXPECT_TRUE(std::filesystem::exists(dir.File("Vardlink-Queue.BAK")));
}

TEST_F(ConsoleProcessTest, DamagedTableIsReportedAndExitFollowsErrorBoxes) {
  MakeSample();
  testing::FillPage(db, testing::RootPageOf(db, "Pages"), 0xFF);
  const CliRun r = RunCli({"--json", "start", db});
  bool error_box = false;
  bool report = false;
  for (const std::string& m : Events(r, "message")) {
    error_box = error_box || Member(m, "style") == "16";
    report = report || Member(m, "text").find("Pages") != std::string::npos;
  }
  EXPECT_TRUE(report) << r.out;
  EXPECT_EQ(Member(Events(r, "message").back(), "text"), "Done.");
  EXPECT_EQ(r.exit, error_box ? 1 : 0);
  EXPECT_EQ(r.lines.back(), "{\"event\":\"result\",\"exit\":" + std::to_string(r.exit) + "}");
}

TEST_F(ConsoleProcessTest, RepairThatFailsOnTheDatabaseStillTreatsQueueAndExitsOne) {
  MakeSample();
  std::string junk;
  while (junk.size() < 8192) junk += "this file is no database at all. ";
  testing::WriteAll(db, junk);
  const CliRun r = RunCli({"--json", "repair", db});
  EXPECT_EQ(r.exit, 1) << r.out;
  const std::vector<std::string> messages = Events(r, "message");
  ASSERT_GE(messages.size(), 2u) << r.out;
  EXPECT_EQ(Member(messages.front(), "style"), "16");
  EXPECT_EQ(messages.back(),
            R"({"event":"message","style":64,"text":"Done with repair.","answer":1})");
  EXPECT_TRUE(testing::ReadAll(db) == junk) << "a file that cannot be repaired must stay as it was";
  EXPECT_EQ(r.lines.back(), R"({"event":"result","exit":1})");
}

TEST_F(ConsoleProcessTest, MissingDatabaseExitsTwoWithTheNotFoundBox) {
  const CliRun r = RunCli({"--json", "compress", db});
  EXPECT_EQ(r.exit, 2);
  ASSERT_EQ(r.lines.size(), 2u) << r.out;
  EXPECT_EQ(r.lines[0], "{\"event\":\"message\",\"style\":16,\"text\":\"Oops, the database file '" +
                            db + "' couldn't be found!\",\"answer\":1}");
  EXPECT_EQ(r.lines[1], R"({"event":"result","exit":2})");
}

TEST_F(ConsoleProcessTest, MissingQueueTreatsTheDatabaseThenExitsTwo) {
  sample::MakeSampleDatabase(db);
  const CliRun r = RunCli({"repair", db});
  EXPECT_EQ(r.exit, 2);
  EXPECT_NE(r.out.find("[ERROR] Oops, the database file '" + queue + "' couldn't be found!"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Done with repair."), std::string::npos);
}

TEST_F(ConsoleProcessTest, DefaultDatabaseIsBesideTheProgram) {
  const CliRun r = RunCli({"check"});
  EXPECT_EQ(r.exit, 2);
  const std::string beside =
      (std::filesystem::path(TIDEWELL_CLI_PATH).parent_path() / "Vardlink.mdb").string();
  EXPECT_NE(r.out.find(beside), std::string::npos) << r.out;
}

TEST_F(ConsoleProcessTest, CheckIsReadOnlyAndTellsSoundFromBroken) {
  MakeSample();
  const std::string before = testing::ReadAll(db);
  CliRun r = RunCli({"check", db});
  EXPECT_EQ(r.exit, 0) << r.out;
  EXPECT_NE(r.out.find("Links: "), std::string::npos);
  EXPECT_TRUE(testing::ReadAll(db) == before) << "check changed the file";

  testing::FillPage(db, testing::RootPageOf(db, "Pages"), 0xFF);
  const std::string broken = testing::ReadAll(db);
  r = RunCli({"--json", "check", db});
  EXPECT_EQ(r.exit, 1) << r.out;
  EXPECT_TRUE(testing::ReadAll(db) == broken) << "check changed the file";
  bool pages_unreadable = false;
  for (const std::string& t : Events(r, "table"))
    if (Member(t, "table") == "Pages") pages_unreadable = !Member(t, "error").empty();
  EXPECT_TRUE(pages_unreadable) << r.out;
  EXPECT_EQ(r.lines.back(), R"({"event":"result","exit":1})");
}

// Every file in the folder with its size and modification time: what check must leave as
// it was. Read with stat, since closing a descriptor of the database would drop the locks a
// connection of this process holds on it.
std::map<std::string, std::pair<uintmax_t, int64_t>> Snapshot(const std::filesystem::path& dir) {
  std::map<std::string, std::pair<uintmax_t, int64_t>> files;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    files[e.path().filename().string()] = {e.file_size(),
                                           e.last_write_time().time_since_epoch().count()};
  return files;
}

sqlite3* Sql(const std::string& db, const std::string& sql) {
  sqlite3* c = nullptr;
  sqlite3_open(db.c_str(), &c);
  EXPECT_EQ(sqlite3_exec(c, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
      << sqlite3_errmsg(c);
  return c;
}

TEST_F(ConsoleProcessTest, CheckReportsSpaceAndSideFilesAndChangesNothing) {
  struct Case {
    const char* name;
    std::function<sqlite3*(const std::string&)> make;
    std::map<std::string, std::string> space, journal;  // expected members of the events
    bool opened;
  };
  const std::vector<Case> cases = {
      {"rows deleted",
       [](const std::string& f) {
         sqlite3_close(
             Sql(f, "DELETE FROM Pages WHERE ID % 7 < 4; DELETE FROM Links WHERE ID % 7 < 3"));
         return nullptr;
       },
       {},
       {{"journal_mode", "rollback"}, {"journal_present", "false"}, {"wal_present", "false"}},
       true},
      {"hot journal",
       [](const std::string& f) {
         EXPECT_TRUE(testing::LeaveHotJournal(f, "DELETE FROM Links"));
         return nullptr;
       },
       {},
       {{"journal_present", "true"}, {"journal_hot", "true"}},
       false},
      {"journal of a live writer",
       // Its pages spill into the file mid-transaction; the connection keeps its lock.
       [](const std::string& f) {
         return Sql(f, "PRAGMA cache_size = 2; BEGIN; UPDATE Links SET Title = Title || Url;");
       },
       {},
       {{"journal_present", "true"}, {"journal_hot", "false"}},
       false},
      {"WAL file without side files",
       [](const std::string& f) {
         sqlite3_close(Sql(f, "PRAGMA journal_mode = WAL"));
         return nullptr;
       },
       {},
       {{"journal_mode", "wal"}, {"wal_present", "false"}},
       false},
      {"not a database",
       [](const std::string& f) {
         testing::WriteAll(f, std::string(3000, 'x'));
         return nullptr;
       },
       {{"database_header", "false"}, {"file_bytes", "3000"}},
       {{"journal_mode", "unknown"}},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir here;
    const std::string file = here.File("Vardlink.mdb");
    sample::MakeSampleDatabase(file);
    sample::MakeQueueDatabase(here.File("Vardlink-Queue.mdb"));
    sqlite3* holder = c.make(file);
    const auto before = Snapshot(here.path());
    const CliRun r = RunCli({"--json", "check", file});
    EXPECT_TRUE(Snapshot(here.path()) == before) << "check changed the folder";
    if (holder) sqlite3_close(holder);

    std::map<std::string, std::string> space, journal;
    for (const std::string kind : {"space", "journal"})
      for (const std::string& l : Events(r, kind))
        if (Member(l, "file") == file) (kind == "space" ? space : journal)[kind] = l;
    for (const auto& [key, value] : c.space) EXPECT_EQ(Member(space["space"], key), value) << key;
    for (const auto& [key, value] : c.journal)
      EXPECT_EQ(Member(journal["journal"], key), value) << key;
    bool tables = false;
    for (const std::string& t : Events(r, "table")) tables = tables || Member(t, "file") == file;
    EXPECT_EQ(tables, c.opened) << r.out;
  }
}

// The estimate is judged against what compaction really gives, on a file with deleted rows.
TEST_F(ConsoleProcessTest, CheckEstimatesTheCompactedSize) {
  MakeSample();
  sqlite3_close(Sql(db, "DELETE FROM Pages WHERE ID % 7 < 4; DELETE FROM Links WHERE ID % 7 < 3"));
  const CliRun r = RunCli({"--json", "check", db});
  std::string space;
  for (const std::string& l : Events(r, "space"))
    if (Member(l, "file") == db) space = l;
  ASSERT_FALSE(space.empty()) << r.out;
  EXPECT_GT(std::stoull(Member(space, "free_pages")), 0u);
  const double estimate = std::stod(Member(space, "compacted_bytes_estimate"));
  sqlite3_close(Sql(db, "VACUUM INTO '" + dir.File("compacted.mdb") + "'"));
  const double real = static_cast<double>(std::filesystem::file_size(dir.File("compacted.mdb")));
  EXPECT_NEAR(estimate / real, 1.0, 0.10) << space;
}

TEST_F(ConsoleProcessTest, CheckShowsTheFirstEightProblemsAndCountsTheRest) {
  MakeSample();
  for (uint32_t page = 100; page < 200; ++page) testing::FillPage(db, page, 0xFF);
  const CliRun r = RunCli({"check", db});
  int shown = 0;
  for (const std::string& l : r.lines)
    shown += l.rfind("  integrity: ", 0) == 0 && l.find("... and ") == std::string::npos;
  EXPECT_EQ(shown, 8) << r.out;
  EXPECT_NE(r.out.find("  integrity: ... and "), std::string::npos) << r.out;
}

TEST_F(ConsoleProcessTest, AnswersGoToTheQuestionsInOrder) {
  MakeSample();
  testing::FillPage(db, testing::RootPageOf(db, "Pages"), 0xFF);
  // Yes to going on, No to ignoring the error: the regenerated copy must not replace the
  // database, so no backup of it is made.
  const CliRun r = RunCli({"--json", "--answers", "y,n", "regenerate", db, "--template", tmpl});
  std::vector<std::string> answers;
  for (const std::string& m : Events(r, "message"))
    if ((std::stoi(Member(m, "style")) & 7) == 4) answers.push_back(Member(m, "answer"));
  ASSERT_GE(answers.size(), 2u) << r.out;
  EXPECT_EQ(answers[0], "6");
  EXPECT_EQ(answers[1], "7");
  EXPECT_FALSE(std::filesystem::exists(dir.File("Vardlink.BKK")));
}

// Ctrl-C while a file is treated: the file is finished, the next one is not begun.
TEST_F(ConsoleProcessTest, CtrlCStopsAfterTheCurrentFileWithExit130) {
  sample::MakeSampleDatabase(db);
  sample::MakeQueueDatabase(queue, {400, 16, 1});  // big enough to be still at work
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::close(out[0]);
    ::execl(TIDEWELL_CLI_PATH, "tidewell-cli", "compress", db.c_str(), nullptr);
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text(1, '\0');
  ASSERT_EQ(::read(out[0], text.data(), 1), 1);  // the first line: the handler is in place
  ::kill(pid, SIGINT);
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << text;
  EXPECT_EQ(WEXITSTATUS(status), 130) << text;
  EXPECT_NE(text.find("Stopped after the current file, as asked."), std::string::npos) << text;
  EXPECT_EQ(text.find("Done with compress."), std::string::npos) << text;
}

// Usage errors (exit 64) are shown through the process by the leading-dash case of the
// bad-input tests; the parsing itself by ParseArgsTest.
TEST_F(ConsoleProcessTest, HelpAndVersionExitZero) {
  const CliRun help = RunCli({"--help"});
  EXPECT_EQ(help.exit, 0);
  EXPECT_EQ(help.out.rfind("Usage: tidewell-cli [OPTIONS] ACTION [DATABASE]", 0), 0u);
  const CliRun version = RunCli({"--version"});
  EXPECT_EQ(version.exit, 0);
  EXPECT_EQ(version.out.rfind("tidewell-cli ", 0), 0u);
}

}  // namespace
}  // namespace tidewell
