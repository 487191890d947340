#include <gtest/gtest.h>

#include "maintenance/modXStrings.h"

namespace tidewell {
namespace {

TEST(FormatStr, PlainAndEmptyPatternsComeBackUnchanged) {
  EXPECT_EQ(FormatStr("", "x"), "");
  EXPECT_EQ(FormatStr("no placeholders here", "x", "y"), "no placeholders here");
}

TEST(FormatStr, EveryOccurrenceGetsTheValue) {
  EXPECT_EQ(FormatStr("%1%%1%", "x"), "xx");
  EXPECT_EQ(FormatStr("'%1%' and '%1%'", "a"), "'a' and 'a'");
}

TEST(FormatStr, LowerValuesAreSearchedByLaterSteps) {
  EXPECT_EQ(FormatStr("%1% and %2%", "%2%", "b"), "b and b");
  // A higher value is never searched for lower placeholders.
  EXPECT_EQ(FormatStr("%2%", "a", "%1%"), "%1%");
  // Within one step the inserted value is not searched again.
  EXPECT_EQ(FormatStr("%1%", "%1%%1%"), "%1%%1%");
}

TEST(FormatStr, OmittedValuesVanishAndUnknownPlaceholdersStay) {
  EXPECT_EQ(FormatStr("%2%", "first"), "");
  EXPECT_EQ(FormatStr("%6% %0% %x% 100%", "1", "2", "3", "4", "5"), "%6% %0% %x% 100%");
  EXPECT_EQ(FormatStr("%5%|%4%|%3%", "1", "2", "3", "4", "5"), "5|4|3");
}

TEST(FormatStr, MatchingIsExactAndNonOverlapping) {
  EXPECT_EQ(FormatStr("%1%1%", "v"), "v1%");
  EXPECT_EQ(FormatStr("%%1%%", "v"), "%v%");
}

TEST(FormatText, ElevenPlaceholdersInAscendingOrder) {
  EXPECT_EQ(FormatText("%10%-%11%-%1%", "one", "", "", "", "", "", "", "", "", "ten", "eleven"),
            "ten-eleven-one");
  // What the structure update does with an engine description: %1% becomes the path, the
  // others disappear.
  EXPECT_EQ(FormatText("open '%1%': %2%%11% gone", "/t.mdb"), "open '/t.mdb':  gone");
  EXPECT_EQ(FormatText("%1%", "%10%", "", "", "", "", "", "", "", "", "X"), "X");
}

}  // namespace
}  // namespace tidewell
