// Bringing a database's structure up to its template: what is added, what stays as it is,
// and which errors the user sees.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "maintenance/modTidewell.h"
#include "maintenance/modXDAO.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using namespace testing;
using engine::Field;
using engine::Index;

// The tables of a database in order, each with its fields (name:type:size, "z" when a
// zero-length text is allowed, "+" when counting) and its indexes ("!" unique, "*" primary).
std::string Shape(const std::string& path) {
  auto db = engine::DBEngine().OpenDatabase(path);
  std::string shape;
  for (int32_t i = 0; i < db->TableDefs().Count(); ++i) {
    const engine::TableDef t = db->TableDefs().Item(i);
    shape += t.Name + ":";
    for (const Field& f : t.FieldList())
      shape += " " + f.Name + ":" + std::to_string(f.Type) + ":" + std::to_string(f.Size) +
               (f.AllowZeroLength ? "z" : "") + (f.Attributes & engine::dbAutoIncrField ? "+" : "");
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
    // The template in small: a table with a counter, texts, a primary key and a descending
    // index; a second table; and names that do or do not look like system tables.
    auto db = engine::DBEngine().CreateDatabase(template_, std::string(engine::kGeneralLocale), 0);
    engine::TableDef links("Links"), hosts("Hosts");
    for (const Field& f : {Field{"Id", engine::dbLong, 4, engine::dbAutoIncrField},
                           Field{"Url", engine::dbText, 255}, Field{"Title", engine::dbText, 100},
                           Field{"Checked", engine::dbDate, 8}})
      links.Fields().Append(f);
    for (const Index& x :
         {Index{"PrimaryKey", true, true, "+Id"}, Index{"ByUrl", false, true, "+Url"},
          Index{"ByChecked", false, false, "-Checked;+Url"}})
      links.Indexes().Append(x);
    hosts.Fields().Append({"url", engine::dbText, 50});
    hosts.Fields().Append({"Host", engine::dbText, 80});
    hosts.Indexes().Append({"PrimaryKey", true, true, "+Host"});
    hosts.Indexes().Append({"ByHost", false, false, "+Host"});
    db->TableDefs().Append(links);
    db->TableDefs().Append(hosts);
    for (const char* name : {"MSy", "XMSys", "MSysCustom", "msysACEs2"}) {
      engine::TableDef t(name);
      t.Fields().Append({"A", engine::dbLong, 4});
      db->TableDefs().Append(t);
    }
    db->Close();
    // The database: its own version of one template table, with a primary key of its own.
    MakeDatabase(target_, {{"hosts", 3}});
    db = engine::DBEngine().OpenDatabase(target_);
    db->TableDefs().Item("hosts").Indexes().Append({"MyKey", true, true, "+ID"});
    db->Close();
  }

  // Updates the database; `plan` makes the template's engine calls fail.
  bool Update(ScriptedHost& host, const std::function<void(FaultyEngine&)>& plan = {}) {
    auto db = engine::DBEngine().OpenDatabase(target_);
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

// The texts of the boxes shown, each of them checked for its style.
std::vector<std::string> Texts(const ScriptedHost& host, int style) {
  std::vector<std::string> texts;
  for (const HostCall& box : host.Boxes()) {
    EXPECT_EQ(box.value, style) << box.text;
    texts.push_back(box.text);
  }
  return texts;
}

std::string Box(int32_t number) {
  return "Es ist ein Fehler beim konvertieren aufgetreten: \r\n\r\nFehler " +
         std::to_string(number) + " : Disk full";
}

// A failed step is shown once per change of its number, and the walk goes on.
TEST_F(Structure, TheWalkShowsEachErrorOnceAndGoesOn) {
  for (int32_t commit : {3043, 3034}) {
    SetUp();
    ScriptedHost host;
    EXPECT_TRUE(Update(host, [&](FaultyEngine& f) {
      f.FailAlways("BeginTrans", 3043, "Disk full");
      f.FailAlways("CommitTrans", commit, "Disk full");
    }));
    std::vector<std::string> expected = {Box(3043)};
    for (int table = 0; commit != 3043 && table < 6; ++table) {
      if (table > 0) expected.push_back(Box(3043));
      expected.push_back(Box(commit));
    }
    EXPECT_EQ(Texts(host, vbCritical), expected);
    EXPECT_NE(Shape(target_).find("XMSys: leer"), std::string::npos);
  }
  SetUp();
  const std::string before = Shape(target_);
  ScriptedHost host;
  EXPECT_TRUE(Update(host, [](FaultyEngine& f) { f.FailNext("TableCount", 3112, "Disk full"); }));
  EXPECT_EQ(Texts(host, vbCritical), std::vector<std::string>{Box(3112)});
  EXPECT_EQ(Shape(target_), before);
}

TEST_F(Structure, AnUnreadableTemplateIsNamedInItsMessage) {
  ScriptedHost host;
  EXPECT_TRUE(Update(
      host, [](FaultyEngine& f) { f.FailNext("OpenDatabase", 3049, "'%1%' is damaged%2%%11%"); }));
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text,
            "Es ist ein Fehler beim \xC3\x96"
            "ffnen von '" +
                template_ + "' aufgetreten.\r\n\r\nFehler 3049 - '" + template_ + "' is damaged");
}

// The update is handed a database it could not open: every table it would add fails.
TEST_F(Structure, AnUnopenableDatabaseIsLeftAsItIs) {
  WriteAll(target_, std::string(2048, 'z'));
  ScriptedHost host;
  std::string error = "untouched";
  dbAdjustStructure(host, target_, template_, error);
  EXPECT_EQ(error, "untouched");
  ASSERT_EQ(host.Boxes().size(), 4u);  // Links, Hosts, MSy, XMSys
  for (const HostCall& box : host.Boxes()) {
    EXPECT_EQ(box.value, vbOKOnly);
    EXPECT_EQ(box.text.rfind("Error db.TableDefs.Append tdNew: 3420 ", 0), 0u) << box.text;
  }
  EXPECT_EQ(ReadAll(target_), std::string(2048, 'z'));
}

}  // namespace
}  // namespace tidewell
