// Keys: case, duplicates, and the index staying right while entries come and go.
#include <gtest/gtest.h>

#include "collection/clsXCollection.h"

namespace tidewell {
namespace {

TEST(CollectionKeys, SameKeyInOtherCaseReplacesInPlaceAndTakesTheNewCase) {
  clsXCollection c;
  c.Add("a", Variant(1));
  c.Add("Colour", Variant(2));
  c.Add("c", Variant(3));
  c.Add("COLOUR", Variant(20));
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Key(2), "COLOUR");
  EXPECT_EQ(c.Item(2), Variant(20));
  EXPECT_EQ(c.Item("colour"), Variant(20));
  EXPECT_EQ(c.Key("colour"), "COLOUR");
  EXPECT_EQ(c.Key(3), "c");
}

TEST(CollectionKeys, LettersBeyondAsciiCompareWithoutCase) {
  clsXCollection c;
  c.Add("Äpfel", Variant(1));
  c.Add("ÄPFEL", Variant(2));
  c.Add("éTÉ", Variant(3));
  c.Add("Ωmega", Variant(4));
  c.Add("привет", Variant(5));
  c.Add("Łódź", Variant(6));
  c.Add("Šđĉ", Variant(8));
  EXPECT_EQ(c.Count(), 6);
  EXPECT_EQ(c.Item("äpfel"), Variant(2));
  EXPECT_EQ(c.Item("ÉTÉ"), Variant(3));
  EXPECT_EQ(c.Item("ωMEGA"), Variant(4));
  EXPECT_EQ(c.Item("ПРИВЕТ"), Variant(5));
  EXPECT_EQ(c.Item("łÓDŹ"), Variant(6));
  EXPECT_EQ(c.Item("šĐĈ"), Variant(8));
  // No single-letter upper case: "ß" is not "SS".
  c.Add("Straße", Variant(7));
  EXPECT_FALSE(c.Exists("STRASSE"));
  EXPECT_TRUE(c.Exists("STRAßE"));
}

TEST(CollectionKeys, BytesThatAreNotUtf8CompareExactly) {
  clsXCollection c;
  c.Add(std::string("k\xC3", 2), Variant(1));  // cut-off sequence at the end
  c.Add(std::string("\xFF\xE4x", 3), Variant(2));
  EXPECT_EQ(c.Count(), 2);
  EXPECT_EQ(c.Item(std::string("K\xC3", 2)), Variant(1));
  EXPECT_EQ(c.Item(std::string("\xFF\xE4X", 3)), Variant(2));
  EXPECT_FALSE(c.Exists(std::string("\xFF\xC4X", 3)));
}

TEST(CollectionKeys, UncheckedAddKeepsDuplicatesAndLookupsReachTheFirst) {
  clsXCollection c;
  c.Add("a", Variant("first"), true);
  c.Add("a", Variant("second"), true);
  EXPECT_EQ(c.Count(), 2);
  EXPECT_EQ(c.Item("A"), Variant("first"));
  c.Add("A", Variant("third"));  // checked: replaces the first, the second stays
  EXPECT_EQ(c.Count(), 2);
  EXPECT_EQ(c.Item(1), Variant("third"));
  EXPECT_EQ(c.Item(2), Variant("second"));
  c.Remove("A");
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(c.Item("a"), Variant("second"));
  c.Remove("a");
  EXPECT_EQ(c.Count(), 0);
  EXPECT_FALSE(c.Exists("a"));
}

TEST(CollectionKeys, RemovingTheFirstDuplicateByPositionUncoversTheNext) {
  clsXCollection c;
  c.Add("x", Variant(0));
  c.Add("k", Variant(1), true);
  c.Add("K", Variant(2), true);
  c.Add("k", Variant(3), true);
  c.Remove(2);
  EXPECT_EQ(c.Item("k"), Variant(2));
  EXPECT_EQ(c.Key("k"), "K");
  c.Remove(3);  // the last duplicate; the middle one must still be found
  EXPECT_EQ(c.Item("k"), Variant(2));
  EXPECT_EQ(c.Count(), 2);
}

TEST(CollectionKeys, LookupsFollowEntriesAsTheyMoveDown) {
  clsXCollection c;
  for (const char* key : {"a", "b", "c", "d"}) c.Add(key, Variant(key));
  c.Remove(1);
  EXPECT_EQ(c.Key(1), "b");
  EXPECT_EQ(c.Item("d"), Variant("d"));
  c.Add("d", Variant("D"));  // present: must replace position 3, not append
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Item(3), Variant("D"));
  c.Remove("b");
  c.Add("b", Variant("again"));  // gone: appended at the end
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Key(3), "b");
  EXPECT_EQ(c.Key(1), "c");
}

TEST(CollectionKeys, MissingKeysFindNothingSilently) {
  clsXCollection c;
  c.Add("a", Variant(1));
  EXPECT_EQ(c.Key("zz"), "");
  EXPECT_TRUE(c.Item("zz").IsEmpty());
  EXPECT_FALSE(c.Exists("zz"));
  c.Remove("zz");
  EXPECT_EQ(c.Count(), 1);
}

TEST(CollectionKeys, TheEmptyKeyIsAnOrdinaryKey) {
  clsXCollection c;
  EXPECT_FALSE(c.Exists(""));
  c.Add("", Variant(5));
  EXPECT_TRUE(c.Exists(""));
  EXPECT_EQ(c.Item(""), Variant(5));
  EXPECT_TRUE(c.Item(0).IsEmpty());
}

TEST(CollectionKeys, ClearEmptiesButKeepsTheObjectMode) {
  clsXCollection c;
  EXPECT_FALSE(c.g_blnObjectsOk);
  c.g_blnObjectsOk = true;
  c.Add("a", Variant(1));
  c.Add("b", Variant(2), true);
  c.Clear();
  EXPECT_EQ(c.Count(), 0);
  EXPECT_FALSE(c.Exists("a"));
  EXPECT_EQ(c.SerialGet(), "");
  EXPECT_TRUE(c.g_blnObjectsOk);
  c.Add("b", Variant(3));
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(c.Key(1), "b");
  EXPECT_EQ(c.Item("b"), Variant(3));
}

}  // namespace
}  // namespace tidewell
