#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <filesystem>

#include "engine/file_system.h"
#include "maintenance/modTidewell.h"
#include "tests/maintenance/regen_support.h"
#include "tests/support/child_process.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/support/files.h"
#include "tools/sample_data.h"

namespace tidewell {
namespace {

using engine::dbLong;
using engine::dbText;
using testing::BoxTexts;
using testing::ContentOf;
using testing::FieldNames;
using testing::IndexNames;
using testing::MakeDatabase;
using testing::MakeField;
using testing::Pointers;
using testing::ReadAll;
using testing::RowsOf;
using testing::ScriptedHost;
using testing::ShapeOf;
using testing::TableSpec;
using testing::TempDir;

const std::string kCrLf = "\r\n";

TEST(RegenerateNames, NewFileAndBackupBesideTheDatabase) {
  const RegenerateNames names = RegenerateNamesFor("C:\\Data\\site.mdb");
  EXPECT_EQ(names.fresh, "C:\\Data\\site.mdb_$temp.mdb");
  EXPECT_EQ(names.backup, "C:\\Data\\site.BKK");
  EXPECT_EQ(RegenerateNamesFor("/d/Straße").backup, "/d/StrBKK");  // "ß" is one character
  // Never the compaction's names: the two backups must not overwrite each other.
  EXPECT_NE(names.backup, "C:\\Data\\site.BAK");
  EXPECT_NE(names.swap, names.fresh);
  EXPECT_NE(names.swap, "C:\\Data\\site.mdb");
}

TEST(RegenerateNames, FormatIndexToCreationOption) {
  EXPECT_EQ(FormatOption(0), 1);
  EXPECT_EQ(FormatOption(1), 8);
  EXPECT_EQ(FormatOption(2), 16);
  EXPECT_EQ(FormatOption(3), 32);
  EXPECT_EQ(FormatOption(4), 0);
  EXPECT_EQ(FormatOption(7), 0);
  EXPECT_EQ(FormatOption(-1), 0);
}

// A crawler-like database with a few tables and rows, written fresh in a scratch folder.
class Regenerate : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("site.mdb");
    names_ = RegenerateNamesFor(db_);
  }

  static TableSpec Plain(const std::string& name, int rows) {
    TableSpec t{name, {MakeField("Id", dbLong), MakeField("Url", dbText, 255)}, {}, {}};
    for (int i = 1; i <= rows; ++i)
      t.rows.push_back("(" + std::to_string(i) + ", 'http://" + name + "/" + std::to_string(i) +
                       "')");
    return t;
  }

  std::string Run(ScriptedHost& host, int16_t format = 3) {
    std::string error = "left over";
    dbRegenerate(host, db_, format, error);
    return error;
  }

  TempDir dir_;
  std::string db_;
  RegenerateNames names_;
};

TEST_F(Regenerate, CopiesEveryUserTableAndKeepsTheOldFileAsBackup) {
  MakeDatabase(db_,
               {Plain("Links", 50), Plain("Order Details", 3), Plain("MSY", 2), Plain("Empty", 0)});
  const auto before = ContentOf(db_);
  const std::string old_bytes = ReadAll(db_);

  ScriptedHost host;
  EXPECT_EQ(Run(host), "");
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(Pointers(host), (std::vector<int>{vbHourglass, vbDefault}));

  EXPECT_EQ(ContentOf(db_), before);
  EXPECT_EQ(ContentOf(names_.fresh), before);  // N stays until the next run
  EXPECT_EQ(ReadAll(names_.backup), old_bytes);
  EXPECT_FALSE(std::filesystem::exists(names_.swap));
}

// The crawler commits to P after its table was copied: the copy lacks that row, so it must
// not replace P (the row would then be only in the backup).
TEST_F(Regenerate, ACommitDuringTheCopyKeepsTheDatabaseInPlace) {
  MakeDatabase(db_, {Plain("Links", 5), Plain("Pages", 2)});
  class CommittingHost : public ScriptedHost {
   public:
    explicit CommittingHost(std::string db) : db_(std::move(db)) {}
    void DoEvents() override {
      ScriptedHost::DoEvents();
      if (committed_) return;
      committed_ = true;  // after the first table, as a crawler between two transactions
      sqlite3* conn = nullptr;
      ASSERT_EQ(sqlite3_open(db_.c_str(), &conn), SQLITE_OK);
      EXPECT_EQ(sqlite3_exec(conn, "INSERT INTO Links VALUES (6, 'http://late/6')", nullptr,
                             nullptr, nullptr),
                SQLITE_OK);
      sqlite3_close(conn);
    }

   private:
    std::string db_;
    bool committed_ = false;
  } host(db_);
  EXPECT_EQ(Run(host), "");
  EXPECT_EQ(RowsOf(db_, "Links").size(), 6u);           // the late row is where the crawler looks
  EXPECT_EQ(RowsOf(names_.fresh, "Links").size(), 5u);  // N holds the copy, as taken
  EXPECT_FALSE(std::filesystem::exists(names_.backup));
}

TEST_F(Regenerate, SystemTablesAreNotCopiedWhateverTheirCase) {
  MakeDatabase(db_, {Plain("Links", 2), Plain("MSysCustom", 1), Plain("msysAnything", 1),
                     Plain("XMSys", 1)});
  ScriptedHost host;
  EXPECT_EQ(Run(host), "");
  const auto shape = ShapeOf(db_);
  EXPECT_EQ(shape.count("Links"), 1u);
  EXPECT_EQ(shape.count("XMSys"), 1u);
  EXPECT_EQ(shape.count("MSysCustom"), 0u);
  EXPECT_EQ(shape.count("msysAnything"), 0u);
  // Skipped tables do not yield: one DoEvents per copied table.
  int yields = 0;
  for (const auto& c : host.Calls()) yields += c.kind == testing::HostCall::kDoEvents;
  EXPECT_EQ(yields, 2);
}

TEST_F(Regenerate, FormatIndexReachesTheNewFileAsCreationOption) {
  MakeDatabase(db_, {Plain("Links", 1)});
  ScriptedHost host;
  Run(host, 2);
  // The engine keeps the creation option in the header's user version (offset 60).
  EXPECT_EQ(ReadAll(names_.fresh).substr(60, 4), std::string("\0\0\0\x10", 4));
}

TEST_F(Regenerate, LeftoversOfAnEarlierRunAreReplaced) {
  MakeDatabase(db_, {Plain("Links", 4)});
  testing::WriteAll(names_.fresh, "stale new file from an earlier run");
  testing::WriteAll(names_.backup, "stale backup");
  testing::WriteAll(names_.swap, "half a copy from a run that was killed");
  const std::string old_bytes = ReadAll(db_);
  ScriptedHost host;
  EXPECT_EQ(Run(host), "");
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(RowsOf(db_, "Links").size(), 4u);
  EXPECT_EQ(ReadAll(names_.backup), old_bytes);
  EXPECT_FALSE(std::filesystem::exists(names_.swap));
}

// The table whose name holds "]" breaks its statement; what happens next is the user's call.
class RegenerateBrokenName : public Regenerate {
 protected:
  void SetUp() override {
    Regenerate::SetUp();
    MakeDatabase(db_, {Plain("Order Details", 3), Plain("Bad]Name", 2), Plain("MSY", 1)});
    before_ = ContentOf(db_);
    old_bytes_ = ReadAll(db_);
  }

  std::string Statement() const {
    return "SELECT * INTO [Bad]Name] IN '" + names_.fresh + "' FROM [Bad]Name]";
  }

  std::map<std::string, std::vector<std::string>> before_;
  std::string old_bytes_;
};

// The answers to the two questions, the tables N then holds, and whether N replaced P.
struct BrokenNameAnswers {
  std::deque<int> answers;  // none: every question gets its safe answer
  size_t boxes;
  std::vector<std::string> copied;
  bool replaced;
};

class RegenerateAnswers : public RegenerateBrokenName,
                          public ::testing::WithParamInterface<BrokenNameAnswers> {};

TEST_P(RegenerateAnswers, DecideWhatIsCopiedAndWhetherItReplacesTheDatabase) {
  const BrokenNameAnswers& a = GetParam();
  ScriptedHost host(a.answers);
  const std::string error = Run(host);
  const auto boxes = host.Boxes();
  ASSERT_EQ(boxes.size(), a.boxes);
  EXPECT_EQ(boxes[0].value, vbYesNo);
  EXPECT_EQ(boxes[0].text.rfind("Fehler bei SQL: \r\nBefehl '" + Statement() + "'\r\nFehler ", 0),
            0u);
  if (a.boxes == 2) {
    EXPECT_EQ(boxes[1].text, "Soll der Fehler ignoriert werden?");
  }
  EXPECT_EQ(error.rfind("; SQL-Fehler in " + Statement() + " ", 0), 0u);
  std::map<std::string, std::vector<std::string>> copied;
  for (const std::string& t : a.copied) copied[t] = before_.at(t);
  EXPECT_EQ(ContentOf(names_.fresh), copied);
  if (a.replaced) {
    EXPECT_EQ(ContentOf(db_), copied);
    EXPECT_EQ(ReadAll(names_.backup), old_bytes_);
  } else {
    EXPECT_EQ(ReadAll(db_), old_bytes_);
    EXPECT_FALSE(std::filesystem::exists(names_.backup));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RegenerateAnswers,
    ::testing::Values(
        // No stops the copying, and the tables copied so far still replace P.
        BrokenNameAnswers{{vbNo}, 1, {"Order Details"}, true},
        // Going on but not ignoring it keeps P; N holds the copy as far as it got.
        BrokenNameAnswers{{vbYes, vbNo}, 2, {"MSY", "Order Details"}, false},
        BrokenNameAnswers{{vbYes, vbYes}, 2, {"MSY", "Order Details"}, true},
        // A console without answers never replaces P with a partial copy.
        BrokenNameAnswers{{}, 2, {"MSY", "Order Details"}, false}));

TEST_F(Regenerate, OpeningFailingLeavesAnEmptyNewDatabase) {
  for (bool missing : {false, true}) {
    std::filesystem::remove(names_.fresh);
    std::filesystem::remove(db_);
    if (!missing) testing::WriteAll(db_, std::string(4096, 'x'));  // not a database
    ScriptedHost host;
    EXPECT_EQ(Run(host).rfind("; \xC3\x96"
                              "ffnen-Fehler in " +
                                  db_ + " ",
                              0),
              0u);
    ASSERT_EQ(host.Boxes().size(), 1u);
    EXPECT_EQ(host.Boxes()[0].text.rfind("Open: " + db_ + ": ", 0), 0u);
    EXPECT_EQ(std::filesystem::exists(db_), !missing);
    EXPECT_FALSE(std::filesystem::exists(names_.backup));
    EXPECT_TRUE(ShapeOf(names_.fresh).empty());
    EXPECT_EQ(Pointers(host), (std::vector<int>{vbHourglass, vbDefault}));
  }
}

TEST_F(Regenerate, ADatabaseNamedLikeItsOwnBackupTakesTheNewCopy) {
  const std::string p = dir_.File("site.BKK");
  MakeDatabase(p, {Plain("Links", 3)});
  ScriptedHost host;
  std::string error;
  dbRegenerate(host, p, 3, error);
  EXPECT_EQ(error, "");
  EXPECT_TRUE(ReadAll(p) == ReadAll(RegenerateNamesFor(p).fresh));
  EXPECT_EQ(RowsOf(p, "Links").size(), 3u);
}

// A crawler killed inside a transaction: its rollback comes first, then the copy.
TEST_F(Regenerate, AHotJournalIsRolledBackAndTheCommittedRowsRegenerated) {
  MakeDatabase(db_, {Plain("Links", 50)});
  const auto before = ContentOf(db_);
  ASSERT_TRUE(testing::LeaveHotJournal(db_, "DELETE FROM Links"));
  ScriptedHost host;
  EXPECT_EQ(Run(host), "");
  EXPECT_EQ(ContentOf(db_), before);
  EXPECT_TRUE(ReadAll(db_) == ReadAll(names_.fresh));
  EXPECT_EQ(ContentOf(names_.backup), before);
}

// Failures of single file operations while the new file is put in place.
TEST_F(Regenerate, AFailingFileStepNeverLosesTheDatabase) {
  MakeDatabase(db_, {Plain("Links", 20), Plain("Hosts", 5)});
  const auto old_content = ContentOf(db_);
  const std::string old_bytes = ReadAll(db_);
  int steps = 0;
  {
    testing::FaultyFiles counter;
    ScriptedHost host;
    Run(host);
    steps = counter.Count();
  }
  ASSERT_GE(steps, 5);

  int replaced = 0, kept = 0;
  for (int k = 1; k <= steps; ++k) {
    SCOPED_TRACE("failing file operation " + std::to_string(k));
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      std::filesystem::remove_all(entry.path());
    testing::WriteAll(db_, old_bytes);
    {
      testing::FaultyFiles faulty;
      faulty.FailAt(k, EIO);
      ScriptedHost host;
      Run(host);
    }
    ASSERT_TRUE(std::filesystem::is_regular_file(db_));
    EXPECT_EQ(ContentOf(db_), old_content);
    if (ReadAll(db_) != old_bytes) {
      // The new content is in place only complete and with the old one safe under K.
      ++replaced;
      EXPECT_EQ(ReadAll(db_), ReadAll(names_.fresh));
      EXPECT_EQ(ReadAll(names_.backup), old_bytes);
    } else {
      ++kept;
    }
    EXPECT_FALSE(std::filesystem::exists(names_.swap));
  }
  // Some failures are harmless (a sync, the first removal of N), others stop the swap.
  EXPECT_GT(replaced, 0);
  EXPECT_GT(kept, 0);
}

// The process dies at each file operation in turn, before it touches the disk. Whatever
// the moment, the database's own name holds a complete database: the old one or the new.
TEST_F(Regenerate, KilledAtAnyFileStepLeavesTheOldOrTheNewDatabase) {
  MakeDatabase(db_, {Plain("Links", 30), Plain("Order Details", 4), Plain("MSysHidden", 1)});
  const auto old_content = testing::UserContentOf(db_);
  const std::string old_bytes = ReadAll(db_);

  int kills = 0;
  bool finished = false;
  for (int k = 1; k <= 60 && !finished; ++k) {
    SCOPED_TRACE("killed at file operation " + std::to_string(k));
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      std::filesystem::remove_all(entry.path());
    testing::WriteAll(db_, old_bytes);

    const testing::ChildResult child = testing::RunInChild([&] {
      testing::FaultyFiles faulty;
      faulty.KillAt(k);
      ScriptedHost host;
      std::string error;
      dbRegenerate(host, db_, 3, error);
      return error.empty() ? 0 : 1;
    });
    if (child.exited) {
      EXPECT_EQ(child.exit_code, 0);
      finished = true;
    } else {
      ASSERT_TRUE(child.killed);
      EXPECT_EQ(child.signal, SIGKILL);
      ++kills;
    }

    // P opens through the engine and holds every row it held before.
    ASSERT_TRUE(std::filesystem::is_regular_file(db_));
    EXPECT_EQ(testing::UserContentOf(db_), old_content);
    const std::string now = ReadAll(db_);
    if (now != old_bytes) {
      // Only the complete new file may take the name, and only with the old one kept.
      EXPECT_EQ(now, ReadAll(names_.fresh));
      EXPECT_EQ(ReadAll(names_.backup), old_bytes);
    }
  }
  EXPECT_TRUE(finished);
  // Remove N, create N, remove K, link K, remove, copy, rename, sync folder: the
  // swap alone has more than five steps to die at.
  EXPECT_GE(kills, 5);
  // The run that was not killed really did put the new file in place.
  EXPECT_NE(ReadAll(db_), old_bytes);
  EXPECT_EQ(ReadAll(names_.backup), old_bytes);
}

// Exact texts, with failures chosen by the test.
class RegenerateExactTexts : public Regenerate {
 protected:
  void SetUp() override {
    Regenerate::SetUp();
    MakeDatabase(db_, {Plain("Links", 3), Plain("Hosts", 2)});
    old_bytes_ = ReadAll(db_);
  }
  std::string Statement(const std::string& t) const {
    return "SELECT * INTO [" + t + "] IN '" + names_.fresh + "' FROM [" + t + "]";
  }
  std::string old_bytes_;
};

TEST_F(RegenerateExactTexts, CopyFailureQuestionAndEntry) {
  testing::FaultyEngine faults;
  faults.FailNext("Execute", 3043, "Disk full on /data");
  ScriptedHost host({vbYes, vbYes});
  const std::string error = Run(host);
  EXPECT_EQ(BoxTexts(host),
            (std::vector<std::string>{"Fehler bei SQL: \r\nBefehl '" + Statement("Links") +
                                          "'\r\nFehler 3043 - Disk full on /data\r\n\r\n"
                                          "Weiter machen?",
                                      "Soll der Fehler ignoriert werden?"}));
  EXPECT_EQ(error, "; SQL-Fehler in " + Statement("Links") + " 3043 - Disk full on /data");
  EXPECT_EQ(faults.Calls("Execute"), 2);
  // Ignored: Hosts was still copied and P replaced by a file without Links.
  const auto shape = ShapeOf(db_);
  EXPECT_EQ(shape.count("Links"), 0u);
  EXPECT_EQ(shape.count("Hosts"), 1u);
  EXPECT_EQ(ReadAll(names_.backup), old_bytes_);
}

TEST_F(RegenerateExactTexts, RefusalsAreCountedAcrossTables) {
  testing::FaultyEngine faults;
  faults.FailAlways("Execute", 3043, "Disk full");
  // First table: Yes, Yes (ignored). Second: Yes, No (refused).
  ScriptedHost host({vbYes, vbYes, vbYes, vbNo});
  const std::string error = Run(host);
  EXPECT_EQ(host.Boxes().size(), 4u);
  EXPECT_EQ(error, "; SQL-Fehler in " + Statement("Links") + " 3043 - Disk full" +
                       "; SQL-Fehler in " + Statement("Hosts") + " 3043 - Disk full");
  EXPECT_EQ(ReadAll(db_), old_bytes_);
  EXPECT_FALSE(std::filesystem::exists(names_.backup));
}

TEST_F(RegenerateExactTexts, CreateAndOpenMessages) {
  {
    testing::FaultyEngine faults;
    faults.FailNext("CreateDatabase", 3051, "No write access to the folder");
    ScriptedHost host;
    EXPECT_EQ(Run(host),
              "; Erstellung-Fehler in " + names_.fresh + " 3051 - No write access to the folder");
    EXPECT_EQ(BoxTexts(host), (std::vector<std::string>{"Create: " + names_.fresh +
                                                        ": 3051 No write access to the folder"}));
    EXPECT_EQ(faults.Calls("OpenDatabase"), 0);
    EXPECT_EQ(Pointers(host), (std::vector<int>{vbHourglass, vbDefault}));
  }
  {
    testing::FaultyEngine faults;
    faults.FailNext("OpenDatabase", 3045, "In use by another program");
    ScriptedHost host;
    EXPECT_EQ(Run(host), "; Öffnen-Fehler in " + db_ + " 3045 - In use by another program");
    EXPECT_EQ(BoxTexts(host),
              (std::vector<std::string>{"Open: " + db_ + ": 3045 In use by another program"}));
    EXPECT_EQ(faults.Calls("Execute"), 0);
  }
  EXPECT_EQ(ReadAll(db_), old_bytes_);
  EXPECT_FALSE(std::filesystem::exists(names_.backup));
}

// The crawler's own sample database against the template it ships with.
class RegenerateSample : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = dir_.File("Vardlink.mdb");
    queue_ = sample::QueueDatabaseName(db_);
    template_ = dir_.File("Vardlink_Default.mdb");
    sample::MakeSampleDatabase(db_);
    sample::MakeQueueDatabase(queue_);
    sample::MakeTemplateDatabase(template_);
    // A system table of the engine's kind, which must not travel.
    auto db = engine::DBEngine().OpenDatabase(db_);
    testing::AddTable(*db, {"MSysAccessStorage", {MakeField("Id", dbLong, 4)}, {}, {"(1)"}});
    db->Close();
  }

  TempDir dir_;
  std::string db_, queue_, template_;
};

TEST_F(RegenerateSample, RegenerateThenUpdateKeepsEveryRowAndRestoresTheStructure) {
  const auto before = testing::UserContentOf(db_);
  const auto queue_before = testing::UserContentOf(queue_);
  const std::string old_bytes = ReadAll(db_);
  const auto template_shape = ShapeOf(template_);

  ScriptedHost host;
  std::string error;
  for (const std::string& p : {db_, queue_}) {
    dbRegenerate(host, p, 3, error);
    EXPECT_EQ(error, "") << p;
    dbAdjustStructure(host, p, template_, error);
  }
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ReadAll(RegenerateNamesFor(db_).backup), old_bytes);

  // Every row of every user table survives; the template's Settings rows are not added.
  auto after = testing::UserContentOf(db_);
  ASSERT_EQ(after.count("Sitemaps"), 1u);
  EXPECT_TRUE(after.at("Sitemaps").empty());
  for (const auto& [table, rows] : before) {
    ASSERT_EQ(after.count(table), 1u) << table;
    ASSERT_EQ(after.at(table).size(), rows.size()) << table;
    // Tables the template extends gain an empty column at the end of each row.
    for (size_t i = 0; i < rows.size(); ++i)
      EXPECT_EQ(after.at(table)[i].substr(0, rows[i].size()), rows[i]) << table;
  }
  EXPECT_EQ(ShapeOf(db_).count("MSysAccessStorage"), 0u);
  EXPECT_EQ(testing::UserContentOf(queue_).at("Queue").size(), queue_before.at("Queue").size());

  const auto shape = ShapeOf(db_);
  // The table only the template has: placeholder first, then the template's fields.
  EXPECT_EQ(FieldNames(shape.at("Sitemaps")),
            (std::vector<std::string>{"leer", "ID", "Url", "Read"}));
  EXPECT_EQ(shape.at("Sitemaps").fields[0].Type, engine::dbByte);
  // The copy carried no indexes; the update brought back every one of the template's, with
  // the same fields, order and directions.
  for (const char* table : {"Links", "Pages", "Queue", "Settings"}) {
    SCOPED_TRACE(table);
    EXPECT_EQ(IndexNames(shape.at(table)), IndexNames(template_shape.at(table)));
    for (const auto& x : template_shape.at(table).indexes) {
      const auto got = testing::FindIndex(shape.at(table), x.Name);
      ASSERT_TRUE(got.has_value()) << x.Name;
      EXPECT_EQ(got->Fields, x.Fields);
      EXPECT_EQ(got->Primary, x.Primary);
      EXPECT_EQ(got->Unique, x.Unique);
    }
    for (const auto& f : template_shape.at(table).fields) {
      const auto got = testing::FindField(shape.at(table), f.Name);
      ASSERT_TRUE(got.has_value()) << f.Name;
      EXPECT_EQ(got->Type, f.Type) << f.Name;
      EXPECT_EQ(got->Size, f.Size) << f.Name;
    }
  }
  EXPECT_TRUE(testing::FindField(shape.at("Links"), "Depth").has_value());
  EXPECT_TRUE(testing::FindField(shape.at("Pages"), "Encoding").has_value());
}

}  // namespace
}  // namespace tidewell
