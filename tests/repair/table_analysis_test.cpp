// The before/after counts and the report, on a small in-memory stand-in for a database so
// that every marker and rule can be reached on purpose.
#include <gtest/gtest.h>

#include <map>

#include "repair/tableAnalysis.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using testing::ScriptedHost;

// What a table does when it is opened and counted.
struct FakeTable {
  std::string name;
  int32_t rows = 0;
  bool opens = true;
  bool count_fails = false;
};

class FakeRecordset : public engine::Recordset {
 public:
  explicit FakeRecordset(const FakeTable& t) : t_(t) {}
  void MoveLast() override {
    if (t_.rows == 0) engine::Raise(engine::kErrNoCurrentRecord, "no current record");
  }
  int32_t RecordCount() override {
    if (t_.count_fails) engine::Raise(engine::kErrTableDamaged, "count failed");
    return t_.rows;
  }
  void Close() override {}

 private:
  FakeTable t_;
};

class FakeDatabase : public engine::Database {
 public:
  std::vector<FakeTable> tables;
  std::vector<std::string> opened;

  const std::string& Name() const override { return name_; }
  bool IsOpen() const override { return true; }
  void Close() override {}
  void Execute(const std::string&) override {}
  std::unique_ptr<engine::Recordset> OpenTable(const std::string& name) override {
    opened.push_back(name);
    for (const FakeTable& t : tables)
      if (t.name == name) {
        if (!t.opens) engine::Raise(engine::kErrTableDamaged, "table damaged: " + name);
        return std::make_unique<FakeRecordset>(t);
      }
    engine::Raise(engine::kErrNoSuchTable, "no table " + name);
  }
  int32_t TableCount() override { return static_cast<int32_t>(tables.size()); }
  engine::TableDef ReadTable(int32_t position) override {
    if (position < 0 || position >= TableCount())
      engine::Raise(engine::kErrItemNotFound, "no item");
    return engine::TableDef::Attached(this, tables[position].name, {}, {});
  }
  engine::TableDef ReadTable(std::string_view name) override {
    for (const FakeTable& t : tables)
      if (t.name == name) return engine::TableDef::Attached(this, t.name, {}, {});
    engine::Raise(engine::kErrItemNotFound, "no item");
  }
  void AppendTable(const engine::TableDef&) override {}
  void AppendField(std::string_view, const engine::Field&) override {}
  void AppendIndex(std::string_view, const engine::Index&) override {}

  FakeTable& Table(const std::string& name) {
    for (FakeTable& t : tables)
      if (t.name == name) return t;
    throw std::logic_error("no fake table " + name);
  }

 private:
  std::string name_ = "fake.mdb";
};

const char kHeading[] =
    "Analysis of the repaired/compacted database 'C:\\Data\\site.mdb' resulted in the "
    "following:";

TEST(SystemTableRule, OnlyTheFirstFourCharactersInAnyCase) {
  EXPECT_TRUE(IsSystemTableName("MSysObjects"));
  EXPECT_TRUE(IsSystemTableName("msys"));
  EXPECT_TRUE(IsSystemTableName("mSyS_anything"));
  EXPECT_FALSE(IsSystemTableName("MSY"));
  EXPECT_FALSE(IsSystemTableName("ms"));
  EXPECT_FALSE(IsSystemTableName(""));
  EXPECT_FALSE(IsSystemTableName("XMSysObjects"));
  EXPECT_FALSE(IsSystemTableName("MSyx"));
}

TEST(TableCountList, StartsWithOneEmptyEntryAndKeepsValuesWhenGrowing) {
  TableCounts list;
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list[0].name, "");
  EXPECT_EQ(list[0].before, 0);
  EXPECT_EQ(list[0].after, 0);
  list[0] = {"A", 5, 6};
  list.Cover(3);
  ASSERT_EQ(list.Size(), 4u);
  EXPECT_EQ(list[0].name, "A");
  EXPECT_EQ(list[0].after, 6);
  EXPECT_EQ(list[2].name, "");
  list.Cover(1);  // never shrinks
  EXPECT_EQ(list.Size(), 4u);
}

TEST(CountBefore, RecordsUserTablesByPositionAndSkipsSystemTables) {
  FakeDatabase db;
  db.tables = {{"Links", 12}, {"MSysObjects", 3}, {"msysACEs", 1}, {"Hosts", 0}, {"MSysX", 1}};
  TableCounts list;
  dbCountBefore(db, list);
  // As long as one plus the position of the last user table; system positions stay empty.
  ASSERT_EQ(list.Size(), 4u);
  EXPECT_EQ(list[0].name, "Links");
  EXPECT_EQ(list[0].before, 12);
  EXPECT_EQ(list[0].after, -1);
  EXPECT_EQ(list[1].name, "");
  EXPECT_EQ(list[2].name, "");
  EXPECT_EQ(list[3].name, "Hosts");
  EXPECT_EQ(list[3].before, 0);  // empty table: MoveLast fails, the count is still read
  EXPECT_EQ(list[3].after, -1);
  EXPECT_EQ(db.opened, (std::vector<std::string>{"Links", "Hosts"}));
}

TEST(CountBefore, MarksTablesThatDoNotOpenAndKeepsZeroWhenTheCountFails) {
  FakeDatabase db;
  db.tables = {{"Broken", 7, false}, {"Unreadable", 7, true, true}};
  TableCounts list;
  dbCountBefore(db, list);
  EXPECT_EQ(list[0].before, -1);
  EXPECT_EQ(list[1].before, 0);
  EXPECT_EQ(list[1].after, -1);
}

TEST(CountBefore, OnlySystemTablesLeaveNoNamedEntry) {
  FakeDatabase db;
  db.tables = {{"MSysObjects", 1}, {"MSysQueries", 1}};
  TableCounts list;
  dbCountBefore(db, list);
  ASSERT_EQ(list.Size(), 1u);
  EXPECT_EQ(list[0].name, "");
  ScriptedHost host;
  std::string ret;
  dbAnalyse(host, list, "C:\\Data\\site.mdb", true, ret);
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ret, "");
}

TEST(CountAfter, CountsOnlyTheNamesRecordedBefore) {
  FakeDatabase db;
  db.tables = {{"Links", 10}, {"Gone", 4}, {"Stuck", 2}};
  TableCounts list;
  dbCountBefore(db, list);
  db.Table("Links").rows = 9;
  db.Table("Gone").opens = false;
  db.Table("Stuck").count_fails = true;
  db.tables.push_back({"NewTable", 50});
  db.opened.clear();
  dbCountAfter(db, list);
  EXPECT_EQ(db.opened, (std::vector<std::string>{"Links", "Gone", "Stuck"}));
  EXPECT_EQ(list[0].after, 9);
  EXPECT_EQ(list[1].after, -2);
  EXPECT_EQ(list[2].after, -1);  // left as the before pass set it
  ASSERT_EQ(list.Size(), 3u);
}

TableCounts ListOf(std::vector<TableCount> entries) {
  TableCounts list;
  list.Cover(entries.size() - 1);
  for (size_t i = 0; i < entries.size(); ++i) list[i] = entries[i];
  return list;
}

TEST(Analyse, EachRuleGivesItsLineAndTheBeforeAfterPiece) {
  TableCounts list = ListOf({{"A", -1, 40},
                             {"", 0, 0},
                             {"B", 15, -2},
                             {"C", 3, -1},
                             {"D", 100, 90},
                             {"E", 5, 8},
                             {"F", -1, -2},
                             {"Same", 7, 7}});
  ScriptedHost host;
  std::string ret;
  dbAnalyse(host, list, "C:\\Data\\site.mdb", true, ret);
  const std::string a = "Table A was corrupt before and now has 40 records.";
  const std::string b = "Table B was not found after the repair (had 15 records before).";
  const std::string c = "Table C was not found after the repair (had 3 records before).";
  const std::string d = "Table D was shortened from 100 to 90 records (probably empty space).";
  const std::string e = "Table E was expanded from 5 to 8 records (recovered space).";
  const std::string f = "Table F was shortened from -1 to -2 records (probably empty space).";
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].value, 64);
  EXPECT_EQ(host.Boxes()[0].text, std::string(kHeading) + "\r\n\r\n" + a + "\r\n\r\n" + b +
                                      "\r\n\r\n" + c + "\r\n\r\n" + d + "\r\n\r\n" + e +
                                      "\r\n\r\n" + f);
  EXPECT_EQ(ret, "; " + a + "; before -1, after 40 records" + "; " + b +
                     "; before 15, after -2 records" + "; " + c + "; before 3, after -1 records" +
                     "; " + d + "; before 100, after 90 records" + "; " + e +
                     "; before 5, after 8 records" + "; " + f + "; before -1, after -2 records");
}

// Single entries: the return text, and never a box when not asked or nothing changed.
TEST(Analyse, OneEntryEach) {
  const struct {
    TableCount entry;
    bool show;
    std::string ret;
  } cases[] = {
      // before -1, after 0 matches the first and the fourth rule; only the first is written.
      {{"T", -1, 0},
       false,
       "; Table T was corrupt before and now has 0 records.; before -1, after 0 records"},
      {{"Links", 4, 3},
       false,
       "; Table Links was shortened from 4 to 3 records (probably empty space).; before 4, after "
       "3 records"},
      {{"B", 12, 12}, true, ""},
      // A later placeholder inside an inserted name is filled by the later step, as FormatStr
      // does everywhere in the tool.
      {{"T%2%", 9, 4},
       false,
       "; Table T9 was shortened from 9 to 4 records (probably empty space).; before 9, after 4 "
       "records"},
  };
  for (const auto& c : cases) {
    ScriptedHost host;
    std::string ret = "; earlier piece";
    dbAnalyse(host, ListOf({c.entry}), "x.mdb", c.show, ret);
    EXPECT_TRUE(host.Boxes().empty()) << c.entry.name;
    EXPECT_EQ(ret, "; earlier piece" + c.ret);
  }
}

}  // namespace
}  // namespace tidewell
