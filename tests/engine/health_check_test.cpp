// The repair's health check against SQLite's integrity_check on the same broken files: it
// must call a file damaged exactly when integrity_check does, and also in the cases where
// SQLite 3.40 skips its page accounting because the schema holds a view.
#include "engine/health_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "engine/engine.h"
#include "engine/pagefile/index_check.h"
#include "tests/support/files.h"
#include "tests/support/page_fields.h"
#include "tests/support/queries.h"

namespace tidewell::engine {
namespace {

using namespace tidewell::testing;
using P = const std::string&;

constexpr uint32_t kPage = 1024;

// Rows and indexes of every kind the check compares, free pages, overflow chains, and a
// view, which makes SQLite 3.40's integrity_check skip its page accounting.
void MakeSound(P path) {
  Sql(path,
      "PRAGMA page_size = 1024;"
      "CREATE TABLE Links (ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Host TEXT COLLATE NOCASE, "
      "Depth INTEGER, Body BLOB);"
      "CREATE UNIQUE INDEX U ON Links (Url);"
      "CREATE INDEX H ON Links (Host DESC, Depth, ID);"
      "CREATE TABLE Settings (Name TEXT PRIMARY KEY, Value TEXT) WITHOUT ROWID;"
      "CREATE INDEX Settings_Value ON Settings (Value);"
      "CREATE VIEW Shallow AS SELECT * FROM Links WHERE Depth < 2;"
      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
      "INSERT INTO Links SELECT i, printf('https://h%d.example/%05d', i % 37, i), "
      "printf(CASE i % 2 WHEN 0 THEN 'h%d.example' ELSE 'H%d.EXAMPLE' END, i % 37), i % 5, "
      "CASE WHEN i % 50 = 0 THEN randomblob(3000) END FROM n;"
      "INSERT INTO Settings SELECT 'Option' || ID, ID % 13 FROM Links WHERE ID <= 200;"
      "DELETE FROM Links WHERE ID % 4 = 0 OR ID BETWEEN 1500 AND 1800;");
}

using Damage = std::function<void(P)>;

// Each step on its own connection, so that no step sees the catalog as an earlier one left it.
Damage Steps(std::vector<std::string> steps) {
  return [=](P path) {
    for (P step : steps) Sql(path, "PRAGMA writable_schema = ON;" + step);
  };
}

// Changes the table while the index is out of the catalog, so the index keeps what it had.
Damage Behind(P index, P change, P before = "") {
  const std::string where = " FROM sqlite_schema WHERE name = '" + index + "'";
  return Steps({before + "CREATE TABLE Saved AS SELECT *" + where + "; DELETE" + where,
                change + "; INSERT INTO sqlite_schema SELECT * FROM Saved; DROP TABLE Saved"});
}

std::string Edit(P name, P from, P to) {
  return "UPDATE sqlite_schema SET sql = replace(sql, '" + from + "', '" + to +
         "') WHERE name = '" + name + "';";
}

enum Verdict { kSound, kDamaged, kOnlyWeSeeIt };  // the last where SQLite misses the damage

TEST(HealthCheck, AgreesWithIntegrityCheckAndFindsWhatItMissesBehindAView) {
  const std::string partial = "CREATE INDEX D ON Links (Depth) WHERE Depth > 2;";
  const std::string add = "INSERT INTO Links VALUES (5000, 'u', 'h', 4, NULL)";
  const std::vector<std::tuple<const char*, Verdict, Damage>> cases = {
      {"sound", kSound, Steps({})},
      {"sound, partial index", kSound, Steps({partial})},  // left to integrity_check
      {"sound, index on a column added later", kSound,
       Steps(
           {"ALTER TABLE Links ADD COLUMN Tag TEXT DEFAULT 'x'; CREATE INDEX Tg ON Links (Tag)"})},
      {"sound, auto-vacuum", kSound, Steps({"PRAGMA auto_vacuum = FULL; VACUUM"})},
      {"sound, UTF-16", kSound,
       [](P p) {
         std::filesystem::remove(p);
         Sql(p, "PRAGMA encoding = 'UTF-16le'; CREATE TABLE x (a); DROP TABLE x;");
         MakeSound(p);
       }},
      {"index leaf smashed", kDamaged, [](P p) { FillPage(p, PagesOf(p, "U", "leaf").at(1), 9); }},
      {"overflow zeroed", kDamaged,
       [](P p) { FillPage(p, PagesOf(p, "Links", "overflow").at(1), 0); }},
      {"file cut short", kDamaged, [](P p) { std::filesystem::resize_file(p, 40 * kPage + 100); }},
      {"NULL in a NOT NULL column", kDamaged,
       Steps({Edit("Links", " NOT NULL", ""), "UPDATE Links SET Url = NULL WHERE ID = 3;" +
                                                  Edit("Links", "Url TEXT", "Url TEXT NOT NULL")})},
      {"index misses a row", kDamaged, Behind("H", add)},
      {"index keeps a deleted row", kDamaged, Behind("H", "DELETE FROM Links WHERE ID = 5")},
      {"index at another row", kDamaged, Behind("H", "UPDATE Links SET ID = 90000 WHERE ID = 7")},
      {"index: old 2nd column", kDamaged, Behind("H", "UPDATE Links SET Depth = 99 WHERE ID = 9")},
      {"WITHOUT ROWID index: old value", kDamaged,
       Behind("Settings_Value", "UPDATE Settings SET Value = 'x' WHERE Name = 'Option3'")},
      {"WITHOUT ROWID index: old key", kDamaged,
       Behind("Settings_Value", "UPDATE Settings SET Name = 'Renamed' WHERE Name = 'Option3'")},
      {"WITHOUT ROWID index out of order", kDamaged,
       Steps({"CREATE INDEX T2 ON Settings (Value DESC);" + Edit("T2", "Value DESC", "Value")})},
      {"partial index misses a row", kDamaged, Behind("D", add, partial)},
      {"unique index, duplicate key", kDamaged,
       Steps({"CREATE INDEX D ON Links (Depth);" + Edit("D", "INDEX", "UNIQUE INDEX")})},
      {"index out of order", kDamaged,
       Steps({"CREATE INDEX T ON Links (Host);" + Edit("T", "(Host)", "(Host COLLATE BINARY)")})},
      {"two tables on one root", kDamaged,
       Steps({"CREATE TABLE Copy (ID INTEGER PRIMARY KEY, Url, Host, Depth, Body)",
              "UPDATE sqlite_schema SET rootpage = (SELECT rootpage FROM sqlite_schema WHERE "
              "name = 'Links') WHERE name = 'Copy'"})},
      // The header's field at 32 names the first freelist trunk page, at 36 counts free pages.
      {"trunk page smashed", kOnlyWeSeeIt,
       [](P p) { FillPage(p, BigEndian32(ReadAll(p), 32), 0xff); }},
      {"header claims one free page more than the freelist holds", kOnlyWeSeeIt,
       [](P p) { PageFields(p).Put(1, 36, PageFields(p).FreeCount() + 1); }},
      {"WAL mode, trunk page smashed", kOnlyWeSeeIt,
       [](P p) {
         Sql(p, "PRAGMA journal_mode = WAL");
         FillPage(p, BigEndian32(ReadAll(p), 32), 0xff);
       }},
      {"WAL mode, trunk page smashed, a commit in the log", kOnlyWeSeeIt,
       [](P p) {
         // The log and the file as a crash leaves them: the log's commit not yet copied
         // into the file, which SQLite does when the last connection closes.
         sqlite3* open = nullptr;
         ASSERT_EQ(sqlite3_open(p.c_str(), &open), SQLITE_OK);
         sqlite3_exec(open,
                      "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                      "INSERT INTO Settings VALUES ('FromTheLog', 'yes')",
                      nullptr, nullptr, nullptr);
         std::filesystem::copy_file(p, p + ".crash");
         std::filesystem::copy_file(p + "-wal", p + ".crash-wal");
         sqlite3_close(open);
         ASSERT_GT(std::filesystem::file_size(p + ".crash-wal"), 32u);
         std::filesystem::rename(p + ".crash", p);
         std::filesystem::rename(p + ".crash-wal", p + "-wal");
         FillPage(p, BigEndian32(ReadAll(p), 32), 0xff);
       }},
      {"free pages lost", kOnlyWeSeeIt, [](P p) { OverwriteAt(p, 32, std::string(8, '\0')); }},
      {"torn commit: freelist, not tree", kOnlyWeSeeIt,
       [](P p) {
         std::filesystem::copy_file(p, p + ".after");
         Sql(p + ".after", "DELETE FROM Links WHERE ID BETWEEN 100 AND 700");
         std::string done = ReadAll(p + ".after");
         for (uint32_t page : {uint32_t{1}, BigEndian32(done, 32)})
           OverwriteAt(p, (page - 1) * kPage, done.substr((page - 1) * kPage, kPage));
       }},
  };
  TempDir dir;
  for (const auto& [what, verdict, damage] : cases) {
    SCOPED_TRACE(what);
    const std::string path = dir.File(std::string(what) + ".db");
    MakeSound(path);
    damage(path);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    HealthVerdict ours = CheckDatabaseHealth(db, path, [](uint64_t, uint64_t) {});
    HealthVerdict reference = IntegrityCheckVerdict(db);
    sqlite3_close(db);
    EXPECT_EQ(ours.healthy, verdict == kSound) << ours.problem;
    EXPECT_EQ(reference.healthy, verdict != kDamaged) << reference.problem;
    if (verdict != kDamaged) {  // the repair must not trust SQLite's word alone here
      // The trees are sound in all these files: every row comes back.
      const auto links = RowSet(path, "Links"), settings = RowSet(path, "Settings");
      DBEngine().RepairDatabase(path);
      EXPECT_EQ(std::filesystem::exists(path + ".damaged"), verdict == kOnlyWeSeeIt);
      EXPECT_EQ(RowSet(path, "Links"), links);
      EXPECT_EQ(RowSet(path, "Settings"), settings);
      sqlite3* again = nullptr;
      ASSERT_EQ(sqlite3_open_v2(path.c_str(), &again, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
      EXPECT_TRUE(CheckDatabaseHealth(again, path, {}).healthy);
      sqlite3_close(again);
    }
  }
}

// The index comparison sees a changed entry only through the hash of its values: a change
// of any one byte, at any place in a value of any length, must change it, and so must the
// length itself.
TEST(HealthCheck, ValueHashSeesEveryByteAndTheLength) {
  std::vector<uint8_t> bytes(48);
  for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<uint8_t>(k * 37 + 11);
  for (size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    const uint64_t whole = pagefile::FoldBytes(7, bytes.data(), n);
    EXPECT_NE(whole, pagefile::FoldBytes(7, bytes.data(), n + 1));
    for (size_t at = 0; at < n; ++at)
      for (int bit = 0; bit < 8; ++bit) {
        std::vector<uint8_t> changed(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(n));
        changed[at] ^= static_cast<uint8_t>(1 << bit);
        EXPECT_NE(whole, pagefile::FoldBytes(7, changed.data(), n)) << at << "/" << bit;
      }
  }
}

}  // namespace
}  // namespace tidewell::engine
