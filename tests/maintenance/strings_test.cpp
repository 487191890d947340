// The message templates' placeholders, and where the engine's progress is reported.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "maintenance/modXStrings.h"
#include "maintenance/progress_route.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

TEST(FormatStr, PlaceholdersAreReplacedInAscendingOrderAndValuesNotSearchedAgain) {
  struct Row {
    const char* text;
    std::vector<const char*> values;
    const char* expected;
  };
  for (const Row& r : std::vector<Row>{
           {"no placeholders", {"x"}, "no placeholders"},
           {"'%1%' and '%1%'", {"a"}, "'a' and 'a'"},
           {"%1% and %2%", {"%2%", "b"}, "b and b"},  // lower values are searched later
           {"%2%", {"a", "%1%"}, "%1%"},
           {"%1%", {"%1%%1%"}, "%1%%1%"},
           {"%2%", {"first"}, ""},  // omitted values vanish
           {"%6% %0% %x% 100% %5%|%4%", {"1", "2", "3", "4", "5"}, "%6% %0% %x% 100% 5|4"},
           {"%1%1% %%1%%", {"v"}, "v1% %v%"}}) {
    std::vector<const char*> v = r.values;
    v.resize(5, "");
    EXPECT_EQ(FormatStr(r.text, v[0], v[1], v[2], v[3], v[4]), r.expected) << r.text;
  }
  EXPECT_EQ(FormatText("%10%-%11%-%1%", "one", "", "", "", "", "", "", "", "", "ten", "eleven"),
            "ten-eleven-one");
  EXPECT_EQ(FormatText("%1%", "%10%", "", "", "", "", "", "", "", "", "X"), "X");
}

// An operation's route inside a runner's neither takes over nor silences the runner's.
TEST(ProgressRoute, AnInnerRouteNeitherTakesOverNorSilencesTheOuterOne) {
  testing::TempDir dir;
  const std::string db = dir.File("a.mdb");
  engine::DBEngine().CreateDatabase(db, std::string(engine::kGeneralLocale))->Close();
  // A compaction always reports once at its start.
  auto compact = [&](const char* to) { engine::DBEngine().CompactDatabase(db, dir.File(to)); };
  testing::ScriptedHost outer, inner;
  {
    ProgressRoute route(outer);
    {
      ProgressRoute nested(inner);
      compact("b.mdb");
    }
    compact("c.mdb");
  }
  const int reported = outer.ProgressCount();
  compact("d.mdb");
  EXPECT_EQ(inner.ProgressCount(), 0);
  EXPECT_GE(reported, 2);
  EXPECT_EQ(outer.ProgressCount(), reported);
}

}  // namespace
}  // namespace tidewell
