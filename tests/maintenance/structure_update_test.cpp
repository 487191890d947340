#include <gtest/gtest.h>

#include <filesystem>

#include "maintenance/modTidewell.h"
#include "maintenance/modXDAO.h"
#include "tests/maintenance/regen_support.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/files.h"

namespace tidewell {
namespace {

using engine::dbByte;
using engine::dbDate;
using engine::dbInteger;
using engine::dbLong;
using engine::dbMemo;
using engine::dbText;
using testing::BoxTexts;
using testing::FieldNames;
using testing::FindField;
using testing::FindIndex;
using testing::IndexNames;
using testing::MakeDatabase;
using testing::MakeField;
using testing::MakeIndex;
using testing::Pointers;
using testing::RowsOf;
using testing::ScriptedHost;
using testing::ShapeOf;
using testing::TableSpec;
using testing::TempDir;

// The template as the crawler ships it, in small: a table with a primary key and a
// descending index, a second table, and tables whose names look like system tables.
std::vector<TableSpec> TemplateTables() {
  return {
      {"Links",
       {MakeField("Id", dbLong, 4, engine::dbAutoIncrField), MakeField("Url", dbText, 255),
        MakeField("Title", dbText, 100, 0, false), MakeField("Checked", dbDate, 8)},
       {MakeIndex("PrimaryKey", "+Id", true, true), MakeIndex("ByUrl", "+Url", true),
        MakeIndex("ByChecked", "-Checked;+Url")},
       {}},
      {"Hosts",
       {MakeField("Host", dbText, 80), MakeField("Hits", dbLong, 4), MakeField("Notes", dbMemo)},
       {MakeIndex("ByHost", "+Host", true)},
       {}},
      {"MSy", {MakeField("A", dbLong, 4)}, {}, {}},
      {"XMSys", {MakeField("B", dbLong, 4)}, {}, {}},
  };
}

class StructureUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    template_ = dir_.File("Vardlink_Default.mdb");
    target_ = dir_.File("site.mdb");
    MakeDatabase(template_, TemplateTables());
  }

  bool Update(ScriptedHost& host) {
    std::unique_ptr<engine::Database> db = engine::DBEngine().OpenDatabase(target_);
    const bool shown = UpdateDB(host, *db, template_);
    db->Close();
    return shown;
  }

  TempDir dir_;
  std::string template_, target_;
};

TEST_F(StructureUpdate, AMissingTableIsCreatedWithThePlaceholderFirst) {
  MakeDatabase(target_, {});
  ScriptedHost host;
  EXPECT_FALSE(Update(host));
  EXPECT_TRUE(host.Boxes().empty());

  const auto shape = ShapeOf(target_);
  ASSERT_EQ(shape.count("Links"), 1u);
  const auto& links = shape.at("Links");
  EXPECT_EQ(FieldNames(links), (std::vector<std::string>{"leer", "Id", "Url", "Title", "Checked"}));
  EXPECT_EQ(links.fields[0].Type, dbByte);
  EXPECT_EQ(links.fields[0].Size, 1);
  EXPECT_EQ(FindField(links, "Url")->Type, dbText);
  EXPECT_EQ(FindField(links, "Url")->Size, 255);
  EXPECT_EQ(FindField(links, "Id")->Attributes & engine::dbAutoIncrField, engine::dbAutoIncrField);
  // Zero-length texts are allowed whatever the template says.
  EXPECT_TRUE(FindField(links, "Title")->AllowZeroLength);
  EXPECT_TRUE(FindField(links, "Url")->AllowZeroLength);

  EXPECT_EQ(IndexNames(links), (std::vector<std::string>{"PrimaryKey", "ByUrl", "ByChecked"}));
  EXPECT_TRUE(FindIndex(links, "PrimaryKey")->Primary);
  EXPECT_TRUE(FindIndex(links, "ByUrl")->Unique);
  EXPECT_FALSE(FindIndex(links, "ByUrl")->Primary);
  EXPECT_EQ(FindIndex(links, "ByChecked")->Fields, "-Checked;+Url");

  EXPECT_EQ(shape.count("Hosts"), 1u);
  EXPECT_EQ(shape.count("MSy"), 1u);
  EXPECT_EQ(shape.count("XMSys"), 1u);
}

TEST_F(StructureUpdate, AnExistingTableGainsOnlyWhatItLacks) {
  MakeDatabase(target_, {{"Links",
                          // Url is a memo here and Title is missing; Extra exists only here.
                          {MakeField("Id", dbLong, 4), MakeField("Url", dbMemo),
                           MakeField("Extra", dbInteger, 2), MakeField("Checked", dbDate, 8)},
                          // ByUrl exists with other fields and flags; Mine exists only here.
                          {MakeIndex("ByUrl", "+Checked"), MakeIndex("Mine", "+Extra")},
                          {"(1, 'http://a/', 7, NULL)", "(2, 'http://b/', 8, NULL)"}},
                         {"Own", {MakeField("X", dbLong, 4)}, {}, {"(5)"}}});
  const auto rows_before = RowsOf(target_, "Links");

  ScriptedHost host;
  EXPECT_FALSE(Update(host));
  EXPECT_TRUE(host.Boxes().empty());

  const auto shape = ShapeOf(target_);
  const auto& links = shape.at("Links");
  // No placeholder for a table that was there; the new field goes behind the others.
  EXPECT_EQ(FieldNames(links),
            (std::vector<std::string>{"Id", "Url", "Extra", "Checked", "Title"}));
  EXPECT_EQ(FindField(links, "Url")->Type, dbMemo);
  EXPECT_EQ(FindField(links, "Title")->Type, dbText);
  EXPECT_EQ(FindField(links, "Title")->Size, 100);
  EXPECT_TRUE(FindField(links, "Title")->AllowZeroLength);

  EXPECT_EQ(FindIndex(links, "ByUrl")->Fields, "+Checked");
  EXPECT_FALSE(FindIndex(links, "ByUrl")->Unique);
  EXPECT_TRUE(FindIndex(links, "Mine").has_value());
  EXPECT_TRUE(FindIndex(links, "PrimaryKey").has_value());
  EXPECT_TRUE(FindIndex(links, "ByChecked").has_value());

  EXPECT_EQ(shape.count("Own"), 1u);
  EXPECT_EQ(RowsOf(target_, "Own"), (std::vector<std::string>{"5|"}));
  // The rows are still there; the appended field is empty in each of them.
  const auto rows_after = RowsOf(target_, "Links");
  ASSERT_EQ(rows_after.size(), rows_before.size());
  for (size_t i = 0; i < rows_after.size(); ++i)
    EXPECT_EQ(rows_after[i], rows_before[i] + "<null>|");
}

TEST_F(StructureUpdate, FieldsAreMatchedByTheEnginesLookupWithoutRegardToCase) {
  MakeDatabase(target_, {{"links", {MakeField("URL", dbText, 50)}, {}, {}}});
  ScriptedHost host;
  EXPECT_FALSE(Update(host));
  const auto shape = ShapeOf(target_);
  EXPECT_EQ(shape.count("Links"), 0u);
  const auto& links = shape.at("links");
  EXPECT_EQ(FieldNames(links), (std::vector<std::string>{"URL", "Id", "Title", "Checked"}));
  EXPECT_EQ(FindField(links, "URL")->Size, 50);
}

TEST_F(StructureUpdate, ASecondRunChangesNothingAndShowsNothing) {
  MakeDatabase(target_, {{"Hosts", {MakeField("Host", dbText, 80)}, {}, {"('a')"}}});
  ScriptedHost first;
  Update(first);
  const auto shape = ShapeOf(target_);
  const auto rows_between = RowsOf(target_, "Hosts");

  ScriptedHost second;
  EXPECT_FALSE(Update(second));
  EXPECT_TRUE(second.Boxes().empty());
  const auto again = ShapeOf(target_);
  ASSERT_EQ(again.size(), shape.size());
  for (const auto& [name, t] : shape) {
    EXPECT_EQ(FieldNames(again.at(name)), FieldNames(t)) << name;
    EXPECT_EQ(IndexNames(again.at(name)), IndexNames(t)) << name;
  }
  EXPECT_EQ(RowsOf(target_, "Hosts"), rows_between);
}

TEST_F(StructureUpdate, SystemTableNamesInAnyCaseAreSkipped) {
  std::filesystem::remove(template_);
  MakeDatabase(template_, {{"MSysCustom", {MakeField("A", dbLong, 4)}, {}, {}},
                           {"msysACEs2", {MakeField("A", dbLong, 4)}, {}, {}},
                           {"MSYSX", {MakeField("A", dbLong, 4)}, {}, {}},
                           {"MSy", {MakeField("A", dbLong, 4)}, {}, {}},
                           {"XMSys", {MakeField("A", dbLong, 4)}, {}, {}}});
  MakeDatabase(target_, {});
  ScriptedHost host;
  EXPECT_FALSE(Update(host));
  const auto shape = ShapeOf(target_);
  EXPECT_EQ(shape.count("MSysCustom"), 0u);
  EXPECT_EQ(shape.count("msysACEs2"), 0u);
  EXPECT_EQ(shape.count("MSYSX"), 0u);
  EXPECT_EQ(shape.count("MSy"), 1u);
  EXPECT_EQ(shape.count("XMSys"), 1u);
  // Every template table, skipped or not, yields once; closing the template once more.
  int yields = 0;
  for (const auto& c : host.Calls()) yields += c.kind == testing::HostCall::kDoEvents;
  EXPECT_EQ(yields, 6);
}

TEST_F(StructureUpdate, AdjustStructureHandsAnUnopenableDatabaseOn) {
  testing::WriteAll(target_, std::string(2048, 'z'));
  ScriptedHost host;
  std::string unused = "untouched";
  dbAdjustStructure(host, target_, template_, unused);
  EXPECT_EQ(unused, "untouched");
  // Links, Hosts, MSy, XMSys: four tables, none of them a system table, none appendable.
  EXPECT_EQ(host.Boxes().size(), 4u);
  for (const auto& b : host.Boxes()) {
    EXPECT_EQ(b.value, vbOKOnly);
    EXPECT_EQ(
        b.text.rfind(
            "Error db.TableDefs.Append tdNew: " + std::to_string(engine::kErrNotOpen) + " ", 0),
        0u)
        << b.text;
  }
  EXPECT_EQ(Pointers(host), (std::vector<int>{vbHourglass, vbDefault}));
  EXPECT_EQ(testing::ReadAll(target_), std::string(2048, 'z'));
}

// The walk's error rule, with failures placed by the test. The target is opened before the
// faulty engine is put in front, so only the template's reads are counted and failed.
class StructureUpdateWalk : public StructureUpdate {
 protected:
  void SetUp() override {
    StructureUpdate::SetUp();
    MakeDatabase(target_, {});
    db_ = engine::DBEngine().OpenDatabase(target_);
  }
  void TearDown() override { db_->Close(); }

  static std::string Box(int32_t number, const std::string& description) {
    return "Es ist ein Fehler beim konvertieren aufgetreten: \r\n\r\nFehler " +
           std::to_string(number) + " : " + description;
  }

  std::unique_ptr<engine::Database> db_;
};

TEST_F(StructureUpdateWalk, TheSameErrorForEveryTableShowsOneBox) {
  testing::FaultyEngine faults;
  faults.FailAlways("BeginTrans", 3043, "Disk full");
  faults.FailAlways("CommitTrans", 3043, "Disk full");
  ScriptedHost host;
  EXPECT_TRUE(UpdateDB(host, *db_, template_));
  EXPECT_EQ(faults.Calls("BeginTrans"), 4);
  EXPECT_EQ(BoxTexts(host), (std::vector<std::string>{Box(3043, "Disk full")}));
  EXPECT_EQ(host.Boxes()[0].value, vbCritical);
  // The walk went on: every table is there.
  EXPECT_EQ(ShapeOf(target_).size(), 4u);
  EXPECT_EQ(faults.Calls("CommitTrans"), 4);
  EXPECT_GE(faults.Calls("Close"), 1);
}

TEST_F(StructureUpdateWalk, AlternatingErrorsShowOneBoxPerChange) {
  testing::FaultyEngine faults;
  faults.FailAlways("BeginTrans", 3043, "Disk full");
  faults.FailAlways("CommitTrans", 3034, "No transaction");
  ScriptedHost host;
  EXPECT_TRUE(UpdateDB(host, *db_, template_));
  std::vector<std::string> expected;
  for (int table = 0; table < 4; ++table) {
    expected.push_back(Box(3043, "Disk full"));
    expected.push_back(Box(3034, "No transaction"));
  }
  EXPECT_EQ(BoxTexts(host), expected);
}

TEST_F(StructureUpdateWalk, EveryCallStartsAfreshWithTheLastShownNumber) {
  testing::FaultyEngine faults;
  faults.FailAlways("CommitTrans", 3043, "Disk full");
  ScriptedHost first, second;
  EXPECT_TRUE(UpdateDB(first, *db_, template_));
  EXPECT_TRUE(UpdateDB(second, *db_, template_));
  EXPECT_EQ(first.Boxes().size(), 1u);
  EXPECT_EQ(second.Boxes().size(), 1u);
  faults.Clear();
  ScriptedHost clean;
  EXPECT_FALSE(UpdateDB(clean, *db_, template_));
  EXPECT_TRUE(clean.Boxes().empty());
}

TEST_F(StructureUpdateWalk, AFailedReadKeepsThePreviousValue) {
  std::filesystem::remove(template_);
  MakeDatabase(template_,
               {{"T",
                 {MakeField("A", dbLong, 4), MakeField("B", dbText, 20), MakeField("C", dbMemo)},
                 {},
                 {}}});
  testing::FaultyEngine faults;
  // Reads of the template: the table's name, its field count, then fields A, B, C.
  faults.FailNext("ReadTable", 3112, "Table T is damaged", 4);
  ScriptedHost host;
  EXPECT_TRUE(UpdateDB(host, *db_, template_));
  EXPECT_EQ(BoxTexts(host), (std::vector<std::string>{Box(3112, "Table T is damaged")}));
  // B was never read: its add went out with A's values again and changed nothing.
  EXPECT_EQ(FieldNames(ShapeOf(target_).at("T")), (std::vector<std::string>{"leer", "A", "C"}));
}

TEST_F(StructureUpdateWalk, AnUnreadableTableListWalksNothing) {
  testing::FaultyEngine faults;
  faults.FailNext("TableCount", 3112, "Catalog unreadable");
  ScriptedHost host;
  EXPECT_TRUE(UpdateDB(host, *db_, template_));
  EXPECT_EQ(BoxTexts(host), (std::vector<std::string>{Box(3112, "Catalog unreadable")}));
  EXPECT_TRUE(ShapeOf(target_).empty());
  EXPECT_GE(faults.Calls("Close"), 1);  // the template is closed all the same
}

TEST_F(StructureUpdateWalk, AFailedTableAppendHasItsOwnBoxAnd3010IsSilent) {
  testing::FaultyEngine faults;
  // This time the target's calls go through the faulty engine too.
  std::unique_ptr<engine::Database> db = engine::DBEngine().OpenDatabase(target_);
  faults.FailNext("AppendTable", 3043, "Disk full", 1);
  faults.FailNext("AppendTable", engine::kErrTableExists, "Table exists", 2);
  ScriptedHost host;
  EXPECT_FALSE(UpdateDB(host, *db, template_));
  db->Close();
  EXPECT_EQ(BoxTexts(host),
            (std::vector<std::string>{"Error db.TableDefs.Append tdNew: 3043 Disk full"}));
  EXPECT_EQ(host.Boxes()[0].value, vbOKOnly);
  EXPECT_EQ(faults.Calls("AppendTable"), 4);
}

TEST_F(StructureUpdateWalk, TheOpenFailureMessageGoesThroughFormatText) {
  testing::FaultyEngine faults;
  faults.FailNext("OpenDatabase", 3049, "'%1%' is damaged%2%%11%");
  ScriptedHost host;
  EXPECT_TRUE(UpdateDB(host, *db_, template_));
  EXPECT_EQ(BoxTexts(host),
            (std::vector<std::string>{"Es ist ein Fehler beim \xC3\x96"
                                      "ffnen von '" +
                                      template_ + "' aufgetreten.\r\n\r\nFehler 3049 - '" +
                                      template_ + "' is damaged"}));
  EXPECT_EQ(faults.Calls("TableCount"), 0);
}

TEST_F(StructureUpdate, ATableWithItsOwnPrimaryKeyKeepsIt) {
  MakeDatabase(target_, {{"Links",
                          {MakeField("Id", dbLong, 4), MakeField("Url", dbText, 255)},
                          {MakeIndex("MyKey", "+Url", true, true)},
                          {"(1, 'http://a/')", "(2, 'http://b/')"}}});
  ScriptedHost host;
  EXPECT_FALSE(Update(host));
  EXPECT_TRUE(host.Boxes().empty());
  const auto shape = ShapeOf(target_);
  const auto& links = shape.at("Links");
  // The template's primary key is refused; its other indexes are added.
  EXPECT_EQ(IndexNames(links), (std::vector<std::string>{"MyKey", "ByUrl", "ByChecked"}));
  EXPECT_TRUE(FindIndex(links, "MyKey")->Primary);
}

}  // namespace
}  // namespace tidewell
