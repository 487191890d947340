// Statements, the make-table copy, transactions over every open database, and closed or
// never-opened databases.
#include <gtest/gtest.h>

#include <filesystem>

#include "engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using test::CountRows;
using test::ErrorOf;
using tidewell::testing::TempDir;

const std::string kLocale(kGeneralLocale);

std::unique_ptr<Database> MakeSource(const std::string& path,
                                     const std::vector<std::string>& tables) {
  auto db = DBEngine().CreateDatabase(path, kLocale, 32);
  for (const std::string& name : tables) {
    TableDef t(name);
    t.Fields().Append(Field{"ID", dbLong, 4, dbFixedField, false});
    t.Fields().Append(Field{"Note", dbText, 80, dbVariableField, true});
    t.Indexes().Append(Index{"PrimaryKey", true, true, "+ID"});
    db->TableDefs().Append(t);
    db->Execute("INSERT INTO " + std::string("\"") + name +
                "\" VALUES (1, 'one'), (2, 'two'), (3, NULL)");
  }
  return db;
}

std::string Copy(const std::string& table, const std::string& file) {
  return "SELECT * INTO [" + table + "] IN '" + file + "' FROM [" + table + "]";
}

class MakeTable : public ::testing::Test {
 protected:
  TempDir dir_;
  std::string target_ = dir_.File("site.mdb_$temp.mdb");
};

TEST_F(MakeTable, CopiesRowsIntoAFileThatIsOpenAsANewDatabase) {
  auto src = MakeSource(dir_.File("site.mdb"), {"Order Details", "MSY"});
  auto dst = DBEngine().CreateDatabase(target_, kLocale, 32);
  src->Execute(Copy("Order Details", target_));
  src->Execute(Copy("MSY", target_));
  ASSERT_EQ(dst->TableDefs().Count(), 2);
  EXPECT_EQ(dst->TableDefs().Item(0).Name, "Order Details");
  EXPECT_EQ(CountRows(*dst, "Order Details"), 3);
  EXPECT_EQ(dst->TableDefs().Item("MSY").Indexes().Count(), 0);
  // No key came along: the copy accepts what the source's primary index refused.
  dst->Execute("INSERT INTO MSY VALUES (1, 'again')");
  EXPECT_EQ(CountRows(*dst, "MSY"), 4);
}

TEST_F(MakeTable, ATableThatExistsGives3010AndKeepsItsRows) {
  auto src = MakeSource(dir_.File("site.mdb"), {"Links"});
  auto dst = DBEngine().CreateDatabase(target_, kLocale, 32);
  src->Execute(Copy("Links", target_));
  EXPECT_EQ(ErrorOf([&] { src->Execute(Copy("links", target_)); }), kErrTableExists);
  EXPECT_EQ(CountRows(*dst, "Links"), 3);
}

TEST_F(MakeTable, ANameWithAClosingBracketIsASyntaxError) {
  auto src = MakeSource(dir_.File("site.mdb"), {"A]B"});
  auto dst = DBEngine().CreateDatabase(target_, kLocale, 32);
  EXPECT_EQ(ErrorOf([&] { src->Execute(Copy("A]B", target_)); }), kErrSyntax);
  EXPECT_EQ(dst->TableDefs().Count(), 0);
  EXPECT_EQ(ErrorOf([&] { src->Execute("SELECT * INTO [Links IN 'x' FROM [Links]"); }), kErrSyntax);
}

TEST_F(MakeTable, MissingSourceTargetFileOrDamagedTableFailCleanly) {
  auto src = MakeSource(dir_.File("site.mdb"), {"Links"});
  EXPECT_EQ(ErrorOf([&] { src->Execute(Copy("Links", dir_.File("none.mdb"))); }), kErrFileNotFound);
  auto dst = DBEngine().CreateDatabase(target_, kLocale, 32);
  EXPECT_EQ(ErrorOf([&] { src->Execute(Copy("Nope", target_)); }), kErrNoSuchTable);
  EXPECT_EQ(dst->TableDefs().Count(), 0);
  // The source stays usable after each failure.
  src->Execute(Copy("Links", target_));
  EXPECT_EQ(CountRows(*dst, "Links"), 3);
}

// One copy's file stays attached for the next; it must follow the name and stay out of
// reach of the source's own statements.
TEST_F(MakeTable, TheTargetFollowsItsNameAndOtherStatementsNeverReachIt) {
  auto src = MakeSource(dir_.File("site.mdb"), {"Links", "Pages"});
  auto dst = DBEngine().CreateDatabase(target_, kLocale, 32);
  const std::string copy = "SELECT * INTO [Copy] IN '" + target_ + "' FROM ";
  src->Execute(copy + "[Links]");
  dst->Close();
  std::filesystem::remove(target_);
  dst = DBEngine().CreateDatabase(target_, kLocale, 32);
  src->Execute(copy + "[Pages]");
  ASSERT_EQ(dst->TableDefs().Count(), 1);
  EXPECT_EQ(ErrorOf([&] { src->Execute("DELETE FROM [Copy]"); }), kErrNoSuchTable);
  EXPECT_EQ(CountRows(*dst, "Copy"), 3);
}

TEST(TableList, SeesTablesThatAnotherConnectionAdded) {
  TempDir dir;
  auto db = MakeSource(dir.File("a.mdb"), {"T"});
  ASSERT_EQ(db->TableDefs().Count(), 1);
  test::RawExec(dir.File("a.mdb"), "CREATE TABLE Other (x)");
  ASSERT_EQ(db->TableDefs().Count(), 2);
  EXPECT_EQ(db->TableDefs().Item(1).Name, "Other");
}

TEST(Execute, OtherStatementsGoToSqlite) {
  TempDir dir;
  auto db = MakeSource(dir.File("a.mdb"), {"Links"});
  db->Execute("UPDATE Links SET Note = 'x' WHERE ID = 1; DELETE FROM Links WHERE ID = 2");
  EXPECT_EQ(CountRows(*db, "Links"), 2);
  EXPECT_EQ(ErrorOf([&] { db->Execute("DELETE FROM Nowhere"); }), kErrNoSuchTable);
  EXPECT_EQ(ErrorOf([&] { db->Execute("DELEET FROM Links"); }), kErrSyntax);
  EXPECT_EQ(ErrorOf([&] { db->Execute("INSERT INTO Links VALUES (1, 'dup')"); }), kErrDuplicateKey);
}

TEST(Recordsets, CountMoveLastAndClose) {
  TempDir dir;
  auto db = MakeSource(dir.File("a.mdb"), {"Full"});
  TableDef empty("Empty");
  empty.Fields().Append(Field{"A", dbLong, 4, dbFixedField, false});
  db->TableDefs().Append(empty);
  auto rs = db->OpenTable("full");
  rs->MoveLast();
  EXPECT_EQ(rs->RecordCount(), 3);
  rs->Close();
  rs->Close();
  EXPECT_EQ(ErrorOf([&] { rs->RecordCount(); }), kErrNotOpen);
  auto none = db->OpenTable("Empty");
  EXPECT_EQ(ErrorOf([&] { none->MoveLast(); }), kErrNoCurrentRecord);
  EXPECT_EQ(none->RecordCount(), 0);
  EXPECT_EQ(ErrorOf([&] { db->OpenTable("Missing"); }), kErrNoSuchTable);
  db->Close();
  EXPECT_EQ(ErrorOf([&] { none->RecordCount(); }), kErrNotOpen);
}

TEST(ClosedDatabases, EveryCallFailsWithNotOpen) {
  TempDir dir;
  auto closed = MakeSource(dir.File("a.mdb"), {"Links"});
  TableDef attached = closed->TableDefs().Item("Links");
  closed->Close();
  closed->Close();
  auto never = NotOpenDatabase(dir.File("b.mdb"));
  for (Database* db : {closed.get(), never.get()}) {
    EXPECT_FALSE(db->IsOpen());
    EXPECT_EQ(ErrorOf([&] { db->TableDefs().Count(); }), kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] { db->TableDefs().Item(0); }), kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] { db->TableDefs().Item("Links"); }), kErrNotOpen);
    TableDef t("New");
    t.Fields().Append(Field{"A", dbLong, 4, dbFixedField, false});
    EXPECT_EQ(ErrorOf([&] { db->TableDefs().Append(t); }), kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] {
                db->AppendField("Links", Field{"B", dbLong, 4, 1, false});
              }),
              kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] {
                db->AppendIndex("Links", Index{"I", false, false, "+ID"});
              }),
              kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] { db->Execute("SELECT 1"); }), kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] { db->OpenTable("Links"); }), kErrNotOpen);
    EXPECT_EQ(ErrorOf([&] { db->Close(); }), 0);
  }
  EXPECT_EQ(ErrorOf([&] {
              attached.Fields().Append(Field{"B", dbLong, 4, 1, false});
            }),
            kErrNotOpen);
  EXPECT_EQ(never->Name(), dir.File("b.mdb"));
}

TEST(Transactions, CoverEveryOpenDatabaseAndCommitToDisk) {
  TempDir dir;
  auto a = MakeSource(dir.File("a.mdb"), {"T"});
  auto b = MakeSource(dir.File("b.mdb"), {"T"});
  DBEngine().BeginTrans();
  a->Execute("INSERT INTO T VALUES (10, 'a')");
  b->Execute("INSERT INTO T VALUES (10, 'b')");
  // Not visible to anyone else before the commit.
  EXPECT_EQ(test::RawInt(dir.File("a.mdb"), "SELECT count(*) FROM T"), 3);
  DBEngine().CommitTrans(dbForceOSFlush);
  EXPECT_EQ(test::RawInt(dir.File("a.mdb"), "SELECT count(*) FROM T"), 4);
  EXPECT_EQ(test::RawInt(dir.File("b.mdb"), "SELECT count(*) FROM T"), 4);
  EXPECT_FALSE(std::filesystem::exists(dir.File("a.mdb-journal")));
  EXPECT_EQ(ErrorOf([&] { DBEngine().CommitTrans(dbForceOSFlush); }), kErrNoTransaction);
}

TEST(Transactions, StructureChangesInsideATransactionAreKept) {
  TempDir dir;
  auto db = MakeSource(dir.File("a.mdb"), {"T"});
  auto never = NotOpenDatabase();
  DBEngine().BeginTrans();
  TableDef t("Added");
  t.Fields().Append(Field{"leer", dbByte, 1, 0, false});
  db->TableDefs().Append(t);
  EXPECT_NE(ErrorOf([&] { never->TableDefs().Append(t); }), kErrTableExists);
  EXPECT_EQ(ErrorOf([&] { db->TableDefs().Append(t); }), kErrTableExists);
  DBEngine().CommitTrans(dbForceOSFlush);
  db->Close();
  db = DBEngine().OpenDatabase(dir.File("a.mdb"));
  EXPECT_EQ(db->TableDefs().Item("Added").Fields().Item("leer").Type, dbByte);
}

}  // namespace
}  // namespace tidewell::engine
