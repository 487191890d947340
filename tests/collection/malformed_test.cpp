// Text the writer never produces: empty pairs, pairs without "=", and very long texts.
#include <gtest/gtest.h>

#include <string>

#include "collection/clsXCollection.h"

namespace tidewell {
namespace {

TEST(CollectionMalformedText, EmptyPairsAreSkipped) {
  clsXCollection c;
  c.SerialSet("a=1\t\tb=2");
  EXPECT_EQ(c.SerialGet(), "a=1\tb=2");
  c.Clear();
  c.SerialSet("\ta=1\tb=2");
  EXPECT_EQ(c.SerialGet(), "a=1\tb=2");
  c.Clear();
  c.SerialSet("a=1\t");
  EXPECT_EQ(c.SerialGet(), "a=1");
  c.Clear();
  c.SerialSet("\t\t\t");
  EXPECT_EQ(c.Count(), 0);
}

TEST(CollectionMalformedText, APairWithoutEqualsIsAKeyWithEmptyText) {
  clsXCollection c;
  c.SerialSet("a=1\tflag\tb=2");
  ASSERT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Item("a"), Variant("1"));  // not overwritten by the pair after it
  EXPECT_EQ(c.Key(2), "flag");
  EXPECT_EQ(c.Item("flag"), Variant(std::string()));
  c.Clear();
  c.SerialSet("only&tab;one");
  EXPECT_EQ(c.Key(1), "only\tone");
  EXPECT_EQ(c.Count(), 1);
}

TEST(CollectionMalformedText, SplitsAtTheFirstEquals) {
  clsXCollection c;
  c.SerialSet("a=b=c\t=v\tk=");
  EXPECT_EQ(c.Item("a"), Variant("b=c"));
  EXPECT_EQ(c.Item(""), Variant("v"));
  EXPECT_EQ(c.Item("k"), Variant(std::string()));
  EXPECT_EQ(c.Count(), 3);
}

TEST(CollectionMalformedText, RepeatedKeysInOneTextKeepTheLastValue) {
  clsXCollection c;
  c.SerialSet("a=1\tA=2\ta=3");
  EXPECT_EQ(c.Count(), 1);
  EXPECT_EQ(c.Item("a"), Variant("3"));
  EXPECT_EQ(c.Key(1), "a");
}

TEST(CollectionMalformedText, LongValuesAreReadWhole) {
  const std::string big(70000, 'v');
  clsXCollection c;
  c.SerialSet("first=1\tbig=" + big + "\tlast=2");
  ASSERT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Item("big").AsText(), big);
  EXPECT_EQ(c.Item("last"), Variant("2"));
  const std::string key(40000, 'K');
  c.SerialSet(key + "=k");
  EXPECT_EQ(c.Item(std::string(40000, 'k')), Variant("k"));
}

TEST(CollectionMalformedText, NoPairIsLostAroundThe16BitBoundaries) {
  // Pairs of 9 characters plus a TAB: the text runs far past 32767 and 65535 characters, and
  // pairs straddle both boundaries.
  std::string text;
  for (int i = 0; i < 8000; ++i) {
    if (!text.empty()) text += '\t';
    char pair[16];
    std::snprintf(pair, sizeof pair, "k%04d=v%02d", i, i % 100);
    text += pair;
  }
  ASSERT_GT(text.size(), 65536u);
  clsXCollection c;
  c.SerialSet(text);
  ASSERT_EQ(c.Count(), 8000);
  EXPECT_EQ(c.Item("k3276"), Variant("v76"));
  EXPECT_EQ(c.Item("k6553"), Variant("v53"));
  EXPECT_EQ(c.Item("k7999"), Variant("v99"));
  EXPECT_EQ(c.SerialGet(), text);
}

}  // namespace
}  // namespace tidewell
