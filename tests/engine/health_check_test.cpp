// The repair's health check against SQLite's integrity_check on the same broken files: it
// must call a file damaged exactly when integrity_check does, and also in the cases where
// SQLite 3.40 skips its page accounting because the schema holds a view.
#include "engine/health_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/engine.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/files.h"

namespace tidewell::engine {
namespace {

using test::RawExec;
using test::RawInt;
using tidewell::testing::FillPage;
using tidewell::testing::ReadAll;
using tidewell::testing::TempDir;
using tidewell::testing::WriteAll;

constexpr uint32_t kPage = 1024;
const std::string kLinks =
    "CREATE TABLE Links (ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Host TEXT COLLATE NOCASE, "
    "Depth INTEGER, Tag TEXT, Body BLOB)";

void MakeSound(const std::string& path) {
  RawExec(path,
          "PRAGMA page_size = 1024;" + kLinks +
              ";"
              "CREATE UNIQUE INDEX Links_Url ON Links (Url);"
              "CREATE INDEX Links_Host ON Links (Host DESC, Depth);"
              "CREATE TABLE Settings (Name TEXT PRIMARY KEY, Value TEXT) WITHOUT ROWID;"
              "CREATE INDEX Settings_Value ON Settings (Value);"
              "CREATE VIEW Shallow AS SELECT * FROM Links WHERE Depth < 2;"
              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
              "INSERT INTO Links SELECT i, printf('https://h%d.example/%05d', i % 37, i), "
              "printf(CASE i % 2 WHEN 0 THEN 'h%d.example' ELSE 'H%d.EXAMPLE' END, i % 37), i % 5, "
              "printf('%s%d', substr('aBc', i % 3 + 1, 1), i), "
              "CASE WHEN i % 50 = 0 THEN randomblob(3000) END FROM n;"
              "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
              "INSERT INTO Settings SELECT 'Option' || i, 'value ' || (i % 13) FROM n;"
              "DELETE FROM Links WHERE ID % 4 = 0 OR ID BETWEEN 1500 AND 1800;");
}

int64_t PageOf(const std::string& path, const std::string& name, const std::string& type) {
  return RawInt(path, "SELECT pageno FROM dbstat WHERE name = '" + name + "' AND pagetype = '" +
                          type + "' ORDER BY pageno LIMIT 1 OFFSET 1");
}

uint32_t FirstTrunk(const std::string& bytes) {
  auto b = [&](int k) { return static_cast<uint32_t>(static_cast<uint8_t>(bytes[32 + k])); };
  return (b(0) << 24) | (b(1) << 16) | (b(2) << 8) | b(3);
}

// Changes the table while the index is out of the catalog, so the index keeps what it had.
void BehindIndex(const std::string& path, const std::string& index, const std::string& change) {
  RawExec(path, "CREATE TABLE Saved AS SELECT * FROM sqlite_schema WHERE name = '" + index + "'");
  RawExec(path,
          "PRAGMA writable_schema = ON; DELETE FROM sqlite_schema WHERE name = '" + index + "'");
  RawExec(path, change);
  RawExec(path,
          "PRAGMA writable_schema = ON; INSERT INTO sqlite_schema SELECT * FROM Saved; DROP TABLE "
          "Saved");
}

void SetSql(const std::string& path, const std::string& name, const std::string& sql) {
  RawExec(path, "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = '" + sql +
                    "' WHERE name = '" + name + "'");
}

struct Case {
  const char* what;
  std::function<void(const std::string&)> damage;
  bool damaged;
  bool integrity_check_sees_it;  // false: SQLite 3.40 misses it behind the view
};

TEST(HealthCheck, AgreesWithIntegrityCheckAndFindsWhatItMissesBehindAView) {
  const std::vector<Case> cases = {
      {"sound", [](const std::string&) {}, false, false},
      {"sound, auto-vacuum with a pointer map",
       [](const std::string& p) { RawExec(p, "PRAGMA auto_vacuum = FULL; VACUUM"); }, false, false},
      {"table leaf zeroed",
       [](const std::string& p) { FillPage(p, PageOf(p, "Links", "leaf"), 0); }, true, true},
      {"index leaf overwritten",
       [](const std::string& p) { FillPage(p, PageOf(p, "Links_Url", "leaf"), 0x5a); }, true, true},
      {"overflow page zeroed",
       [](const std::string& p) { FillPage(p, PageOf(p, "Links", "overflow"), 0); }, true, true},
      {"file cut short",
       [](const std::string& p) { std::filesystem::resize_file(p, 40 * kPage + 100); }, true, true},
      {"NULL in a NOT NULL column",
       [](const std::string& p) {
         std::string lax = kLinks;
         SetSql(p, "Links", lax.replace(lax.find(" NOT NULL"), 9, ""));
         RawExec(p, "UPDATE Links SET Url = NULL WHERE ID = 3");
         SetSql(p, "Links", kLinks);
       },
       true, true},
      {"index misses a row",
       [](const std::string& p) {
         BehindIndex(p, "Links_Host", "INSERT INTO Links VALUES (5000, 'u', 'h', 1, 't', NULL)");
       },
       true, true},
      {"index keeps a deleted row",
       [](const std::string& p) { BehindIndex(p, "Links_Host", "DELETE FROM Links WHERE ID = 5"); },
       true, true},
      {"index entry points at another row",
       [](const std::string& p) {
         BehindIndex(p, "Links_Host", "UPDATE Links SET ID = 90000 WHERE ID = 7");
       },
       true, true},
      {"index holds an old value",
       [](const std::string& p) {
         BehindIndex(p, "Links_Host", "UPDATE Links SET Depth = 99 WHERE ID = 9");
       },
       true, true},
      {"WITHOUT ROWID index holds an old value",
       [](const std::string& p) {
         BehindIndex(p, "Settings_Value", "UPDATE Settings SET Value = 'x' WHERE Name = 'Option3'");
       },
       true, true},
      {"partial index misses a row",
       [](const std::string& p) {
         RawExec(p, "CREATE INDEX Links_Deep ON Links (Depth) WHERE Depth > 2");
         BehindIndex(p, "Links_Deep", "INSERT INTO Links VALUES (5000, 'u', 'h', 4, 't', NULL)");
       },
       true, true},
      {"unique index with a duplicate key",
       [](const std::string& p) {
         RawExec(p, "CREATE INDEX Links_Depth ON Links (Depth)");
         SetSql(p, "Links_Depth", "CREATE UNIQUE INDEX Links_Depth ON Links (Depth)");
       },
       true, true},
      {"index out of order for its collation",
       [](const std::string& p) {
         RawExec(p, "CREATE INDEX Links_Tag ON Links (Tag COLLATE NOCASE)");
         SetSql(p, "Links_Tag", "CREATE INDEX Links_Tag ON Links (Tag)");
       },
       true, true},
      {"second table on the first one's pages",
       [](const std::string& p) {
         RawExec(p,
                 "CREATE TABLE Copy (ID INTEGER PRIMARY KEY, Url TEXT, Host TEXT, Depth "
                 "INTEGER, Tag TEXT, Body BLOB)");
         RawExec(p,
                 "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET rootpage = (SELECT "
                 "rootpage FROM sqlite_schema WHERE name = 'Links') WHERE name = 'Copy'");
       },
       true, true},
      {"freelist trunk smashed",
       [](const std::string& p) { FillPage(p, FirstTrunk(ReadAll(p)), 0xff); }, true, false},
      {"free pages dropped from the header",
       [](const std::string& p) {
         std::string bytes = ReadAll(p);
         bytes.replace(32, 8, std::string(8, '\0'));
         WriteAll(p, bytes);
       },
       true, false},
      {"torn commit: freelist written, tree not",
       [](const std::string& p) {
         const std::string after = p + ".after";
         std::filesystem::copy_file(p, after);
         RawExec(after, "DELETE FROM Links WHERE ID BETWEEN 100 AND 700");
         std::string torn = ReadAll(p), done = ReadAll(after);
         for (uint32_t page : {uint32_t{1}, FirstTrunk(done)})
           torn.replace((page - 1) * kPage, kPage, done, (page - 1) * kPage, kPage);
         WriteAll(p, torn);
       },
       true, false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File(std::string(c.what) + ".db");
    MakeSound(path);
    c.damage(path);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    uint64_t last_done = 0, last_total = 0;
    HealthVerdict ours = CheckDatabaseHealth(db, path, [&](uint64_t done, uint64_t total) {
      last_done = done;
      last_total = total;
    });
    HealthVerdict reference = IntegrityCheckVerdict(db);
    sqlite3_close(db);
    EXPECT_EQ(!ours.healthy, c.damaged) << ours.problem;
    EXPECT_EQ(!reference.healthy, c.integrity_check_sees_it) << reference.problem;
    if (ours.healthy) {
      EXPECT_TRUE(last_done == last_total && last_total > 0);
    }
    if (!c.integrity_check_sees_it) {  // the repair must not trust SQLite's word alone here
      DBEngine().RepairDatabase(path);
      EXPECT_EQ(std::filesystem::exists(path + ".damaged"), c.damaged);
    }
  }
}

}  // namespace
}  // namespace tidewell::engine
