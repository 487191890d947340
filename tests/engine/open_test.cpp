#include <gtest/gtest.h>

#include "engine/engine.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using tidewell::testing::TempDir;

TEST(Smoke, CreateAppendReopen) {
  TempDir dir;
  auto path = dir.File("a.mdb");
  {
    auto db = DBEngine().CreateDatabase(path, std::string(kGeneralLocale), 32);
    TableDef t("Links");
    t.Fields().Append(Field{"Url", dbText, 255, dbVariableField, true});
    t.Fields().Append(Field{"Status", dbLong, 4, dbFixedField, false});
    t.Indexes().Append(Index{"PrimaryKey", true, true, "+Url"});
    t.Indexes().Append(Index{"ByStatus", false, false, "-Status;+Url"});
    db->TableDefs().Append(t);
    db->Close();
  }
  auto db = DBEngine().OpenDatabase(path);
  ASSERT_EQ(db->TableDefs().Count(), 1);
  TableDef t = db->TableDefs().Item(0);
  EXPECT_EQ(t.Name, "Links");
  ASSERT_EQ(t.Fields().Count(), 2);
  EXPECT_EQ(t.Fields().Item("url").Type, dbText);
  EXPECT_EQ(t.Indexes().Item(1).Fields, "-Status;+Url");
  EXPECT_TRUE(t.Indexes().Item("PrimaryKey").Primary);
}

}  // namespace
}  // namespace tidewell::engine
