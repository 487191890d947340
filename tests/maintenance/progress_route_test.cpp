#include "maintenance/progress_route.h"

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using testing::ScriptedHost;
using testing::TempDir;

// A compaction always reports once at its start, so each one is one visible report.
void Compact(const TempDir& dir, const std::string& source, const std::string& name) {
  engine::DBEngine().CompactDatabase(source, dir.File(name));
}

TEST(ProgressRoute, AnInnerRouteNeitherTakesOverNorSilencesTheOuterOne) {
  TempDir dir;
  const std::string db = dir.File("a.mdb");
  auto created = engine::DBEngine().CreateDatabase(db, std::string(engine::kGeneralLocale));
  created->Execute("CREATE TABLE T (A INTEGER)");
  created->Close();

  ScriptedHost outer, inner;
  {
    ProgressRoute route(outer);
    {
      ProgressRoute nested(inner);
      Compact(dir, db, "b.mdb");
    }
    Compact(dir, db, "c.mdb");  // the runner's route still stands after the operation's
  }
  const int reported = outer.ProgressCount();
  Compact(dir, db, "d.mdb");  // no route: nobody hears of it

  EXPECT_EQ(inner.ProgressCount(), 0);
  EXPECT_GE(reported, 2);
  EXPECT_EQ(outer.ProgressCount(), reported);
}

}  // namespace
}  // namespace tidewell
