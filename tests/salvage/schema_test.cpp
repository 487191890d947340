// Reading a table's stored columns and rowid column from its CREATE TABLE statement, and
// the shape test that decides whether a record can be a row of a table.
#include "engine/pagefile/schema.h"

#include <gtest/gtest.h>

namespace tidewell::engine::pagefile {
namespace {

TEST(CreateTable, ColumnsTypesAndRowidColumn) {
  TableShape s = ParseCreateTable(
      "CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url VARCHAR(255) NOT NULL, "
      "Checked DOUBLE PRECISION, Raw, Status INT DEFAULT 200)");
  ASSERT_TRUE(s.parsed);
  ASSERT_EQ(s.columns.size(), 5u);
  EXPECT_EQ(s.rowid_column, 0);
  EXPECT_EQ(s.columns[1].name, "Url");
  EXPECT_EQ(s.columns[1].affinity, Affinity::kText);
  EXPECT_EQ(s.columns[2].affinity, Affinity::kReal);
  EXPECT_EQ(s.columns[3].affinity, Affinity::kBlob);
  EXPECT_EQ(s.columns[4].affinity, Affinity::kInteger);
}

TEST(CreateTable, QuotedNamesCommentsAndTableConstraints) {
  TableShape s = ParseCreateTable(
      "CREATE TABLE \"odd \"\"name\"\"\" ( -- a comment, with a comma\n"
      " [first col] TEXT /* (nested, */, `b` INTEGER, "
      "CONSTRAINT pk PRIMARY KEY (b), UNIQUE([first col]), CHECK (b > 0))");
  ASSERT_TRUE(s.parsed);
  ASSERT_EQ(s.columns.size(), 2u);
  EXPECT_EQ(s.columns[0].name, "first col");
  EXPECT_EQ(s.rowid_column, 1);  // PRIMARY KEY(b) on an INTEGER column is the rowid
}

TEST(CreateTable, WhatIsNotARowidAlias) {
  EXPECT_EQ(ParseCreateTable("CREATE TABLE t(a INT PRIMARY KEY, b)").rowid_column, -1);
  EXPECT_EQ(ParseCreateTable("CREATE TABLE t(a INTEGER PRIMARY KEY DESC, b)").rowid_column, -1);
  EXPECT_EQ(ParseCreateTable("CREATE TABLE t(a INTEGER, b, PRIMARY KEY(a, b))").rowid_column, -1);
  TableShape w = ParseCreateTable("CREATE TABLE t(a INTEGER PRIMARY KEY, b) WITHOUT ROWID");
  EXPECT_TRUE(w.without_rowid);
  EXPECT_EQ(w.rowid_column, -1);
}

TEST(CreateTable, VirtualGeneratedColumnsAreNotStored) {
  TableShape s = ParseCreateTable(
      "CREATE TABLE t(a INT, b INT GENERATED ALWAYS AS (a * 2) VIRTUAL, c INT AS (a) STORED)");
  ASSERT_TRUE(s.parsed);
  ASSERT_EQ(s.columns.size(), 2u);
  EXPECT_EQ(s.columns[1].name, "c");
}

TEST(CreateTable, GarbageIsNotUnderstood) {
  EXPECT_FALSE(ParseCreateTable("").parsed);
  EXPECT_FALSE(ParseCreateTable("CREATE TABLE t AS SELECT 1").parsed);
  EXPECT_FALSE(ParseCreateTable("CREATE TABLE t(a, b").parsed);
  EXPECT_FALSE(ParseCreateTable("CREATE TABLE t(a /* open comment").parsed);
  EXPECT_FALSE(ParseCreateTable("CREATE INDEX i ON t(a)").parsed);
  EXPECT_FALSE(ParseCreateTable("CREATE TABLE t('unterminated)").parsed);
}

TEST(Shape, RecordsFitOnlyTablesTheyCanBelongTo) {
  TableShape links = ParseCreateTable("CREATE TABLE l(id INTEGER PRIMARY KEY, url TEXT, n INT)");
  // NULL rowid column, text, integer.
  EXPECT_TRUE(SerialTypesFitTable(links, {0, 21, 1}));
  // Fewer values than columns: a row written before a column was added.
  EXPECT_TRUE(SerialTypesFitTable(links, {0, 21}));
  EXPECT_FALSE(SerialTypesFitTable(links, {0, 21, 1, 1}));  // too many values
  EXPECT_FALSE(SerialTypesFitTable(links, {1, 21, 1}));     // a value in the rowid column
  EXPECT_FALSE(SerialTypesFitTable(links, {0, 1, 1}));      // a number in a text column
  EXPECT_FALSE(SerialTypesFitTable(links, {0, 7, 1}));
  EXPECT_TRUE(SerialTypesFitTable(links, {0, 20, 1}));  // a blob may be anywhere
  EXPECT_FALSE(SerialTypesFitTable(links, {}));
  TableShape unknown;
  EXPECT_FALSE(SerialTypesFitTable(unknown, {0}));
}

}  // namespace
}  // namespace tidewell::engine::pagefile
