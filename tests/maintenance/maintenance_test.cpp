// The maintenance operations on real files. The compaction and the regeneration both put a new
// copy of the database P in its place and keep the old file as backup K: what they leave on disk
// when they succeed, fail, are killed, or find P changed or held, then what each of them asks
// and shows. Then bringing a database's structure up to its template, and the message
// templates' placeholders. (Routes of the engine's progress: the console tests.)
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <functional>

#include "maintenance/dbReorg.h"
#include "maintenance/modTidewell.h"
#include "maintenance/modXDAO.h"
#include "maintenance/modXStrings.h"
#include "tests/support/child_process.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using namespace testing;
using namespace engine;

const std::string kOlder = "an older backup";

std::string Digest(const std::string& path) {
  return DigestOf(path, "Links");
}

// Runs with the compaction (true) or the regeneration (false).
class Swaps : public ::testing::TestWithParam<bool> {
 protected:
  // A database as the crawler leaves it: "Links" with every other row deleted, so that a new
  // copy is told from it by its free pages, and "Hosts".
  void SetUp() override {
    MakeDatabase(p_, {{"Links", 400}, {"Hosts", 2}}, 200);
    Sql(p_, "DELETE FROM [Links] WHERE ID % 2 = 0");
    digest_ = Digest(p_);
    bytes_ = ReadAll(p_);
    Fresh();
  }
  // P as made above, K an older backup, and nothing else.
  void Fresh() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      std::filesystem::remove_all(entry.path());
    WriteAll(p_, bytes_);
    WriteAll(k_, kOlder);
  }
  bool Run(Host& host, const std::string& p) {
    std::string error;
    if (GetParam()) return dbReorg(host, p, 0, 0, 0) == 0;
    dbRegenerate(host, p, 3, error);
    return error.empty();
  }
  // After a failure or a kill P holds every row, and the old file is kept once P was
  // replaced; a rerun then puts a complete new copy in place with every row also in K.
  void ExpectRecoverable(const std::string& where) {
    EXPECT_EQ(Digest(p_), digest_) << where;
    if (ReadAll(p_) != bytes_) {
      EXPECT_EQ(ReadAll(k_), bytes_) << where;
    }
    ScriptedHost host;
    EXPECT_TRUE(Run(host, p_)) << where;
    EXPECT_EQ(Digest(p_), digest_) << where;
    EXPECT_EQ(FreePages(p_), 0u) << where;
    EXPECT_EQ(Digest(k_), digest_) << where;
    EXPECT_FALSE(std::filesystem::exists(leftover_)) << where;
  }

  TempDir dir_;
  const std::string p_ = dir_.File("site.mdb");
  const std::string k_ = dir_.File(GetParam() ? "site.BAK" : "site.BKK");
  const std::string leftover_ = GetParam() ? dir_.File("site.$") : p_ + "_$temp.mdb$";
  std::string digest_, bytes_;
};

// A crawler commits a row to P after the copy was taken, then another program holds P open:
// the copy must not replace P, or the row or that program's later writes would be only in the
// backup. Once P is free again, the next run does the job.
TEST_P(Swaps, AChangedOrHeldDatabaseStaysInPlace) {
  int commits = 0;
  {
    FaultyEngine engine;  // the swap opens P once more, exclusively, before it compares
    engine.OnCall("OpenDatabase", [&](int call) {
      sqlite3* conn = nullptr;
      sqlite3_open(p_.c_str(), &conn);
      const std::string insert = "INSERT INTO Links VALUES (" + std::to_string(call) + "0, 'x')";
      commits += sqlite3_exec(conn, insert.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(conn);
    });
    ScriptedHost host;
    EXPECT_TRUE(Run(host, p_));
  }
  EXPECT_GE(commits, 1);
  EXPECT_EQ(RowCount(p_, "Links"), 200 + commits);
  EXPECT_EQ(ReadAll(k_), kOlder);

  Fresh();
  DatabaseHolder holder(p_, DatabaseHolder::kEngineShared);
  ASSERT_TRUE(holder.Holding());
  ScriptedHost host;
  EXPECT_TRUE(Run(host, p_));
  holder.Stop();
  EXPECT_EQ(ReadAll(p_), bytes_);
  EXPECT_EQ(ReadAll(k_), kOlder);
  ExpectRecoverable("after the holder let go");
}

// A run on a database left with a hot journal by a crawler killed inside a transaction (it is
// rolled back first) and with a leftover of an earlier run; then every file operation in turn
// fails, or kills the process before it touches the disk.
TEST_P(Swaps, NoFailingOrKilledFileStepLosesTheDatabase) {
  WriteAll(leftover_, "half a copy from a run that was killed");
  ASSERT_TRUE(LeaveHotJournal(p_, "DELETE FROM Links"));
  int steps = 0;
  {
    FaultyFiles counter;
    ScriptedHost host;
    ASSERT_TRUE(Run(host, p_));
    EXPECT_TRUE(host.Boxes().empty());
    EXPECT_FALSE(std::filesystem::exists(p_ + "-journal"));
    EXPECT_EQ(ReadAll(k_), bytes_);
    if (GetParam()) {
      EXPECT_GT(host.ProgressCount(), 0);  // the engine's progress reaches the host
    }
    steps = counter.Count();
  }
  ExpectRecoverable("a run without faults");
  ASSERT_GE(steps, 5);  // remove the leftover, link K, rename, sync the folder...
  int replaced = 0;
  for (int k = 1; k <= steps; ++k) {
    for (bool kill : {false, true}) {
      const std::string where = (kill ? "killed at step " : "failing step ") + std::to_string(k);
      Fresh();
      const ChildResult child = RunInChild([&] {
        FaultyFiles faulty;
        kill ? faulty.KillAt(k) : faulty.FailAt(k, EIO);
        ScriptedHost host;
        Run(host, p_);
        return 0;
      });
      EXPECT_EQ(child.killed, kill) << where;
      replaced += !kill && ReadAll(p_) != bytes_;
      // Where the swap fails, the backup is made a file of its own.
      struct stat pst = {}, kst = {};
      if (!kill && !::stat(p_.c_str(), &pst) && !::stat(k_.c_str(), &kst)) {
        EXPECT_NE(pst.st_ino, kst.st_ino) << where;
      }
      ExpectRecoverable(where);
    }
  }
  // Some failures are harmless (a sync, the removal of a leftover), others stop the swap.
  EXPECT_GT(replaced, 0);
  EXPECT_LT(replaced, steps);
}

INSTANTIATE_TEST_SUITE_P(Compaction, Swaps, ::testing::Values(true));
INSTANTIATE_TEST_SUITE_P(Regeneration, Swaps, ::testing::Values(false));

TEST(BackupNames, ThreeCharactersAreCutWhateverTheyAre) {
  EXPECT_EQ(ReorgNamesFor("/d/Straße").backup, "/d/StrBAK");  // "ß" is one character
  EXPECT_EQ(RegenerateNamesFor("/d/Straße").backup, "/d/StrBKK");
  EXPECT_THROW(ReorgNamesFor("ab"), std::invalid_argument);
  for (auto [format, option] :
       std::vector<std::pair<int16_t, int32_t>>{{0, 1}, {1, 8}, {2, 16}, {3, 32}, {4, 0}, {-1, 0}})
    EXPECT_EQ(FormatOption(format), option) << format;
}

class CompactionOnly : public Swaps {};

// The compaction fails with `compact`, then optionally the repair or the second compaction;
// the description must show as it stands. No other number than 3049 leads to a repair.
TEST_P(CompactionOnly, FailuresAreRepairedOrShown) {
  struct Row {
    int32_t compact, repair, again;
    int16_t show, auto_repair, result;
    const char* calls;  // compactions and repairs, in order
    int32_t box;        // the number shown, 0: none
  };
  for (const Row& r : std::vector<Row>{{3043, 0, 0, 1, 1, -1, "C", 3043},
                                       {3043, 0, 0, 0, 1, -1, "C", 0},
                                       {3049, 0, 0, 1, 1, 0, "CRC", 0},
                                       {3049, 0, 0, 1, 0, -1, "C", 3049},
                                       {3049, 3056, 0, 1, 1, -1, "CR", 3056},
                                       {3049, 0, 3043, 1, 1, -1, "CRC", 3043}}) {
    SCOPED_TRACE(r.calls + std::to_string(r.box));
    Fresh();
    WriteAll(leftover_, "half a copy");
    const char* description = "disk %1% full %3%";
    FaultyEngine engine;
    engine.FailNext("CompactDatabase", r.compact, description);
    if (r.repair) engine.FailNext("RepairDatabase", r.repair, description);
    if (r.again) engine.FailNext("CompactDatabase", r.again, description, 2);
    ScriptedHost host;
    EXPECT_EQ(dbReorg(host, p_, r.show, r.auto_repair, 0), r.result);
    std::string calls;
    for (const std::string& c : engine.Log({"CompactDatabase", "RepairDatabase"})) calls += c[0];
    EXPECT_EQ(calls, r.calls);
    std::vector<std::string> box;
    if (r.box)
      box.push_back("Error during compacting! " + std::to_string(r.box) + ": " + description);
    EXPECT_EQ(host.Texts(vbOKOnly), box);
    EXPECT_EQ(ReadAll(p_) == bytes_, r.result != 0);
    EXPECT_EQ(ReadAll(k_), r.result == 0 ? bytes_ : kOlder);
    EXPECT_FALSE(std::filesystem::exists(leftover_));
  }
}

INSTANTIATE_TEST_SUITE_P(Compaction, CompactionOnly, ::testing::Values(true));

class RegenerationOnly : public Swaps {};

// What the regeneration shows and asks when a step fails, and what the answers decide.
TEST_P(RegenerationOnly, FailuresAreShownAndTheAnswersDecide) {
  const std::string n = p_ + "_$temp.mdb", hosts = DigestOf(p_, "Hosts");
  const std::string copy = "SELECT * INTO [Links] IN '" + n + "' FROM [Links]";
  const std::string question = "Fehler bei SQL: \r\nBefehl '" + copy +
                               "'\r\nFehler 3043 - Disk full\r\n\r\nWeiter machen?",
                    ignore = "Soll der Fehler ignoriert werden?",
                    entry = "; SQL-Fehler in " + copy + " 3043 - Disk full";
  const std::string create = "Create: " + n + ": 3043 Disk full",
                    created = "; Erstellung-Fehler in " + n + " 3043 - Disk full",
                    open = "Open: " + p_ + ": 3043 Disk full",
                    opened = "; Öffnen-Fehler in " + p_ + " 3043 - Disk full";
  struct Row {
    const char* op;
    std::deque<int> answers;  // none: every question gets its safe answer
    std::vector<std::string> boxes;
    std::string entry;
    bool hosts_copied, replaced;
  };
  // No stops the copying, and the tables copied so far still replace P. Going on but not
  // ignoring it keeps P, with N holding the copy as far as it got. A console without answers
  // never replaces P with a partial copy.
  for (const Row& r :
       std::vector<Row>{{"Execute", {vbNo}, {question}, entry, false, true},
                        {"Execute", {vbYes, vbNo}, {question, ignore}, entry, true, false},
                        {"Execute", {vbYes, vbYes}, {question, ignore}, entry, true, true},
                        {"Execute", {}, {question, ignore}, entry, true, false},
                        {"CreateDatabase", {}, {create}, created, false, false},
                        {"OpenDatabase", {}, {open}, opened, false, false}}) {
    SCOPED_TRACE(r.op + std::to_string(r.answers.size()));
    Fresh();
    FaultyEngine faults;
    faults.FailNext(r.op, 3043, "Disk full");
    ScriptedHost host(r.answers);
    std::string error;
    dbRegenerate(host, p_, 3, error);
    EXPECT_EQ(host.Texts(r.op == std::string("Execute") ? vbYesNo : vbOKOnly), r.boxes);
    EXPECT_EQ(error, r.entry);
    std::vector<int> pointers;
    for (const HostCall& c : host.Calls())
      if (c.kind == HostCall::kPointer) pointers.push_back(c.value);
    EXPECT_EQ(pointers, (std::vector<int>{vbHourglass, vbDefault}));
    EXPECT_EQ(DigestOf(n, "Links"), "");
    EXPECT_EQ(DigestOf(n, "Hosts"), r.hosts_copied ? hosts : "");
    EXPECT_EQ(ReadAll(p_) == ReadAll(n), r.replaced);
    EXPECT_EQ(ReadAll(r.replaced ? k_ : p_), bytes_);
    if (r.replaced) {
      EXPECT_EQ(ReadAll(p_).substr(60, 4), std::string("\0\0\0\x20", 4));  // format 3
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Regeneration, RegenerationOnly, ::testing::Values(false));

// The engine's own tables stay behind: a salvage may leave MSysLostAndFound, and a copy of
// it would come back in every regenerated file. The test looks at the first four characters
// only, in any case.
TEST(Regeneration, SystemTablesAreNotCopied) {
  TempDir dir;
  const std::string p = dir.File("site.mdb");
  MakeDatabase(p, {{"Links", 3}});
  const std::pair<const char*, bool> tables[] = {
      {"MSysLostAndFound", false},
      {"msysACEs", false},
      {"MSYSX", false},
      {"MSy", true},
      {"XMSys", true},
      {"Links", true},
  };
  for (const auto& [name, copied] : tables)
    if (std::string(name) != "Links")
      Sql(p, "CREATE TABLE [" + std::string(name) + "](ID INTEGER); INSERT INTO [" + name +
                 "] VALUES (1);");

  ScriptedHost host;
  std::string error;
  dbRegenerate(host, p, 3, error);
  EXPECT_EQ(error, "");
  EXPECT_EQ(host.Boxes().size(), 0u);
  for (const auto& [name, copied] : tables) EXPECT_EQ(RowCount(p, name) >= 1, copied) << name;
  EXPECT_EQ(RowCount(dir.File("site.BKK"), "MSysLostAndFound"), 1);  // the old file kept it
}

// The tables of a database in order, each with its fields (name:type:size, "z" when a
// zero-length text is allowed, "+" when counting) and its indexes ("!" unique, "*" primary).
std::string Shape(const std::string& path) {
  auto db = DBEngine().OpenDatabase(path);
  std::string shape;
  for (int32_t i = 0; i < db->TableDefs().Count(); ++i) {
    const TableDef t = db->TableDefs().Item(i);
    shape += t.Name + ":";
    for (const Field& f : t.FieldList())
      shape += " " + f.Name + ":" + std::to_string(f.Type) + ":" + std::to_string(f.Size) +
               (f.AllowZeroLength ? "z" : "") + (f.Attributes & dbAutoIncrField ? "+" : "");
    for (const Index& x : t.IndexList())
      shape += " " + x.Name + "(" + x.Fields + ")" + (x.Unique ? "!" : "") + (x.Primary ? "*" : "");
    shape += "\n";
  }
  db->Close();
  return shape;
}

class Structure : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const std::string& f : {template_, target_}) std::filesystem::remove(f);
    auto db = DBEngine().CreateDatabase(template_, std::string(kGeneralLocale), 0);
    auto add = [&](const char* name, std::vector<Field> fields, std::vector<Index> indexes) {
      db->TableDefs().Append(Def(name, fields, indexes));
    };
    // The template in small: a table with a counter, texts, a primary key and a descending
    // index; a second table; and names that do or do not look like system tables.
    add("Links",
        {{"Id", dbLong, 4, dbAutoIncrField},
         {"Url", dbText, 255},
         {"Title", dbText, 100},
         {"Checked", dbDate, 8}},
        {{"PrimaryKey", true, true, "+Id"},
         {"ByUrl", false, true, "+Url"},
         {"ByChecked", false, false, "-Checked;+Url"}});
    add("Hosts", {{"url", dbText, 50}, {"Host", dbText, 80}},
        {{"PrimaryKey", true, true, "+Host"}, {"ByHost", false, false, "+Host"}});
    for (const char* name : {"MSy", "XMSys", "MSysCustom", "msysACEs2"})
      add(name, {{"A", dbLong, 4}}, {});
    db->Close();
    // The database: its own version of one template table, with a primary key of its own.
    MakeDatabase(target_, {{"hosts", 3}});
    db = DBEngine().OpenDatabase(target_);
    db->TableDefs().Item("hosts").Indexes().Append({"MyKey", true, true, "+ID"});
    db->Close();
  }

  // Updates the database; `plan` makes the template's engine calls fail.
  bool Update(ScriptedHost& host, const std::function<void(FaultyEngine&)>& plan = {}) {
    auto db = DBEngine().OpenDatabase(target_);
    bool shown = false;
    {
      FaultyEngine faults;
      if (plan) plan(faults);
      shown = UpdateDB(host, *db, template_);
    }
    db->Close();
    return shown;
  }

  TempDir dir_;
  const std::string template_ = dir_.File("Vardlink_Default.mdb"), target_ = dir_.File("site.mdb");
};

TEST_F(Structure, AddsWhatIsMissingAndChangesNothingElse) {
  const std::string rows = DigestOf(target_, "hosts");
  ScriptedHost host;
  EXPECT_FALSE(Update(host));
  EXPECT_TRUE(host.Boxes().empty());
  const std::string shape = Shape(target_);
  // Tables and fields are matched without regard to case; a table added gets the placeholder
  // first; fields come in with zero-length texts allowed; a primary key of its own stays.
  EXPECT_EQ(shape,
            "hosts: ID:4:4 Url:12:0z Host:10:80z MyKey(+ID)!* ByHost(+Host)\n"
            "Links: leer:2:1 Id:4:4z+ Url:10:255z Title:10:100z Checked:8:8z PrimaryKey(+Id)!* "
            "ByUrl(+Url)! ByChecked(-Checked;+Url)\n"
            "MSy: leer:2:1 A:4:4z\nXMSys: leer:2:1 A:4:4z\n");
  EXPECT_EQ(DigestOf(target_, "hosts"), rows);
  ScriptedHost again;
  EXPECT_FALSE(Update(again));
  EXPECT_TRUE(again.Boxes().empty());
  EXPECT_EQ(Shape(target_), shape);
}

std::string Box(int32_t number, const std::string& description = "Disk full") {
  return "Es ist ein Fehler beim konvertieren aufgetreten: \r\n\r\nFehler " +
         std::to_string(number) + " : " + description;
}

// A failed step is shown once per change of its number, and the walk goes on. Without the
// template or its list of tables there is nothing to walk.
TEST_F(Structure, TheWalkShowsEachErrorOnceAndGoesOn) {
  for (int32_t commit : {3043, 3034}) {
    SetUp();
    ScriptedHost host;
    EXPECT_TRUE(Update(host, [&](FaultyEngine& f) {
      f.FailAlways("BeginTrans", 3043, "Disk full");
      f.FailAlways("CommitTrans", commit, "Disk full");
    }));
    std::vector<std::string> expected = {Box(3043)};  // then by turns, for each of six tables
    for (int box = 1; commit != 3043 && box < 12; ++box)
      expected.push_back(Box(box % 2 ? commit : 3043));
    EXPECT_EQ(host.Texts(vbCritical), expected);
    EXPECT_NE(Shape(target_).find("XMSys: leer"), std::string::npos);
  }
  const std::string description = "'%1%' is damaged%2%%11%";
  for (const auto& [op, box] : std::vector<std::pair<std::string, std::string>>{
           {"TableCount", Box(3112, description)},
           {"OpenDatabase", "Es ist ein Fehler beim Öffnen von '" + template_ +
                                "' aufgetreten.\r\n\r\nFehler 3112 - '" + template_ +
                                "' is damaged"}}) {
    SetUp();
    const std::string before = Shape(target_);
    ScriptedHost host;
    EXPECT_TRUE(Update(host, [&](FaultyEngine& f) { f.FailNext(op, 3112, description); }));
    EXPECT_EQ(host.Texts(vbCritical), std::vector<std::string>{box});
    EXPECT_EQ(Shape(target_), before);
  }
}

// The update is handed a database it could not open: every table it would add fails.
TEST_F(Structure, AnUnopenableDatabaseIsLeftAsItIs) {
  WriteAll(target_, std::string(2048, 'z'));
  ScriptedHost host;
  std::string error;
  dbAdjustStructure(host, target_, template_, error);
  const std::string box =
      "Error db.TableDefs.Append tdNew: 3420 The database '" + target_ + "' is not open.";
  EXPECT_EQ(host.Texts(vbOKOnly), std::vector<std::string>(4, box));  // all but system tables
  EXPECT_EQ(ReadAll(target_), std::string(2048, 'z'));
}

TEST(FormatStr, PlaceholdersAreReplacedInAscendingOrderAndValuesNotSearchedAgain) {
  for (const auto& r : std::vector<std::array<const char*, 7>>{
           {"'%1%' and '%1%'", "a", "", "", "", "", "'a' and 'a'"},
           {"%1% and %2%", "%2%", "b", "", "", "", "b and b"},  // lower values are searched later
           {"%2%", "a", "%1%", "", "", "", "%1%"},
           {"%1%", "%1%%1%", "", "", "", "", "%1%%1%"},
           {"%6% %0% %x% 100% %5%|%4%", "1", "2", "3", "4", "5", "%6% %0% %x% 100% 5|4"},
           {"%1%1% %%1%%", "v", "", "", "", "", "v1% %v%"}})
    EXPECT_EQ(FormatStr(r[0], r[1], r[2], r[3], r[4], r[5]), r[6]) << r[0];
  EXPECT_EQ(FormatText("%10%-%11%-%1%", "one", "", "", "", "", "", "", "", "", "ten", "eleven"),
            "ten-eleven-one");
  EXPECT_EQ(FormatText("%1%", "%10%", "", "", "", "", "", "", "", "", "X"), "X");
}

}  // namespace
}  // namespace tidewell
