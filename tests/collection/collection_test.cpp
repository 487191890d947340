// The keyed collection: its text form, keys without case, positions, objects as values.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "collection/clsXCollection.h"

namespace tidewell {
namespace {

using namespace std::chrono;

// An object whose default value can be changed or left absent.
struct Obj : XObject {
  explicit Obj(std::optional<Variant> v) : value(std::move(v)) {}
  static auto Make(std::optional<Variant> v = {}) { return std::make_shared<Obj>(std::move(v)); }
  std::optional<Variant> DefaultValue() const override { return value; }
  std::optional<Variant> value;
};

TEST(CollectionText, WritesEscapedKeysAndTheTextOfEveryKindOfValue) {
  clsXCollection c;
  c.Add("a=b", Variant("x&y\r\n\t\"a\rb\nc\r\r\n\n\x01"));  // a lone LF stays
  c.Add("&eq;", Variant("&amp;"));  // looks escaped: escaped again, so it reads back
  // Null has no text form, but its key must survive. Reals: the shortest text that reads
  // back. Dates before 1970 count negative seconds; their time of day must not be negative.
  for (const Variant& v : {Variant(), Variant::Null(), Variant(false), Variant(true),
                           Variant(-123456789012LL), Variant(0.1 + 0.2), Variant(3.0),
                           Variant(1e20), Variant(-std::numeric_limits<double>::infinity()),
                           Variant(XDate{sys_days{2001y / 2 / 3} + 4h + 5min + 6s}),
                           Variant(XDate{sys_days{1899y / 12 / 30} + 6h})})
    c.Add(std::to_string(c.Count()), v);
  EXPECT_EQ(c.SerialGet(),
            "a&eq;b=x&amp;y&crlf;&tab;&quote;a&cr;b\nc&cr;&crlf;\n&amp;\t&amp;eq;=&amp;amp;\t2=\t"
            "3=\t4=False\t5=True\t6=-123456789012\t7=0.30000000000000004\t8=3\t9=1e+20\t"
            "10=-inf\t11=2001-02-03 04:05:06\t12=1899-12-30 06:00:00");
}

TEST(CollectionText, EveryEscapeReadsBackAndOddTextsReadAsAgreed) {
  const std::vector<std::string> texts = {
      "plain",  "",          "a=b=c",   "&",      "&amp;", "&amp;amp;", "&eq;",   "&cr;",
      "&crlf;", "&tab;",     "&quote;", "\"=\"",  "\t\t",  "\r",        "\r\n",   "\r\r\n",
      "\n\r",   "x\r\ny\rz", "&cr;lf;", "&&eq;;", "&c&r;", "tab\t",     "=start", "ü&Ü=\"\t\r"};
  clsXCollection c;
  for (const std::string& t : texts) c.Add(t, Variant(t));
  const std::string text = c.SerialGet();
  EXPECT_EQ(text.find('\r'), std::string::npos);
  clsXCollection back;
  back.SerialSet(text);
  EXPECT_EQ(back.Count(), c.Count());
  for (const std::string& t : texts) EXPECT_EQ(back.Item(t), Variant(t)) << t;
  // What the writer never writes: empty pairs separate nothing; a pair without "=" is a key
  // with the empty text; a pair splits at its first "="; unknown texts after "&" stay, and
  // entities are case-sensitive.
  back.Clear();
  back.SerialSet(
      "\ta=1\t\tb=2\tflag\tonly&tab;one\tc=b=c\t=v\tk=\tA=3\tu=&foo;&\t&amp=&cr\tx=&CR;&Tab;\t");
  EXPECT_EQ(back.SerialGet(),
            "A=3\tb=2\tflag=\tonly&tab;one=\tc=b&eq;c\t=v\tk=\tu=&amp;foo;&amp;\t&amp;amp=&amp;"
            "cr\tx=&amp;CR;&amp;Tab;");
}

TEST(CollectionText, LongTextsAreReadWhole) {
  // Pairs straddle the 16-bit boundaries; then one value and one key longer than either.
  std::string text;
  for (int i = 0; i < 8000; ++i)
    text += "k" + std::to_string(i) + "=v" + std::to_string(i % 97) + "\t";
  text += "big=" + std::string(70000, 'v') + "\t" + std::string(40000, 'K') + "=k";
  clsXCollection c;
  c.SerialSet(text);
  EXPECT_EQ(c.Item(std::string(40000, 'k')), Variant("k"));
  EXPECT_EQ(c.SerialGet(), text);
}

TEST(CollectionKeys, OtherCaseReplacesInPlaceForCommonScriptsOnly) {
  clsXCollection c;
  c.SerialSet("Size=1\tÄpfel\téTÉ\tΩmega\tпривет\tŁódź\tŠđĉ\tStraße\tk\xC3\t\xFF\xE4x");
  // No single-letter upper case for "ß"; bytes that are not UTF-8 compare exactly.
  c.SerialSet(
      "sIZE=2\täPFEL\tÉtÉ\tωMEGA\tПРИВЕТ\tłÓDŹ\tšĐĈ\tSTRAßE\tK\xC3\t\xFF\xE4X\tSTRASSE\t\xFF\xC4X");
  EXPECT_EQ(c.SerialGet(),
            "sIZE=2\täPFEL=\tÉtÉ=\tωMEGA=\tПРИВЕТ=\tłÓDŹ=\tšĐĈ=\tSTRAßE=\tK\xC3=\t\xFF\xE4X="
            "\tSTRASSE=\t\xFF\xC4X=");
}

TEST(CollectionKeys, LookupsFindTheFirstDuplicateAndFollowRemovals) {
  clsXCollection c;
  for (const char* key : {"x", "k", "K", "k", "d"}) c.Add(key, Variant(c.Count() + 1), true);
  c.Add("k", Variant(20));  // checked: replaces the first duplicate only
  EXPECT_EQ(c.SerialGet(), "x=1\tk=20\tK=3\tk=4\td=5");
  c.Remove(2);
  EXPECT_EQ(c.Key("k"), "K");
  c.Remove(3);  // the last duplicate: the middle one must still be found
  EXPECT_EQ(c.Item("k"), Variant(3));
  c.Remove(1);
  c.Add("d", Variant(50));  // moved down, still present: replaced, not appended
  c.Remove("k");
  c.Add("k", Variant(6));
  EXPECT_EQ(c.SerialGet(), "d=50\tk=6");
}

TEST(CollectionPositions, RealsRoundDownToReadAndHalfToEvenToTestOrRemove) {
  clsXCollection c;
  c.SerialSet("a=1\tb=2\tc=3\td=4");
  EXPECT_EQ(c.Key(2.7), "b");
  EXPECT_TRUE(c.Exists(0.51));
  EXPECT_FALSE(c.Exists(0.5));
  EXPECT_TRUE(c.Exists(4.5));  // 4
  c.Remove(2.5);
  c.Remove(0.5);
  c.Remove(2.7);  // position 3, although Key(2.7) reads position 2
  EXPECT_EQ(c.SerialGet(), "a=1\tc=3");
}

TEST(CollectionPositions, TextIsAKeyAndWhatIsNoPositionOrPresentKeyFindsNothing) {
  clsXCollection c;
  c.SerialSet("a=1\t1=2");
  EXPECT_EQ(c.Item("1"), Variant("2"));
  EXPECT_EQ(c.Item(1), Variant("1"));
  const std::vector<Variant> args = {Variant(0),
                                     Variant(3),
                                     Variant(-1),
                                     Variant(std::numeric_limits<std::int64_t>::max()),
                                     Variant(std::numeric_limits<std::int64_t>::min()),
                                     Variant(4294967297.0),
                                     Variant(1e300),
                                     Variant(std::nan("")),
                                     Variant(std::numeric_limits<double>::infinity()),
                                     Variant::Null(),
                                     Variant(),
                                     Variant(false),
                                     Variant(true),
                                     Variant(XDate{sys_days{} + days{1}}),
                                     Variant("zz"),
                                     Variant(""),
                                     Variant(Obj::Make())};
  for (std::size_t i = 0; i < args.size(); ++i) {
    EXPECT_EQ(c.Key(args[i]), "") << i;
    EXPECT_TRUE(c.Item(args[i]).IsEmpty()) << i;
    EXPECT_FALSE(c.Exists(args[i])) << i;
    c.Remove(args[i]);
  }
  // Assignment through Item goes by key, never by position.
  for (const Variant& key :
       {Variant(2), Variant(1), Variant(2.5), Variant(true), Variant(), Variant("TRUE")})
    c.Item(key, Variant(c.Count()));
  EXPECT_THROW(c.Item(Variant::Null(), Variant(3)), VariantConversionError);
  EXPECT_THROW(c.Item(Variant(Obj::Make()), Variant(3)), VariantConversionError);
  EXPECT_EQ(c.SerialGet(), "a=1\t1=3\t2=2\t2.5=3\tTRUE=6\t=5");
}

TEST(CollectionObjects, KeptByReferenceOnlyWhenAllowedElseByTheirDefaultValue) {
  clsXCollection c;
  auto object = Obj::Make(Variant(5));
  c.Add("v", Variant(object));
  c.Add("k", Variant(1));
  c.Add("K", Variant(Obj::Make()));  // no default value: the previous value stays
  c.g_blnObjectsOk = true;
  c.ItemSet(Variant("r"), object);
  c.Add("n", Variant(std::shared_ptr<XObject>()));
  object->value = Variant("changed");
  EXPECT_FALSE(c.Item("v").IsObject());
  EXPECT_EQ(c.Item("r").AsObject().get(), object.get());
  EXPECT_EQ(c.SerialGet(), "v=5\tK=1\tr=changed\tn=");
  // As an argument an object stands for its default value.
  EXPECT_EQ(c.Key(Variant(Obj::Make(Variant(2)))), "K");
  EXPECT_EQ(c.Item(Variant(Obj::Make(Variant("V")))), Variant(5));
  c.Clear();
  EXPECT_FALSE(c.Exists("v"));
  EXPECT_EQ(object.use_count(), 1);
  // Nested default values are followed; a cycle is no text, and no hang either.
  EXPECT_EQ(Variant(Obj::Make(Variant(Obj::Make(Variant("inner"))))).ToText(), "inner");
  EXPECT_THROW(Variant(Obj::Make(Variant::Null())).ToText(), VariantConversionError);
  auto self = Obj::Make();
  self->value = Variant(std::shared_ptr<XObject>(self));
  EXPECT_THROW(Variant(self).ToText(), VariantConversionError);
  self->value.reset();
  EXPECT_NE(Variant(2), Variant(2.0));
  EXPECT_NE(Variant(), Variant::Null());
}

}  // namespace
}  // namespace tidewell
