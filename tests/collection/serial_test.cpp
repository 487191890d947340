// The text form: escapes, joining, and reading back what was written.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "collection/clsXCollection.h"

namespace tidewell {
namespace {

using namespace std::chrono;

std::string Serialised(std::string_view key, const Variant& value) {
  clsXCollection c;
  c.Add(key, value);
  return c.SerialGet();
}

TEST(CollectionSerialise, EscapesSeparatorsAndAmpersands) {
  EXPECT_EQ(Serialised("a=b", Variant("x&y")), "a&eq;b=x&amp;y");
  EXPECT_EQ(Serialised("k", Variant("\r\n\t")), "k=&crlf;&tab;");
  EXPECT_EQ(Serialised("k", Variant("say \"hi\"")), "k=say &quote;hi&quote;");
  EXPECT_EQ(Serialised("k", Variant("a\rb")), "k=a&cr;b");
  EXPECT_EQ(Serialised("k", Variant("a\nb")), "k=a\nb");  // a lone LF stays
  EXPECT_EQ(Serialised("k", Variant("\r\r\n\n")), "k=&cr;&crlf;\n");
  EXPECT_EQ(Serialised("k", Variant("\x01")), "k=&amp;");
  // Text that looks escaped already is escaped again, so it reads back as it was.
  EXPECT_EQ(Serialised("&eq;", Variant("&amp;")), "&amp;eq;=&amp;amp;");
}

TEST(CollectionSerialise, PairsAreJoinedByOneTab) {
  clsXCollection c;
  c.Add("a", Variant(1));
  c.Add("b", Variant("two"));
  EXPECT_EQ(c.SerialGet(), "a=1\tb=two");
  c.Add("", Variant());
  EXPECT_EQ(c.SerialGet(), "a=1\tb=two\t=");
}

TEST(CollectionSerialise, ValuesAreWrittenAsTheirText) {
  clsXCollection c;
  c.Add("e", Variant());
  c.Add("b", Variant(false));
  c.Add("w", Variant(-42));
  c.Add("r", Variant(0.5));
  c.Add("d", Variant(XDate{sys_days{2001y / 2 / 3} + 4h + 5min + 6s}));
  EXPECT_EQ(c.SerialGet(), "e=\tb=False\tw=-42\tr=0.5\td=2001-02-03 04:05:06");
}

TEST(CollectionSerialise, NullIsWrittenAsEmptySoItsKeySurvives) {
  clsXCollection c;
  c.Add("n", Variant::Null());
  c.Add("m", Variant(1));
  EXPECT_TRUE(c.Item("n").IsNull());
  EXPECT_EQ(c.SerialGet(), "n=\tm=1");
  clsXCollection back;
  back.SerialSet(c.SerialGet());
  EXPECT_EQ(back.Count(), 2);
  EXPECT_EQ(back.Item("n"), Variant(std::string()));
}

TEST(CollectionRoundTrip, EveryEscapeReadsBack) {
  const std::vector<std::string> texts = {
      "plain",  "",          "a=b=c",   "&",      "&amp;", "&amp;amp;", "&eq;",   "&cr;",
      "&crlf;", "&tab;",     "&quote;", "\"=\"",  "\t\t",  "\r",        "\r\n",   "\r\r\n",
      "\n\r",   "x\r\ny\rz", "&cr;lf;", "&&eq;;", "&c&r;", "tab\t",     "=start", "ü&Ü=\"\t\r"};
  clsXCollection c;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    c.Add(texts[i] + "#" + std::to_string(i), Variant(texts[i]));
  }
  const std::string text = c.SerialGet();
  EXPECT_EQ(text.find('\r'), std::string::npos);
  clsXCollection back;
  back.SerialSet(text);
  ASSERT_EQ(back.Count(), c.Count());
  for (std::int32_t p = 1; p <= c.Count(); ++p) {
    EXPECT_EQ(back.Key(p), c.Key(p));
    EXPECT_EQ(back.Item(p), c.Item(p)) << "value of " << c.Key(p);
  }
  EXPECT_EQ(back.SerialGet(), text);
}

TEST(CollectionRoundTrip, IntoAFilledCollectionReplacesAndAppends) {
  clsXCollection c;
  c.Add("keep", Variant(1));
  c.Add("Size", Variant(2));
  c.SerialSet("SIZE=10\tnew=3");
  EXPECT_EQ(c.Count(), 3);
  EXPECT_EQ(c.Key(1), "keep");
  EXPECT_EQ(c.Item("keep"), Variant(1));
  EXPECT_EQ(c.Key(2), "SIZE");
  EXPECT_EQ(c.Item(2), Variant("10"));
  EXPECT_EQ(c.Key(3), "new");
}

TEST(CollectionRoundTrip, UnescapingKeepsUnknownAmpersandTexts) {
  clsXCollection c;
  c.SerialSet("k=&foo;&\t&amp=&cr\tx=&CR;&Tab;");
  EXPECT_EQ(c.Item("k"), Variant("&foo;&"));
  EXPECT_EQ(c.Item("&amp"), Variant("&cr"));
  EXPECT_EQ(c.Item("x"), Variant("&CR;&Tab;"));  // entities are case-sensitive
}

}  // namespace
}  // namespace tidewell
