// Hostile input through the real program: odd paths, files that are not what their name
// says, odd databases. The program must say what is wrong and leave alone what it should.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <map>

#include "tests/support/child_process.h"
#include "tests/support/cli_run.h"
#include "tests/whole/whole_support.h"
#include "tools/sample_data.h"

namespace tidewell::whole {
namespace {

namespace fs = std::filesystem;
using testing::CliRun;
using testing::RunCli;
using testing::TempDir;

constexpr int kNobody = 65534;

class BadInput : public ::testing::Test {
 protected:
  // The sample and its queue database under `db`, the template in the scratch folder.
  void MakeAt(const std::string& db, int rows = 60) {
    sample::SampleOptions o;
    o.rows = rows;
    sample::MakeSampleDatabase(db, o);
    sample::MakeQueueDatabase(sample::QueueDatabaseName(db), o);
  }
  std::string Template() {
    const std::string t = dir.File("Vardlink_Default.mdb");
    if (!fs::exists(t)) sample::MakeTemplateDatabase(t);
    return t;
  }
  std::string Where(const CliRun& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

  TempDir dir;
};

void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char* error = nullptr;
  ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
      << (error ? error : "");
  sqlite3_close(db);
}

// --- Paths -----------------------------------------------------------------------------

// Also a real file whose name holds wildcard characters: it is that file, not a pattern.
TEST_F(BadInput, BlanksQuotesNonAsciiLettersAndWildcardsInPathsWork) {
  for (const auto& [folder, name] :
       std::vector<std::pair<std::string, std::string>>{{"with blanks", "Vard link"},
                                                        {"it's \"quoted\"", "Vard link"},
                                                        {"Größe ñ 日本", "Vard link"},
                                                        {"plain", "Vard[1]*?"}}) {
    fs::create_directory(dir.path() / folder);
    const std::string db = (dir.path() / folder / (name + ".mdb")).string();
    MakeAt(db);
    const Contents before = *ReadContents(db);
    for (const std::string action : {"start", "compress", "repair"}) {
      const CliRun r = RunCli({action, db});
      EXPECT_EQ(r.exit, 0) << folder << " " << action << Where(r);
      EXPECT_TRUE(HoldsAll(db, before)) << folder << " " << action;
    }
    EXPECT_TRUE(fs::exists(dir.path() / folder / (name + ".BAK"))) << folder;
    EXPECT_TRUE(fs::exists(dir.path() / folder / (name + "-Queue.BAK"))) << folder;
  }
}

TEST_F(BadInput, LeadingDashIsAnOptionUnlessAfterDoubleDash) {
  MakeAt(dir.File("-site.mdb"));
  const std::string before = Listing(dir.path().string());
  CliRun r = RunCli({"start", "-site.mdb"}, {dir.path().string()});
  EXPECT_EQ(r.exit, 64) << Where(r);
  EXPECT_NE(r.err.find("unknown option '-site.mdb'"), std::string::npos) << Where(r);
  EXPECT_EQ(Listing(dir.path().string()), before);

  r = RunCli({"compress", "--", "-site.mdb"}, {dir.path().string()});
  EXPECT_EQ(r.exit, 0) << Where(r);
  EXPECT_NE(r.out.find("Done with compress."), std::string::npos) << Where(r);
  EXPECT_TRUE(fs::exists(dir.File("-site.BAK")));
  EXPECT_TRUE(fs::exists(dir.File("-site-Queue.BAK")));
}

TEST_F(BadInput, WildcardThatMatchesAFileIsNotTakenForIt) {
  MakeAt(dir.File("Vardlink.mdb"));
  const std::string pattern = dir.File("Vard*.mdb");
  const std::string queue_pattern = dir.File("Vard*-Queue.mdb");
  const std::string tmpl = Template();
  // The name matches as a pattern, so the workflow runs; the operations then find no such
  // file, say so where they report failures, and make no file of that name.
  CliRun r = RunCli({"start", pattern});
  EXPECT_EQ(r.exit, 1) << Where(r);
  EXPECT_NE(
      r.out.find("[ERROR] The database '" + pattern + "' must be available for exclusive access."),
      std::string::npos)
      << Where(r);
  r = RunCli({"repair", pattern});
  EXPECT_EQ(r.exit, 1) << Where(r);
  EXPECT_NE(r.out.find("[ERROR] An error has occured during the repair of '" + pattern + "'."),
            std::string::npos)
      << Where(r);
  EXPECT_NE(r.out.find("Error 3024 - Could not find file '" + pattern + "'."), std::string::npos)
      << Where(r);
  // The compaction reports nothing by design; it must still change nothing.
  const std::string listing = Listing(dir.path().string());
  r = RunCli({"compress", pattern});
  EXPECT_EQ(r.exit, 0) << Where(r);
  EXPECT_NE(r.out.find("[INFO] Done with compress."), std::string::npos) << Where(r);
  EXPECT_EQ(Listing(dir.path().string()), listing) << Where(r);
  // The regeneration makes its new file before it opens the source, and keeps it.
  r = RunCli({"regenerate", pattern, "--template", tmpl});
  EXPECT_NE(
      r.out.find("[MESSAGE] Open: " + pattern + ": 3024 Could not find file '" + pattern + "'."),
      std::string::npos)
      << Where(r);
  EXPECT_EQ(
      StrayFiles(dir.path().string(), {dir.File("Vardlink.mdb"), dir.File("Vardlink-Queue.mdb")},
                 {tmpl, pattern + "_$temp.mdb", queue_pattern + "_$temp.mdb"}),
      std::vector<std::string>{});
  EXPECT_FALSE(fs::exists(pattern));
  EXPECT_FALSE(fs::exists(queue_pattern));
}

TEST_F(BadInput, FolderNamedLikeADatabaseIsLeftAlone) {
  const std::string folder = dir.File("Vardlink.mdb");
  fs::create_directory(folder);
  testing::WriteAll(folder + "/inside.txt", "keep me");
  MakeAt(dir.File("Other.mdb"));
  fs::rename(dir.File("Other-Queue.mdb"), dir.File("Vardlink-Queue.mdb"));
  fs::remove(dir.File("Other.mdb"));
  const std::string tmpl = Template();
  const std::map<std::string, std::string> says = {
      {"start", "[ERROR] The database '" + folder + "' must be available for exclusive access."},
      {"repair", "[ERROR] An error has occured during the repair of '" + folder + "'."},
      {"compress", "[INFO] Done with compress."},  // the compaction reports nothing by design
      {"regenerate", "[MESSAGE] Open: " + folder + ": 3049 "}};
  for (const auto& [action, text] : says) {
    std::vector<std::string> args{action, folder};
    if (action == "regenerate") args = {action, folder, "--template", tmpl};
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exit, action == "start" || action == "repair" ? 1 : 0) << action << Where(r);
    EXPECT_NE(r.out.find(text), std::string::npos) << action << Where(r);
    EXPECT_TRUE(fs::is_directory(folder)) << action;
    EXPECT_EQ(testing::ReadAll(folder + "/inside.txt"), "keep me") << action;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << action;
    // Only the queue database's own backups and the regeneration's kept new files may be new.
    EXPECT_EQ(
        StrayFiles(dir.path().string(), {dir.File("Vardlink-Queue.mdb")},
                   {folder, tmpl, folder + "_$temp.mdb", dir.File("Vardlink-Queue.mdb_$temp.mdb")}),
        std::vector<std::string>{})
        << action << Where(r);
  }
}

// A database named like its own backup keeps every row (the new copy takes its name), and
// names are cut by characters: "Straße" loses "aße", not three bytes.
TEST_F(BadInput, NamedLikeItsBackupOrWithALetterOfTwoBytes) {
  const std::vector<std::array<std::string, 3>> cases = {
      {"site.BAK", "start", "site-Queue.BAK"},
      {"site.BAK", "compress", "site-Queue.BAK"},
      {"site.BKK", "regenerate", "site-Queue.BKK"},
      {"Straße", "compress", "StrBAK"}};
  int n = 0;
  for (const auto& [name, action, made] : cases) {
    const fs::path folder = dir.path() / std::to_string(++n);
    fs::create_directory(folder);
    const std::string db = (folder / name).string();
    MakeAt(db);
    const Contents before = *ReadContents(db);
    const CliRun r = action == "regenerate" ? RunCli({action, db, "--template", Template()})
                                            : RunCli({action, db});
    EXPECT_EQ(r.exit, 0) << name << " " << action << Where(r);
    EXPECT_TRUE(HoldsAll(db, before)) << name << " " << action;
    EXPECT_TRUE(fs::exists(folder / made)) << name << " " << action;
  }
  EXPECT_TRUE(fs::exists(dir.path() / "4" / "St-Queue.BAK"));
}

// A crawler killed inside a transaction leaves a hot journal. Every workflow rolls it back
// first and then does its work on the committed rows.
TEST_F(BadInput, HotJournalIsRolledBackAndTheWorkDone) {
  for (const std::string action : {"start", "compress", "repair", "regenerate"}) {
    const std::string db = dir.File(action + ".mdb");
    MakeAt(db);
    const Contents before = *ReadContents(db);
    ASSERT_TRUE(testing::LeaveHotJournal(db, "DELETE FROM Links")) << action;
    const CliRun r = action == "regenerate" ? RunCli({action, db, "--template", Template()})
                                            : RunCli({action, db});
    EXPECT_EQ(r.exit, 0) << action << Where(r);
    EXPECT_FALSE(fs::exists(db + "-journal")) << action;
    EXPECT_TRUE(HoldsAll(db, before)) << action;
    EXPECT_EQ(IntegrityOf(db), "ok") << action;
    if (action != "repair") {
      EXPECT_TRUE(fs::exists(dir.File(action + (action == "regenerate" ? ".BKK" : ".BAK"))))
          << action;
    }
  }
}

TEST_F(BadInput, PathsOfThreeAndFourCharacters) {
  // Three characters: the backup names lose all three ("$", "BAK"); there is no queue
  // database, which is reported as not found.
  MakeAt(dir.File("a.b"));
  fs::remove(dir.File("-Queue.mdb"));
  CliRun r = RunCli({"compress", "a.b"}, {dir.path().string()});
  EXPECT_EQ(r.exit, 2) << Where(r);
  EXPECT_NE(r.out.find("Oops, the database file '-Queue.mdb' couldn't be found!"),
            std::string::npos)
      << Where(r);
  EXPECT_TRUE(fs::exists(dir.File("BAK"))) << Listing(dir.path().string());

  // Four characters: the queue database is "-Queue.mdb" in the current folder.
  TempDir other;
  MakeAt(other.File("a.db"));
  ASSERT_TRUE(fs::exists(other.File("-Queue.mdb")));
  r = RunCli({"start", "a.db"}, {other.path().string()});
  EXPECT_EQ(r.exit, 0) << Where(r);
  EXPECT_TRUE(fs::exists(other.File("aBAK"))) << Listing(other.path().string());
  EXPECT_TRUE(fs::exists(other.File("-Queue.BAK"))) << Listing(other.path().string());
}

TEST_F(BadInput, PathOfFourThousandCharacters) {
  fs::path folder = dir.path();
  const size_t target = 4000;
  while (folder.string().size() + 1 + 250 + 20 < target) folder /= std::string(250, 'd');
  fs::create_directories(folder);
  const size_t rest = target - folder.string().size() - 1;
  const std::string db = (folder / (std::string(rest - 4, 'n') + ".mdb")).string();
  ASSERT_EQ(db.size(), target);
  // Made under a short name and moved there: SQLite itself opens no path this long.
  MakeAt(dir.File("short.mdb"));
  fs::rename(dir.File("short.mdb"), db);
  fs::rename(dir.File("short-Queue.mdb"), sample::QueueDatabaseName(db));
  const std::string listing = Listing(dir.path().string());
  for (const std::string action : {"start", "compress", "repair"}) {
    const CliRun r = RunCli({action, db});
    EXPECT_EQ(Listing(dir.path().string()), listing) << action << Where(r).substr(0, 3000);
    if (std::string(action) != "compress") {
      EXPECT_EQ(r.exit, 1) << action;
      EXPECT_NE(r.out.find("[ERROR]"), std::string::npos) << action << Where(r).substr(0, 3000);
    }
    const size_t box = r.out.find('[');
    std::printf("4000 characters, %s: exit %d, %s\n", action.c_str(), r.exit,
                box == std::string::npos ? "" : r.out.substr(box, 160).c_str());
  }
}

// --- Permissions (an ordinary user: root may write anywhere) ----------------------------

class BadInputAsUser : public BadInput {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    fs::permissions(dir.path(), fs::perms::all);  // the other user must reach the folder
  }
  void GiveAway(const std::string& path) { ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0); }
};

TEST_F(BadInputAsUser, ReadOnlyFolder) {
  const std::string folder = dir.File("ro");
  fs::create_directory(folder);
  const std::string db = folder + "/Vardlink.mdb";
  MakeAt(db);
  GiveAway(folder);
  GiveAway(db);
  GiveAway(sample::QueueDatabaseName(db));
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                              fs::perms::group_exec | fs::perms::others_read |
                              fs::perms::others_exec);
  // Nothing can be written there. A sound database needs no repair; the compaction fails
  // silently by design (Start and Compress call it without error boxes); the regeneration
  // says it cannot make its new file.
  const std::string tmpl = Template();
  const std::map<std::string, std::string> says = {
      {"start", "[INFO] Done."},
      {"compress", "[INFO] Done with compress."},
      {"repair", "[INFO] Done with repair."},
      {"regenerate", "[MESSAGE] Create: " + db + "_$temp.mdb: 3051 Cannot create '" + db +
                         "_$temp.mdb': Permission denied."}};
  for (const auto& [action, text] : says) {
    std::vector<std::string> args{action, db};
    if (action == "regenerate") args = {action, db, "--template", tmpl};
    const std::string listing = Listing(folder);
    const CliRun r = RunCli(args, {"", kNobody});
    EXPECT_EQ(Listing(folder), listing) << action << Where(r);
    EXPECT_NE(r.out.find(text), std::string::npos) << action << Where(r);
    EXPECT_EQ(r.exit, 0) << action << Where(r);
  }
}

void MakeReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST_F(BadInputAsUser, ReadOnlyFileIsNotReplaced) {
  const std::string db = dir.File("Vardlink.mdb");
  MakeAt(db);
  GiveAway(db);
  GiveAway(sample::QueueDatabaseName(db));
  GiveAway(dir.path().string());
  MakeReadOnly(db);
  const std::string bytes = testing::ReadAll(db);
  const std::map<std::string, std::string> says = {
      {"start", "[ERROR] The database '" + db + "' must be available for exclusive access."},
      {"repair", "[ERROR] An error has occured during the repair of '" + db + "'."},
      {"compress", "[INFO] Done with compress."},  // the compaction reports nothing by design
      {"regenerate", "[INFO] Done with regeneration."}};
  const std::string tmpl = Template();
  for (const auto& [action, text] : says) {
    std::vector<std::string> args{action, db};
    if (action == "regenerate") args = {action, db, "--template", tmpl};
    const CliRun r = RunCli(args, {"", kNobody});
    EXPECT_NE(r.out.find(text), std::string::npos) << action << Where(r);
    // The user made the file read-only: it keeps its content and its mode.
    EXPECT_TRUE(testing::ReadAll(db) == bytes) << action << Where(r);
    EXPECT_EQ(fs::status(db).permissions() & fs::perms::owner_write, fs::perms::none) << action;
  }
}

// --- Links -----------------------------------------------------------------------------

TEST_F(BadInput, SymbolicLinkStaysALinkAndItsTargetIsMaintained) {
  fs::create_directory(dir.File("real"));
  fs::create_directory(dir.File("links"));
  const std::string target = dir.File("real/Vardlink.mdb");
  MakeAt(target);
  const Contents rows = *ReadContents(target);
  const std::string link = dir.File("links/Site.mdb");
  for (const std::string action : {"start", "compress", "repair", "regenerate"}) {
    fs::remove_all(dir.File("links"));
    fs::create_directory(dir.File("links"));
    fs::create_symlink("../real/Vardlink.mdb", link);
    fs::create_symlink("../real/Vardlink-Queue.mdb", dir.File("links/Site-Queue.mdb"));
    std::vector<std::string> args{action, link};
    if (std::string(action) == "regenerate") args = {action, link, "--template", Template()};
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exit, 0) << action << Where(r);
    EXPECT_TRUE(fs::is_symlink(link)) << action << ": the link was replaced by a file";
    EXPECT_TRUE(fs::is_symlink(dir.File("links/Site-Queue.mdb"))) << action;
    EXPECT_TRUE(HoldsAll(target, rows)) << action;
    EXPECT_EQ(IntegrityOf(target), "ok") << action;
  }
}

// --- Files that are not what they claim ---------------------------------------------------

TEST_F(BadInput, EmptyAndOneByteFiles) {
  const std::string db = dir.File("Vardlink.mdb");
  const std::string queue = dir.File("Vardlink-Queue.mdb");
  const std::string tmpl = Template();
  for (const std::string& content : {std::string(), std::string("x")}) {
    for (const std::string action : {"start", "compress", "repair", "regenerate"}) {
      testing::WriteAll(db, content);
      testing::WriteAll(queue, content);
      std::vector<std::string> args{action, db};
      if (std::string(action) == "regenerate") args = {action, db, "--template", tmpl};
      const CliRun r = RunCli(args);
      const std::string where = std::to_string(content.size()) + " bytes, " + action;
      const bool same = testing::ReadAll(db) == content;
      std::printf(
          "%s: exit %d, file %s\n%s", where.c_str(), r.exit,
          same
              ? "unchanged"
              : ("now " + std::to_string(fs::file_size(db)) + " bytes, " + IntegrityOf(db)).c_str(),
          r.out.c_str());
      // Whatever the tool did, it did not lose the user's bytes: they are either still there
      // or kept under a backup name.
      bool kept = same;
      for (const std::string& name : KeptNames(db))
        kept = kept || (fs::exists(name) && testing::ReadAll(name) == content);
      EXPECT_TRUE(kept) << where;
    }
  }
}

TEST_F(BadInput, DatabaseWithNoTables) {
  const std::string db = dir.File("Vardlink.mdb");
  Sql(db, "PRAGMA user_version = 7; CREATE TABLE t(x); DROP TABLE t;");
  Sql(sample::QueueDatabaseName(db), "PRAGMA user_version = 7;");
  for (const std::string action : {"start", "compress", "repair", "regenerate"}) {
    std::vector<std::string> args{action, db};
    if (std::string(action) == "regenerate") args = {action, db, "--template", Template()};
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exit, 0) << action << Where(r);
    EXPECT_EQ(IntegrityOf(db), "ok") << action;
  }
}

TEST_F(BadInput, DatabaseWithTwoThousandTables) {
  const std::string db = dir.File("Vardlink.mdb");
  std::string sql = "BEGIN;";
  for (int i = 0; i < 2000; ++i)
    sql += "CREATE TABLE t" + std::to_string(i) + "(id INTEGER PRIMARY KEY, v TEXT);INSERT INTO t" +
           std::to_string(i) + "(v) VALUES('row of " + std::to_string(i) + "');";
  Sql(db, sql + "COMMIT;");
  MakeAt(dir.File("Other.mdb"));
  fs::rename(dir.File("Other-Queue.mdb"), dir.File("Vardlink-Queue.mdb"));
  const Contents rows = *ReadContents(db);
  ASSERT_EQ(rows.size(), 2000u);
  for (const std::string action : {"start", "compress", "regenerate"}) {
    std::vector<std::string> args{action, db};
    if (std::string(action) == "regenerate") args = {action, db, "--template", Template()};
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exit, 0) << action << Where(r).substr(0, 2000);
    EXPECT_TRUE(HoldsAll(db, rows)) << action;
  }
}

TEST_F(BadInput, DatabaseWithOneValueOfOneHundredMegabytes) {
  const std::string db = dir.File("Vardlink.mdb");
  Sql(db,
      "CREATE TABLE Big(id INTEGER PRIMARY KEY, v BLOB); INSERT INTO Big(v) "
      "VALUES (randomblob(100000000)); CREATE TABLE Small(x); INSERT INTO Small VALUES(1);");
  MakeAt(dir.File("Other.mdb"));
  fs::rename(dir.File("Other-Queue.mdb"), dir.File("Vardlink-Queue.mdb"));
  const Contents rows = *ReadContents(db);
  for (const std::string action : {"start", "compress", "repair"}) {
    const CliRun r = RunCli({action, db});
    EXPECT_EQ(r.exit, 0) << action << Where(r);
    EXPECT_TRUE(HoldsAll(db, rows)) << action;
  }
}

TEST_F(BadInput, QueueDatabaseThatIsAFolder) {
  const std::string db = dir.File("Vardlink.mdb");
  MakeAt(db);
  const std::string queue = sample::QueueDatabaseName(db);
  fs::remove(queue);
  fs::create_directory(queue);
  testing::WriteAll(queue + "/inside.txt", "keep me");
  const Contents rows = *ReadContents(db);
  const std::string tmpl = Template();
  const std::map<std::string, std::string> says = {
      {"start", "[ERROR] The database '" + queue + "' must be available for exclusive access."},
      {"repair", "[ERROR] An error has occured during the repair of '" + queue + "'."},
      {"compress", "[INFO] Done with compress."},  // the compaction reports nothing by design
      {"regenerate", "[MESSAGE] Open: " + queue + ": 3049 "}};
  for (const auto& [action, text] : says) {
    std::vector<std::string> args{action, db};
    if (action == "regenerate") args = {action, db, "--template", tmpl};
    const CliRun r = RunCli(args);
    EXPECT_EQ(r.exit, action == "start" || action == "repair" ? 1 : 0) << action << Where(r);
    EXPECT_NE(r.out.find(text), std::string::npos) << action << Where(r);
    EXPECT_TRUE(fs::is_directory(queue));
    EXPECT_EQ(testing::ReadAll(queue + "/inside.txt"), "keep me");
    EXPECT_EQ(std::distance(fs::directory_iterator(queue), fs::directory_iterator()), 1);
    EXPECT_TRUE(HoldsAll(db, rows)) << action;
  }
}

TEST_F(BadInput, TemplateThatIsNotADatabase) {
  const std::string db = dir.File("Vardlink.mdb");
  MakeAt(db);
  const Contents rows = *ReadContents(db);
  const std::string junk = dir.File("junk.mdb");
  testing::WriteAll(junk, std::string(5000, 'j'));
  const CliRun r = RunCli({"regenerate", db, "--template", junk});
  EXPECT_EQ(r.exit, 1) << Where(r);
  EXPECT_NE(r.out.find("[ERROR] Es ist ein Fehler beim Öffnen von '" + junk + "' aufgetreten."),
            std::string::npos)
      << Where(r);
  EXPECT_NE(r.out.find("Fehler 3049 - The file '" + junk + "' is not a database"),
            std::string::npos)
      << Where(r);
  EXPECT_EQ(testing::ReadAll(junk), std::string(5000, 'j'));
  EXPECT_TRUE(HoldsAll(db, rows));
}

}  // namespace
}  // namespace tidewell::whole
