// Tables, fields and indexes: what is set reads back the same from every later open and
// from every kind of copy; files from other SQLite programs show sensibly; appends refuse
// with their own numbers.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/salvage.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using test::ErrorOf;
using test::RawExec;
using tidewell::testing::TempDir;

const std::string kLocale(kGeneralLocale);

// One field of every type, with sizes, attributes and zero-length settings that differ.
TableDef RichTable(const std::string& name) {
  TableDef t(name);
  t.Fields().Append(Field{"Flag", dbBoolean, 1, dbFixedField, false});
  t.Fields().Append(Field{"Small", dbByte, 1, dbFixedField, false});
  t.Fields().Append(Field{"Count", dbInteger, 2, dbFixedField | dbUpdatableField, false});
  t.Fields().Append(Field{"ID", dbLong, 4, dbFixedField | dbAutoIncrField, false});
  t.Fields().Append(Field{"Price", dbCurrency, 8, dbFixedField, false});
  t.Fields().Append(Field{"Ratio", dbSingle, 4, dbFixedField, false});
  t.Fields().Append(Field{"Score", dbDouble, 8, dbFixedField, false});
  t.Fields().Append(Field{"Checked", dbDate, 8, dbFixedField, false});
  t.Fields().Append(Field{"Hash", dbBinary, 16, dbFixedField, false});
  t.Fields().Append(Field{"Url", dbText, 200, dbVariableField, true});
  t.Fields().Append(Field{"Code", dbText, 12, dbVariableField | dbUpdatableField, false});
  t.Fields().Append(Field{"Blob", dbLongBinary, 0, dbVariableField, false});
  t.Fields().Append(Field{"Body", dbMemo, 0, dbVariableField, true});
  t.Fields().Append(Field{"Guid", dbGUID, 16, dbFixedField, false});
  t.Indexes().Append(Index{"PrimaryKey", true, false, "+ID"});
  t.Indexes().Append(Index{"Url", false, true, "+Url"});
  t.Indexes().Append(Index{"Recent", false, false, "-Checked;+Url;-Score"});
  return t;
}

void ExpectFields(const TableDef& actual, const TableDef& expected) {
  ASSERT_EQ(actual.FieldList().size(), expected.FieldList().size()) << actual.Name;
  for (size_t i = 0; i < expected.FieldList().size(); ++i) {
    const Field& a = actual.FieldList()[i];
    const Field& e = expected.FieldList()[i];
    EXPECT_EQ(a.Name, e.Name);
    EXPECT_EQ(a.Type, e.Type) << e.Name;
    EXPECT_EQ(a.Size, e.Size) << e.Name;
    EXPECT_EQ(a.Attributes, e.Attributes) << e.Name;
    EXPECT_EQ(a.AllowZeroLength, e.AllowZeroLength) << e.Name;
  }
}

void ExpectIndexes(const TableDef& actual, const TableDef& expected) {
  ASSERT_EQ(actual.IndexList().size(), expected.IndexList().size()) << actual.Name;
  for (size_t i = 0; i < expected.IndexList().size(); ++i) {
    const Index& a = actual.IndexList()[i];
    const Index& e = expected.IndexList()[i];
    EXPECT_EQ(a.Name, e.Name);
    EXPECT_EQ(a.Primary, e.Primary) << e.Name;
    EXPECT_EQ(a.Unique, e.Unique) << e.Name;
    EXPECT_EQ(a.Fields, e.Fields) << e.Name;
  }
}

class RoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = DBEngine().CreateDatabase(path_, kLocale, 32);
    db->TableDefs().Append(RichTable("Links"));
    db->TableDefs().Append(RichTable("Pages"));
    db->Execute("INSERT INTO Links (ID, Url, Body) VALUES (1, 'https://a.example/', 'x')");
    db->Close();
  }
  void ExpectRich(const std::string& file, bool with_indexes) {
    auto db = DBEngine().OpenDatabase(file);
    ASSERT_EQ(db->TableDefs().Count(), 2);
    for (int i = 0; i < 2; ++i) {
      TableDef read = db->TableDefs().Item(i);
      TableDef expected = RichTable(i == 0 ? "Links" : "Pages");
      EXPECT_EQ(read.Name, expected.Name);
      ExpectFields(read, expected);
      if (with_indexes) {
        ExpectIndexes(read, expected);
      } else {
        EXPECT_EQ(read.Indexes().Count(), 0);
      }
    }
    db->Close();
  }
  TempDir dir_;
  std::string path_ = dir_.File("rich.mdb");
};

// A reopen, a compacted and a salvaged copy keep everything; a make-table copy keeps the
// columns but no indexes.
TEST_F(RoundTrip, EveryKindOfCopyKeepsWhatWasSet) {
  ExpectRich(path_, true);
  DBEngine().CompactDatabase(path_, dir_.File("compact.mdb"), kLocale, 32);
  ExpectRich(dir_.File("compact.mdb"), true);
  SalvageDatabase(path_, dir_.File("salvaged.mdb"), {});
  ExpectRich(dir_.File("salvaged.mdb"), true);

  auto target = DBEngine().CreateDatabase(dir_.File("new.mdb"), kLocale, 32);
  {
    auto db = DBEngine().OpenDatabase(path_);
    for (const char* t : {"Links", "Pages"})
      db->Execute(std::string("SELECT * INTO [") + t + "] IN '" + dir_.File("new.mdb") +
                  "' FROM [" + t + "]");
    db->Close();
  }
  // The target, open all along as a new database, sees the copied tables.
  EXPECT_EQ(target->TableDefs().Count(), 2);
  EXPECT_EQ(test::CountRows(*target, "Links"), 1);
  target->Close();
  ExpectRich(dir_.File("new.mdb"), false);
}

TEST(Collections, ListInCreationOrderAndFindByNameWithoutCase) {
  TempDir dir;
  auto db = DBEngine().CreateDatabase(dir.File("a.mdb"), kLocale, 0);
  for (const char* name : {"Zeta", "Alpha", "Mid"}) {
    TableDef t(name);
    t.Fields().Append(Field{"B", dbLong, 4, dbFixedField, false});
    t.Fields().Append(Field{"A", dbLong, 4, dbFixedField, false});
    db->TableDefs().Append(t);
  }
  TableDef zeta = db->TableDefs().Item("zETA");
  zeta.Fields().Append(Field{"C", dbText, 10, dbVariableField, true});
  zeta.Indexes().Append(Index{"Second", false, false, "+B"});
  zeta.Indexes().Append(Index{"First", false, false, "+A"});
  EXPECT_EQ(zeta.Fields().Count(), 3);  // the attached definition sees its own appends

  db->Close();
  db = DBEngine().OpenDatabase(dir.File("a.mdb"));
  ASSERT_EQ(db->TableDefs().Count(), 3);
  EXPECT_EQ(db->TableDefs().Item(0).Name, "Zeta");
  EXPECT_EQ(db->TableDefs().Item(1).Name, "Alpha");
  EXPECT_EQ(db->TableDefs().Item(2).Name, "Mid");
  TableDef z = db->TableDefs().Item("zeta");
  EXPECT_EQ(z.Fields().Item(0).Name, "B");
  EXPECT_EQ(z.Fields().Item(2).Name, "C");
  EXPECT_EQ(z.Fields().Item("c").Size, 10);
  EXPECT_EQ(z.Indexes().Item(0).Name, "Second");
  EXPECT_EQ(z.Indexes().Item(1).Name, "First");
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Item("Nope"); }), kErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Item(3); }), kErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Item(-1); }), kErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { z.Fields().Item("Nope"); }), kErrItemNotFound);
  EXPECT_EQ(ErrorOf([&] { z.Indexes().Item(2); }), kErrItemNotFound);
}

TEST(Collections, IndexesKeepTheirNamesWhenTheTableIsRenamed) {
  TempDir dir;
  auto db = DBEngine().CreateDatabase(dir.File("a.mdb"), kLocale, 0);
  TableDef t("Old$1$Name");
  t.Fields().Append(Field{"ID", dbLong, 4, dbFixedField, false});
  t.Indexes().Append(Index{"PrimaryKey", true, false, "+ID"});
  t.Indexes().Append(Index{"ByID", false, true, "-ID"});
  db->TableDefs().Append(t);
  EXPECT_EQ(db->TableDefs().Item(0).Indexes().Item(0).Name, "PrimaryKey");
  db->Execute("ALTER TABLE \"Old$1$Name\" RENAME TO Fresh");
  TableDef fresh = db->TableDefs().Item("Fresh");
  ASSERT_EQ(fresh.Indexes().Count(), 2);
  EXPECT_EQ(fresh.Indexes().Item(0).Name, "PrimaryKey");
  EXPECT_TRUE(fresh.Indexes().Item(0).Primary);
  EXPECT_FALSE(fresh.Indexes().Item(0).Unique);
  EXPECT_EQ(fresh.Indexes().Item(1).Name, "ByID");
  EXPECT_TRUE(fresh.Indexes().Item(1).Unique);
}

TEST(Collections, IndexNamesBelongToTheirTable) {
  TempDir dir;
  auto db = DBEngine().CreateDatabase(dir.File("a.mdb"), kLocale, 0);
  for (const char* name : {"One", "Two"}) {
    TableDef t(name);
    t.Fields().Append(Field{"ID", dbLong, 4, dbFixedField, false});
    t.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
    db->TableDefs().Append(t);
  }
  EXPECT_EQ(db->TableDefs().Item("One").Indexes().Item(0).Name, "PrimaryKey");
  EXPECT_EQ(db->TableDefs().Item("Two").Indexes().Item(0).Name, "PrimaryKey");
  EXPECT_EQ(db->TableDefs().Item("Two").Indexes().Count(), 1);
}

TEST(ForeignFiles, DeclaredTypesMapToTheNearestCode) {
  TempDir dir;
  auto path = dir.File("foreign.db");
  RawExec(path,
          "CREATE TABLE t (a INTEGER, b TEXT, c REAL, d BLOB, e VARCHAR(40), f BOOLEAN, "
          "g DATETIME, h SMALLINT, i TINYINT, j NUMERIC, k, l DOUBLE PRECISION, m CHAR(300))");
  auto db = DBEngine().OpenDatabase(path);
  TableDef t = db->TableDefs().Item("t");
  std::vector<std::pair<int16_t, int32_t>> expected = {
      {dbLong, 4},    {dbMemo, 0},   {dbDouble, 8},  {dbLongBinary, 0}, {dbText, 40},
      {dbBoolean, 1}, {dbDate, 8},   {dbInteger, 2}, {dbByte, 1},       {dbDouble, 8},
      {dbMemo, 0},    {dbDouble, 8}, {dbMemo, 0}};
  ASSERT_EQ(t.Fields().Count(), static_cast<int32_t>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    Field f = t.Fields().Item(static_cast<int32_t>(i));
    EXPECT_EQ(f.Type, expected[i].first) << f.Name;
    EXPECT_EQ(f.Size, expected[i].second) << f.Name;
  }
  EXPECT_EQ(t.Fields().Item("e").Attributes, dbVariableField);
  EXPECT_EQ(t.Fields().Item("a").Attributes, dbFixedField);
}

TEST(ForeignFiles, KeysAndIndexesShowWithFieldsAndDirections) {
  TempDir dir;
  auto path = dir.File("foreign.db");
  RawExec(path,
          "CREATE TABLE links (id INTEGER PRIMARY KEY AUTOINCREMENT, url TEXT UNIQUE, seen "
          "DATETIME);"
          "CREATE INDEX links_seen ON links (seen DESC, url);"
          "CREATE TABLE pairs (a TEXT, b INTEGER, PRIMARY KEY (a, b DESC));"
          "CREATE TABLE kv (k TEXT PRIMARY KEY, v BLOB) WITHOUT ROWID;"
          "INSERT INTO links (url) VALUES ('x');");
  auto db = DBEngine().OpenDatabase(path);
  ASSERT_EQ(db->TableDefs().Count(), 3);  // sqlite_sequence is not listed
  TableDef links = db->TableDefs().Item("links");
  EXPECT_EQ(links.Fields().Item("id").Attributes, dbFixedField | dbAutoIncrField);
  ASSERT_EQ(links.Indexes().Count(), 3);
  EXPECT_TRUE(links.Indexes().Item(0).Primary);
  EXPECT_EQ(links.Indexes().Item(0).Fields, "+id");
  EXPECT_TRUE(links.Indexes().Item(1).Unique);
  EXPECT_FALSE(links.Indexes().Item(1).Primary);
  EXPECT_EQ(links.Indexes().Item(1).Fields, "+url");
  EXPECT_EQ(links.Indexes().Item("links_seen").Fields, "-seen;+url");
  EXPECT_FALSE(links.Indexes().Item("links_seen").Unique);

  TableDef pairs = db->TableDefs().Item("pairs");
  ASSERT_EQ(pairs.Indexes().Count(), 1);
  EXPECT_TRUE(pairs.Indexes().Item(0).Primary);
  EXPECT_EQ(pairs.Indexes().Item(0).Fields, "+a;-b");
  TableDef kv = db->TableDefs().Item("kv");
  ASSERT_EQ(kv.Indexes().Count(), 1);
  EXPECT_TRUE(kv.Indexes().Item(0).Primary);
  EXPECT_EQ(kv.Indexes().Item(0).Fields, "+k");
  for (int i = 0; i < 3; ++i) {
    TableDef table = db->TableDefs().Item(i);
    for (const Index& index : table.IndexList())
      EXPECT_NE(index.Name.rfind("sqlite_", 0), 0u) << index.Name;
  }
}

class Appends : public ::testing::Test {
 protected:
  void SetUp() override {
    db_ = DBEngine().CreateDatabase(dir_.File("a.mdb"), kLocale, 0);
    TableDef t("Links");
    t.Fields().Append(Field{"ID", dbLong, 4, dbFixedField, false});
    t.Fields().Append(Field{"Url", dbText, 255, dbVariableField, true});
    db_->TableDefs().Append(t);
    db_->Execute("INSERT INTO Links VALUES (1, 'a'), (2, 'b'), (3, 'c')");
  }
  TempDir dir_;
  std::unique_ptr<Database> db_;
};

TEST_F(Appends, FieldGoesOnATableThatHasRows) {
  TableDef links = db_->TableDefs().Item("Links");
  links.Fields().Append(Field{"Depth", dbInteger, 2, dbFixedField, false});
  db_->Close();
  db_ = DBEngine().OpenDatabase(dir_.File("a.mdb"));
  TableDef read = db_->TableDefs().Item("Links");
  ASSERT_EQ(read.Fields().Count(), 3);
  EXPECT_EQ(read.Fields().Item(2).Name, "Depth");
  EXPECT_EQ(read.Fields().Item(2).Type, dbInteger);
  EXPECT_EQ(test::CountRows(*db_, "Links"), 3);
}

TEST_F(Appends, PrimaryAndDescendingIndexesOnAnExistingTable) {
  TableDef links = db_->TableDefs().Item("Links");
  links.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
  links.Indexes().Append(Index{"UrlDown", false, false, "-Url;+ID"});
  EXPECT_EQ(db_->TableDefs().Item("Links").Indexes().Item("UrlDown").Fields, "-Url;+ID");
  EXPECT_TRUE(db_->TableDefs().Item("Links").Indexes().Item("PrimaryKey").Primary);
  // The primary index keeps its key unique.
  EXPECT_EQ(ErrorOf([&] { db_->Execute("INSERT INTO Links VALUES (1, 'dup')"); }),
            kErrDuplicateKey);
}

TEST_F(Appends, EachRefusalHasItsOwnNumber) {
  TableDef again("links");
  again.Fields().Append(Field{"X", dbLong, 4, dbFixedField, false});
  EXPECT_EQ(ErrorOf([&] { db_->TableDefs().Append(again); }), kErrTableExists);

  TableDef links = db_->TableDefs().Item("Links");
  links.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
  EXPECT_EQ(ErrorOf([&] {
              links.Indexes().Append(Index{"primarykey", false, false, "+Url"});
            }),
            kErrObjectExists);
  EXPECT_EQ(ErrorOf([&] {
              links.Indexes().Append(Index{"Other", true, true, "+Url"});
            }),
            kErrPrimaryExists);
  EXPECT_EQ(ErrorOf([&] {
              links.Indexes().Append(Index{"Missing", false, false, "+Nope"});
            }),
            kErrFieldMissing);
  EXPECT_EQ(ErrorOf([&] {
              links.Fields().Append(Field{"URL", dbText, 9, 2, true});
            }),
            kErrObjectExists);
  EXPECT_EQ(ErrorOf([&] {
              links.Fields().Append(Field{"Odd", 99, 4, 1, false});
            }),
            kErrInvalidType);
  EXPECT_EQ(ErrorOf([&] { db_->TableDefs().Append(TableDef("Empty")); }), kErrFieldMissing);
  TableDef reserved("Sqlite_Mine");  // SQLite keeps names beginning with "sqlite_" for itself
  reserved.Fields().Append(Field{"X", dbLong, 4, dbFixedField, false});
  EXPECT_EQ(ErrorOf([&] { db_->TableDefs().Append(reserved); }), kErrInvalidName);
  EXPECT_EQ(ErrorOf([&] {
              db_->AppendField("NoTable", Field{"A", dbLong, 4, 1, false});
            }),
            kErrItemNotFound);
  db_->Execute("INSERT INTO Links VALUES (4, 'a')");
  EXPECT_EQ(ErrorOf([&] {
              links.Indexes().Append(Index{"UrlUnique", false, true, "+Url"});
            }),
            kErrDuplicateKey);
  // Nothing refused left a trace.
  TableDef read = db_->TableDefs().Item("Links");
  EXPECT_EQ(read.Fields().Count(), 2);
  EXPECT_EQ(read.Indexes().Count(), 1);
  EXPECT_EQ(db_->TableDefs().Count(), 1);
}

TEST(NewTableDefinition, RefusesDuplicatesBeforeTheDatabaseSeesThem) {
  TableDef t("T");
  t.Fields().Append(Field{"A", dbLong, 4, 1, false});
  EXPECT_EQ(ErrorOf([&] { t.Fields().Append(Field{"a", dbLong, 4, 1, false}); }), kErrObjectExists);
  t.Indexes().Append(Index{"P", true, true, "+A"});
  EXPECT_EQ(ErrorOf([&] { t.Indexes().Append(Index{"Q", true, true, "+A"}); }), kErrPrimaryExists);
  EXPECT_EQ(t.Fields().Count(), 1);
  EXPECT_EQ(t.Indexes().Count(), 1);
}

TEST(NewTableDefinition, AnIndexOnAMissingFieldRefusesTheWholeTable) {
  TempDir dir;
  auto db = DBEngine().CreateDatabase(dir.File("a.mdb"), kLocale, 0);
  TableDef t("T");
  t.Fields().Append(Field{"A", dbLong, 4, 1, false});
  t.Indexes().Append(Index{"ByB", false, false, "+B"});
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Append(t); }), kErrFieldMissing);
  EXPECT_EQ(db->TableDefs().Count(), 0);
}

}  // namespace
}  // namespace tidewell::engine
