// Position-or-key arguments: the kind decides, reals are rounded per member, slot 0 is empty.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "collection/clsXCollection.h"

namespace tidewell {
namespace {

clsXCollection Letters(int n) {
  clsXCollection c;
  for (int i = 0; i < n; ++i) c.Add(std::string(1, static_cast<char>('a' + i)), Variant(i + 1));
  return c;
}

TEST(CollectionPositions, KeyAndItemRoundDown) {
  auto c = Letters(3);
  EXPECT_EQ(c.Key(2.7), "b");
  EXPECT_EQ(c.Item(2.7), Variant(2));
  EXPECT_EQ(c.Key(1.999), "a");
  EXPECT_EQ(c.Key(0.9), "");
  EXPECT_EQ(c.Key(-0.5), "");  // -1, not 0 and not 1
  EXPECT_EQ(c.Key(3.5), "c");
}

TEST(CollectionPositions, ExistsAndRemoveRoundHalfToEven) {
  auto c = Letters(3);
  EXPECT_TRUE(c.Exists(2.7));   // 3
  EXPECT_TRUE(c.Exists(2.5));   // 2
  EXPECT_FALSE(c.Exists(3.5));  // 4
  EXPECT_FALSE(c.Exists(0.5));  // 0
  EXPECT_TRUE(c.Exists(1.5));   // 2
  EXPECT_TRUE(c.Exists(0.51));  // 1
  EXPECT_FALSE(c.Exists(-0.5));
  c.Remove(2.7);  // removes position 3 although Key(2.7) reads position 2
  EXPECT_EQ(c.Count(), 2);
  EXPECT_FALSE(c.Exists("c"));
}

TEST(CollectionPositions, RemoveAtHalvesGoesToTheEvenNeighbour) {
  auto c = Letters(4);
  c.Remove(2.5);  // position 2
  EXPECT_FALSE(c.Exists("b"));
  c.Remove(0.5);  // position 0: nothing
  EXPECT_EQ(c.Count(), 3);
  c.Remove(1.5);  // position 2, now "c"
  EXPECT_FALSE(c.Exists("c"));
  EXPECT_EQ(c.Key(1), "a");
  EXPECT_EQ(c.Key(2), "d");
}

TEST(CollectionPositions, PositionZeroReadsTheEmptySlot) {
  auto c = Letters(2);
  EXPECT_EQ(c.Key(0), "");
  EXPECT_TRUE(c.Item(0).IsEmpty());
  EXPECT_FALSE(c.Exists(0));
  c.Remove(0);
  EXPECT_EQ(c.Count(), 2);
}

TEST(CollectionPositions, OutOfRangeFindsNothing) {
  auto c = Letters(2);
  for (const Variant& p :
       {Variant(3), Variant(-1), Variant(std::numeric_limits<std::int64_t>::max()),
        Variant(std::numeric_limits<std::int64_t>::min()), Variant(4294967297.0), Variant(1e300),
        Variant(std::nan("")), Variant(std::numeric_limits<double>::infinity())}) {
    EXPECT_EQ(c.Key(p), "") << p.ToText();
    EXPECT_TRUE(c.Item(p).IsEmpty()) << p.ToText();
    EXPECT_FALSE(c.Exists(p)) << p.ToText();
    c.Remove(p);
    EXPECT_EQ(c.Count(), 2) << p.ToText();
  }
}

TEST(CollectionPositions, ValuesThatAreNoPositionFindNothing) {
  auto c = Letters(2);
  for (const Variant& p : {Variant::Null(), Variant(), Variant(false), Variant(true),
                           Variant(XDate{std::chrono::sys_days{} + std::chrono::days{1}})}) {
    EXPECT_EQ(c.Key(p), "");
    EXPECT_TRUE(c.Item(p).IsEmpty());
    EXPECT_FALSE(c.Exists(p));
    c.Remove(p);
    EXPECT_EQ(c.Count(), 2);
  }
}

TEST(CollectionPositions, TextIsAlwaysAKeyEvenWhenItLooksLikeANumber) {
  clsXCollection c;
  c.Add("x", Variant(1));
  c.Add("1", Variant("one"));
  EXPECT_EQ(c.Item("1"), Variant("one"));
  EXPECT_EQ(c.Item(1), Variant(1));
  EXPECT_TRUE(c.Exists("1"));
  EXPECT_FALSE(c.Exists("2"));
  c.Remove("1");
  EXPECT_EQ(c.Key(1), "x");
}

TEST(CollectionPositions, AssigningThroughItemWorksByKeyNeverByPosition) {
  clsXCollection c;
  c.Item(Variant(2), Variant("x"));
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(c.Key(1), "2");
  EXPECT_TRUE(c.Item(2).IsEmpty());
  EXPECT_EQ(c.Item("2"), Variant("x"));
  c.Item(Variant(1), Variant("y"));  // key "1", not position 1
  EXPECT_EQ(c.Count(), 2);
  EXPECT_EQ(c.Item("2"), Variant("x"));
  c.Item(Variant(2.5), Variant("r"));
  c.Item(Variant(true), Variant("b"));
  c.Item(Variant(), Variant("e"));
  EXPECT_EQ(c.Key(3), "2.5");
  EXPECT_EQ(c.Key(4), "True");
  EXPECT_EQ(c.Key(5), "");
  c.Item(Variant("TRUE"), Variant("B"));  // existing key, other case
  EXPECT_EQ(c.Count(), 5);
  EXPECT_EQ(c.Item("true"), Variant("B"));
}

TEST(CollectionPositions, AssigningWithANullKeyRaisesAndStoresNothing) {
  clsXCollection c;
  c.Add("a", Variant(1));
  EXPECT_THROW(c.Item(Variant::Null(), Variant(2)), VariantConversionError);
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(c.SerialGet(), "a=1");
}

}  // namespace
}  // namespace tidewell
