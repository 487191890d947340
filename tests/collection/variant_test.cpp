#include "collection/variant.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>

#include "tests/collection/test_objects.h"

namespace tidewell {
namespace {

using namespace std::chrono;
using testing::MakeObject;

TEST(VariantText, PlainValuesHaveTheirAgreedText) {
  EXPECT_EQ(Variant().ToText(), "");
  EXPECT_EQ(Variant(true).ToText(), "True");
  EXPECT_EQ(Variant(false).ToText(), "False");
  EXPECT_EQ(Variant(0).ToText(), "0");
  EXPECT_EQ(Variant(-123456789012LL).ToText(), "-123456789012");
  EXPECT_EQ(Variant("Text").ToText(), "Text");
  EXPECT_EQ(Variant(std::string()).ToText(), "");
}

TEST(VariantText, RealsAreShortestDecimalsThatReadBack) {
  EXPECT_EQ(Variant(2.5).ToText(), "2.5");
  EXPECT_EQ(Variant(-0.125).ToText(), "-0.125");
  EXPECT_EQ(Variant(0.1).ToText(), "0.1");
  EXPECT_EQ(Variant(3.0).ToText(), "3");
  EXPECT_EQ(Variant(1e20).ToText(), "1e+20");
  EXPECT_EQ(Variant(std::numeric_limits<double>::infinity()).ToText(), "inf");
  EXPECT_EQ(Variant(-std::numeric_limits<double>::infinity()).ToText(), "-inf");
  EXPECT_EQ(Variant(std::nan("")).ToText(), "nan");
  const double awkward = 0.1 + 0.2;
  EXPECT_EQ(std::stod(Variant(awkward).ToText()), awkward);
}

TEST(VariantText, DatesAreIsoWithTime) {
  EXPECT_EQ(Variant(XDate{sys_days{2024y / March / 1} + 10h + 5min + 9s}).ToText(),
            "2024-03-01 10:05:09");
  EXPECT_EQ(Variant(XDate{sys_days{1999y / December / 31}}).ToText(), "1999-12-31 00:00:00");
  EXPECT_EQ(Variant(XDate{sys_days{year{987} / 1 / 2} + 23h}).ToText(), "0987-01-02 23:00:00");
  // Before 1970 the seconds count is negative; the time of day must still be positive.
  EXPECT_EQ(Variant(XDate{sys_days{1899y / December / 30} + 6h}).ToText(), "1899-12-30 06:00:00");
}

TEST(VariantText, NullHasNoTextForm) {
  EXPECT_THROW(Variant::Null().ToText(), VariantConversionError);
  EXPECT_FALSE(Variant::Null().TryToText().has_value());
}

TEST(VariantText, ObjectsConvertThroughTheirDefaultValue) {
  EXPECT_EQ(Variant(MakeObject(Variant(7))).ToText(), "7");
  EXPECT_EQ(Variant(MakeObject(Variant(MakeObject(Variant("inner"))))).ToText(), "inner");
  EXPECT_THROW(Variant(MakeObject()).ToText(), VariantConversionError);
  EXPECT_THROW(Variant(std::shared_ptr<XObject>()).ToText(), VariantConversionError);
  EXPECT_THROW(Variant(MakeObject(Variant::Null())).ToText(), VariantConversionError);
}

TEST(VariantText, AnObjectThatYieldsItselfDoesNotHang) {
  auto self = MakeObject();
  self->Set(Variant(std::shared_ptr<XObject>(self)));
  EXPECT_FALSE(Variant(self).PlainValue().has_value());
  EXPECT_THROW(Variant(self).ToText(), VariantConversionError);
  self->Set(std::nullopt);  // break the cycle so the object is released
}

TEST(VariantKinds, NumbersTextsAndNullAreDistinctValues) {
  EXPECT_EQ(Variant(2u).kind(), Variant::Kind::Whole);
  EXPECT_EQ(Variant(std::string_view("2")).kind(), Variant::Kind::Text);
  EXPECT_NE(Variant(2), Variant(2.0));
  EXPECT_NE(Variant(2), Variant("2"));
  EXPECT_NE(Variant(), Variant::Null());
  EXPECT_NE(Variant(), Variant(std::string()));
}

}  // namespace
}  // namespace tidewell
