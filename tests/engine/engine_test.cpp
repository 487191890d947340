// The engine on real files: what copies keep, the number each refusal carries, who may open
// a file another holds, and what damage, repair and compaction leave behind.
#include "engine/engine.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <set>
#include <thread>

#include "engine/file_system.h"
#include "tests/support/child_process.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/support/faulty_vfs.h"
#include "tests/support/files.h"
#include "tests/support/queries.h"

namespace tidewell::engine {
namespace {

using namespace tidewell::testing;
namespace fs = std::filesystem;
using Calls = std::vector<std::function<void()>>;
const std::string kLocale(kGeneralLocale);
constexpr int kBigRows = 1200;

const auto Rows = [](Database& db, const char* t) { return db.OpenTable(t)->RecordCount(); };

// Everything a definition says, as one comparable text.
std::string Describe(const TableDef& t) {
  std::string out = t.Name + ":";
  for (const Field& f : t.FieldList())
    out += " " + f.Name + "/" + std::to_string(f.Type) + "/" + std::to_string(f.Size) + "/" +
           std::to_string(f.Attributes) + (f.AllowZeroLength ? "z" : "");
  for (const Index& i : t.IndexList())
    out += " " + i.Name + (i.Primary ? "/P" : "/") + (i.Unique ? "U/" : "/") + i.Fields;
  return out;
}

std::string MakeTable(const std::string& to, const std::string& file, const std::string& from) {
  return "SELECT * INTO [" + to + "] IN '" + file + "' FROM [" + from + "]";
}

// One field of every type, with sizes, attributes and zero-length settings that differ.
constexpr int32_t kFixed = dbFixedField, kVariable = dbVariableField;
const std::vector<Field> kRich(
    {Field("Flag", dbBoolean, 1, kFixed), Field("Small", dbByte, 1, kFixed),
     Field("Count", dbInteger, 2, kFixed | dbUpdatableField),
     Field("ID", dbLong, 4, kFixed | dbAutoIncrField), Field("Price", dbCurrency, 8, kFixed),
     Field("Ratio", dbSingle, 4, kFixed), Field("Score", dbDouble, 8, kFixed),
     Field("Checked", dbDate, 8, kFixed), Field("Hash", dbBinary, 16, kFixed),
     Field("Url", dbText, 200, kVariable, true), Field("Blob", dbLongBinary, 0, kVariable),
     Field("Body", dbMemo, 0, kVariable, true), Field("Guid", dbGUID, 16, kFixed)});
const std::vector<Index> kRichIndexes({Index("PrimaryKey", true, false, "+ID"),
                                       Index("Url", false, true, "+Url"),
                                       Index("Recent", false, false, "-Checked;+Url;-Score")});
const Field kName{"Name", dbText, 50, kVariable, true};

// Big: every type of field and three indexes over many pages; Small: three rows.
class EngineFile : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = DBEngine().CreateDatabase(path_, kLocale, 32);
    db->TableDefs().Append(Def("Big", kRich, kRichIndexes));
    db->TableDefs().Append(Def("Small", {kName}));
    db->Execute(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1200) "
        "INSERT INTO Big (ID, Url) SELECT i, printf('https://example.com/%05d/%s', i, "
        "substr(hex(randomblob(80)), 1, 150)) FROM n;"
        "INSERT INTO Small VALUES ('a'), ('b'), ('c')");
    db->Close();
  }
  TempDir dir_;
  std::string path_ = dir_.File("data.mdb"), copy_ = dir_.File("c.mdb"), made_ = dir_.File("m.mdb");
};

// The compacted copy keeps every definition and row and is smaller; a make-table copy keeps
// the columns and rows but no index, and shows in its target, open all along. Each refusal
// has its own number and leaves no trace; a closed database refuses every call.
TEST_F(EngineFile, CopiesKeepWhatTheyShouldAndRefusalsLeaveNoTrace) {
  Sql(path_, "DELETE FROM Big WHERE ID % 2 = 0");
  const std::string before = ReadAll(path_);
  std::pair<uint64_t, uint64_t> last;
  DBEngine().SetProgress([&](std::string_view, uint64_t d, uint64_t t) { last = {d, t}; });
  DBEngine().CompactDatabase(path_, copy_, kLocale, 16);
  DBEngine().SetProgress({});
  EXPECT_EQ(ReadAll(path_), before);
  EXPECT_LT(fs::file_size(copy_), before.size());
  EXPECT_EQ(QueryInt(copy_, "PRAGMA freelist_count"), 0);
  EXPECT_EQ(QueryInt(copy_, "PRAGMA user_version"), 16);
  EXPECT_EQ(QueryInt(copy_, "PRAGMA application_id"), (1252 << 16) | 0x0409);
  EXPECT_TRUE(last.first == last.second && last.first > 0);
  auto target = DBEngine().CreateDatabase(made_, kLocale, 32);
  auto db = DBEngine().OpenDatabase(copy_);
  db->Execute(MakeTable("Big", made_, "Big"));
  db->Execute(MakeTable("Copy", made_, "Small"));
  target->Execute("DELETE FROM Copy");
  db->Execute("INSERT INTO Small VALUES ('a')");
  TableDef big = db->TableDefs().Item("BIG"), small = db->TableDefs().Item("small");
  const Field depth{"Depth", dbInteger, 2, kFixed};
  const Index down{"Down", false, false, "-Name;+Depth"};
  small.Fields().Append(depth);  // on a table with rows
  small.Indexes().Append(down);
  const std::vector<std::pair<int32_t, std::function<void()>>> refusals = {
      {kErrTableExists, [&] { db->TableDefs().Append(Def("big", {depth})); }},
      {kErrObjectExists, [&] { big.Indexes().Append(Index("primarykey", false, false, "+Url")); }},
      {kErrPrimaryExists, [&] { big.Indexes().Append(Index("Other", true, true, "+Url")); }},
      {kErrFieldMissing, [&] { big.Indexes().Append(Index("Missing", false, false, "+Nope")); }},
      {kErrDuplicateKey, [&] { small.Indexes().Append(Index("Unique", false, true, "+Name")); }},
      {kErrObjectExists, [&] { big.Fields().Append(Field("URL", dbText, 9, 2, true)); }},
      {kErrInvalidType, [&] { big.Fields().Append(Field("Odd", 99, 4, 1, false)); }},
      {kErrInvalidName, [&] { db->TableDefs().Append(Def("Sqlite_Mine", {depth})); }},
      {kErrItemNotFound, [&] { small.Fields().Item(2); }},
      {kErrDuplicateKey, [&] { db->Execute("INSERT INTO Big (ID) VALUES (1)"); }},
      {kErrNoCurrentRecord, [&] { target->OpenTable("copy")->MoveLast(); }},
      {kErrTableExists, [&] { db->Execute(MakeTable("copy", made_, "Small")); }},
      {kErrSyntax, [&] { db->Execute(MakeTable("A]B", made_, "Small")); }},
      {kErrFileNotFound, [&] { db->Execute(MakeTable("S", dir_.File("none"), "Small")); }},
      {kErrNoSuchTable, [&] { db->Execute("DELETE FROM [Copy]"); }},  // the target's table
  };
  for (size_t i = 0; i < refusals.size(); ++i)
    EXPECT_EQ(ErrorOf(refusals[i].second), refusals[i].first) << "refusal " << i;
  EXPECT_EQ(Describe(db->TableDefs().Item(1)), Describe(Def("Small", {kName, depth}, {down})));
  EXPECT_EQ(db->TableDefs().Count() + target->TableDefs().Count(), 4);
  for (auto* d : {db.get(), target.get()}) {
    EXPECT_EQ(Rows(*d, "Big"), kBigRows / 2);
    auto indexes = d == db.get() ? kRichIndexes : std::vector<Index>{};
    EXPECT_EQ(Describe(d->TableDefs().Item(0)), Describe(Def("Big", kRich, indexes)));
  }
  db->Close();
  for (const auto& call : Calls{[&] { db->Execute("SELECT 1"); }, [&] { db->TableDefs().Count(); },
                                [&] { NotOpenDatabase()->OpenTable("Big"); }})
    EXPECT_EQ(ErrorOf(call), kErrNotOpen);
}

// A file copy goes in steps that the disk is handed one by one; every step, and the odd end
// after the last, must arrive.
TEST(EngineFiles, ACopyOfManyStepsKeepsEveryByte) {
  TempDir dir;
  std::string bytes((65 << 20) + 4097, '\0');
  for (size_t i = 0; i < bytes.size(); i += 512) bytes[i] = static_cast<char>(i / 512 * 7);
  WriteAll(dir.File("from"), bytes);
  ASSERT_FALSE(RealFiles().Copy(dir.File("from"), dir.File("to")));
  EXPECT_TRUE(ReadAll(dir.File("to")) == bytes);
}

// A repair told that a compaction follows leaves a compacted copy beside the sound file;
// the compaction takes it only while the file is as the repair found it. The check runs
// on a thread of its own meanwhile, but its progress comes on the caller's, a window's.
TEST_F(EngineFile, TheCopyMadeBesideARepairIsTakenOnlyWhileTheFileIsUnchanged) {
  for (bool written : {false, true}) {
    fs::remove(copy_);
    DBEngine().CompactionFollows(path_);
    std::set<std::thread::id> callers;
    uint64_t last = 0, total = 1;
    DBEngine().SetProgress([&](std::string_view, uint64_t d, uint64_t t) {
      callers.insert(std::this_thread::get_id());
      last = d, total = t;
    });
    DBEngine().RepairDatabase(path_);
    DBEngine().SetProgress({});
    EXPECT_EQ(callers, std::set{std::this_thread::get_id()});
    EXPECT_EQ(last, total);
    EXPECT_TRUE(fs::exists(path_ + ".repairing"));
    if (written) Sql(path_, "INSERT INTO Small VALUES ('d')");
    DBEngine().CompactDatabase(path_, copy_, kLocale, 16);
    EXPECT_FALSE(fs::exists(path_ + ".repairing"));
    EXPECT_EQ(QueryInt(copy_, "SELECT count(*) FROM Small"), written ? 4 : 3);
    EXPECT_EQ(QueryInt(copy_, "PRAGMA user_version"), 16);
  }
}

// A reading handed to the next repair is taken by that repair only if it is of the same
// file, and then once, with the file as the repair found it, sound or damaged, whether a
// copy is made beside the check or not: before a damaged file is replaced, on a connection
// that can count what the file holds.
TEST_F(EngineFile, AReadingBeforeARepairSeesTheFileAsTheRepairFoundIt) {
  fs::copy_file(path_, made_);
  int calls = 0;
  DBEngine().ReadBeforeRepair(path_, [&](Database&) { ++calls; });
  DBEngine().RepairDatabase(made_);
  DBEngine().RepairDatabase(path_);
  EXPECT_EQ(calls, 0);
  const uint64_t page = static_cast<uint64_t>(QueryInt(path_, "PRAGMA page_size"));
  const std::string sound = ReadAll(path_);
  for (bool damaged : {false, true})
    for (bool copy_beside : {false, true}) {
      calls = 0;
      WriteAll(path_, sound);
      fs::remove(path_ + ".damaged");
      if (damaged) OverwriteAt(path_, sound.size() / 2 / page * page, std::string(page, 'Z'));
      const std::string found = ReadAll(path_);
      std::string seen;
      int32_t small = -1;
      if (copy_beside) DBEngine().CompactionFollows(path_);
      DBEngine().ReadBeforeRepair(path_, [&](Database& db) {
        ++calls;
        seen = ReadAll(path_);
        small = db.OpenTable("Small")->RecordCount();
      });
      DBEngine().RepairDatabase(path_);
      const std::string what = std::to_string(damaged) + std::to_string(copy_beside);
      EXPECT_EQ(calls, 1) << what;
      EXPECT_TRUE(seen == found) << what;
      EXPECT_EQ(small, 3) << what;
      EXPECT_EQ(fs::exists(path_ + ".damaged"), damaged) << what;
      EXPECT_EQ(ReadAll(path_) == found, !damaged) << what;
    }
}

// A copy that cannot be written whole on a full disk fails and leaves neither its file nor
// the journal SQLite kept for it, which the next copy of that name would take for its own.
// The original is untouched.
TEST_F(EngineFile, ACopyThatCannotBeWrittenLeavesNoFileAndNoJournal) {
  // More than SQLite's page cache holds: the copy then spills pages while it is written,
  // and keeps a journal for that.
  Sql(path_, "INSERT INTO Small SELECT hex(randomblob(2000)) FROM Big, (SELECT 1 UNION SELECT 2)");
  const std::string original = ReadAll(path_);
  {
    FullDisk full(dir_.File(""), static_cast<sqlite3_int64>(original.size() / 2));
    DBEngine().CompactionFollows(path_);
    DBEngine().RepairDatabase(path_);  // sound: its copy beside the check fails quietly
    EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, copy_); }), kErrDiskIo);
  }
  for (const std::string& left :
       {path_ + ".repairing", path_ + ".repairing-journal", copy_, copy_ + "-journal"})
    EXPECT_FALSE(fs::exists(left)) << left;
  EXPECT_EQ(ReadAll(path_), original);

  // Room for all but the last few pages, or just enough: the copy fails and leaves nothing,
  // or it is the copy a roomy disk gets, byte for byte. Its writes are gathered, and the
  // last of them are made only as SQLite closes it.
  DBEngine().CompactDatabase(path_, copy_);
  const std::string whole = ReadAll(copy_);
  fs::remove(copy_);
  int failed = 0, tries = 0;
  for (size_t room = whole.size() - 12 * 4096; room <= whole.size() + 12 * 4096; room += 2048) {
    ++tries;
    int32_t error = 0;
    {
      FullDisk full(dir_.File(""), static_cast<sqlite3_int64>(room));
      error = ErrorOf([&] { DBEngine().CompactDatabase(path_, copy_); });
    }
    if (error != 0) {
      ++failed;
      EXPECT_EQ(error, kErrDiskIo) << room;
      EXPECT_FALSE(fs::exists(copy_)) << room;
    } else {
      EXPECT_EQ(ReadAll(copy_), whole) << room;
    }
    fs::remove(copy_);
    fs::remove(copy_ + "-journal");
  }
  EXPECT_GT(failed, 0);
  EXPECT_LT(failed, tries);  // some had room enough
}

// A transaction covers every open database, structure changes included. Closing any
// descriptor of a file drops the process's POSIX locks on it: another open and close of the
// file must not let a writer elsewhere in before the commit.
TEST_F(EngineFile, TransactionsCoverEveryOpenDatabaseAndKeepTheirLocks) {
  auto a = DBEngine().OpenDatabase(path_);
  auto b = DBEngine().CreateDatabase(made_, kLocale, 0);
  DBEngine().BeginTrans();
  b->TableDefs().Append(Def("Small", {kName}));
  for (auto* db : {a.get(), b.get()}) db->Execute("INSERT INTO Small VALUES ('d')");
  DBEngine().OpenDatabase(path_)->Close();
  Files().SyncFile(path_);
  // SQLite's reserved-lock byte is still held, as a process holding nothing sees it. (A forked
  // child's SQLite would trust the lock state it inherited instead of asking.)
  const auto reserved_held = [&] {
    struct flock fl = {F_WRLCK, SEEK_SET, 0x40000001, 1, 0};  // type, whence, start, length, pid
    const int fd = ::open(path_.c_str(), O_RDONLY);
    return ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type == F_WRLCK ? 0 : 1;
  };
  EXPECT_EQ(RunInChild(reserved_held).exit_code, 0);
  EXPECT_EQ(QueryInt(path_, "SELECT count(*) FROM Small"), 3);  // unseen before the commit
  DBEngine().CommitTrans(dbForceOSFlush);
  EXPECT_EQ(
      QueryInt(path_, "SELECT count(*) FROM Small") + QueryInt(made_, "SELECT count(*) FROM Small"),
      5);
  EXPECT_EQ(ErrorOf([&] { DBEngine().CommitTrans(dbForceOSFlush); }), kErrNoTransaction);
}

TEST_F(EngineFile, WhatIsNoDatabaseFailsWithItsNumberAndIsLeftAsItIs) {
  std::string catalog = ReadAll(path_), junk(20000, 'j');
  WriteAll(made_, "keep me");
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, made_); }), kErrDatabaseExists);
  EXPECT_EQ(ReadAll(made_), "keep me");
  EXPECT_EQ(ErrorOf([&] { DBEngine().OpenDatabase(dir_.File("none")); }), kErrFileNotFound);
  EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(dir_.File("none")); }), kErrFileNotFound);
  // Whatever breaks the start of the file, every open and a compaction say "not a database".
  catalog.replace(100, PageSizeOf(path_) - 100, PageSizeOf(path_) - 100, '\xee');
  for (const std::string& bytes : {catalog, std::string(), junk}) {
    WriteAll(path_, bytes);
    for (const auto& call : Calls{[&] { DBEngine().OpenDatabase(path_); },
                                  [&] { DBEngine().OpenDatabase(path_, true); },
                                  [&] { DBEngine().CompactDatabase(path_, copy_); }})
      EXPECT_EQ(ErrorOf(call), kErrNotADatabase) << bytes.size();
    EXPECT_FALSE(fs::exists(copy_));
  }
  EXPECT_EQ(ErrorOf([&] { DBEngine().RepairDatabase(path_); }), kErrCannotRepair);
  EXPECT_EQ(ReadAll(path_), junk);
  EXPECT_FALSE(fs::exists(path_ + ".damaged") || fs::exists(path_ + ".repairing"));
}

// A damaged index leaves the count alone. A damaged table: compaction refuses it, and a repair
// killed at any file step leaves the damaged original or the repaired file under the name; the
// finished repair keeps the original beside it and every row but the broken page's.
TEST_F(EngineFile, ADamagedTableIsRepairedFromEveryReadableRowWhereverTheRepairIsKilled) {
  FillPage(path_, PagesOf(path_, "tw$3$Big$2$Url", "leaf").at(0), 0);
  EXPECT_EQ(Rows(*DBEngine().OpenDatabase(path_), "Big"), kBigRows);  // not counted by an index
  const uint32_t leaf = PagesOf(path_, "Big", "leaf").at(20);         // one in the middle
  const int64_t lost = int64_t(Cells(path_, leaf));
  FillPage(path_, leaf, 0);
  const std::string damaged = ReadAll(path_);
  auto db = DBEngine().OpenDatabase(path_);
  EXPECT_EQ(ErrorOf([&] { db->OpenTable("Big"); }), kErrTableDamaged);
  EXPECT_EQ(Rows(*db, "Small"), 3);
  db->Close();
  EXPECT_EQ(ErrorOf([&] { DBEngine().CompactDatabase(path_, copy_); }), kErrNotADatabase);
  EXPECT_FALSE(fs::exists(copy_));
  bool finished = false;
  for (int die_at = 1; die_at <= 20 && !finished; ++die_at) {
    SCOPED_TRACE("killed at step " + std::to_string(die_at));
    for (const char* suffix : {".damaged", ".repairing"}) fs::remove(path_ + suffix);
    WriteAll(path_, damaged);
    WriteAll(path_ + ".damaged", "an older damaged copy");
    const ChildResult r = RunInChild([&] {
      FaultyFiles files;
      files.KillAt(die_at);
      return DBEngine().RepairDatabase(path_), 0;
    });
    ASSERT_TRUE(r.exited || r.signal == SIGKILL);
    finished = r.exited && r.exit_code == 0;
    // Whatever the moment, the name holds the damaged original or the whole repaired file.
    EXPECT_TRUE(ReadAll(path_) == damaged ||
                Rows(*DBEngine().OpenDatabase(path_), "Big") == kBigRows - lost);
  }
  ASSERT_TRUE(finished);
  EXPECT_EQ(ReadAll(path_ + ".damaged"), damaged);
  EXPECT_FALSE(fs::exists(path_ + ".repairing"));
  EXPECT_EQ(QueryInt(path_, "SELECT integrity_check = 'ok' FROM pragma_integrity_check"), 1);
  db = DBEngine().OpenDatabase(path_);
  EXPECT_EQ(Describe(db->TableDefs().Item(0)), Describe(Def("Big", kRich, kRichIndexes)));
}

// A file another program wrote keeps what its header says through a compaction and through
// a repair that rebuilds it: the program's own id and version, the page size, the text
// encoding, the vacuum mode and the bytes it keeps free at the end of each page.
TEST(EngineForeignFile, CompactionAndSalvageKeepItsHeader) {
  TempDir dir;
  const std::string path = dir.File("theirs.db"), copy = dir.File("copy.db");
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  int reserve = 8;
  sqlite3_exec(db, "PRAGMA page_size = 8192", nullptr, nullptr, nullptr);
  sqlite3_file_control(db, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve);
  ASSERT_EQ(sqlite3_exec(db,
                         "PRAGMA encoding = 'UTF-16be'; PRAGMA auto_vacuum = INCREMENTAL; "
                         "PRAGMA user_version = 42; PRAGMA application_id = 1234567; "
                         "CREATE TABLE t(id INTEGER PRIMARY KEY, s TEXT); WITH RECURSIVE n(i) AS "
                         "(SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 4000) INSERT INTO t "
                         "SELECT i, printf('%0100d', i) FROM n",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  const std::string header =
      "SELECT (SELECT page_size FROM pragma_page_size) || ' ' || (SELECT encoding FROM "
      "pragma_encoding) || ' ' || (SELECT auto_vacuum FROM pragma_auto_vacuum) || ' ' || (SELECT "
      "user_version FROM pragma_user_version) || ' ' || (SELECT application_id FROM "
      "pragma_application_id)";
  const std::vector<std::string> expected = {"3:8192 UTF-16be 2 42 1234567|"};
  auto reserved = [](const std::string& file) { return ReadAll(file).at(20); };
  DBEngine().CompactDatabase(path, copy, kLocale);
  EXPECT_EQ(Query(copy, header), expected);
  EXPECT_EQ(reserved(copy), 8);
  FillPage(path, PagesOf(path, "t", "leaf").at(3), 0);
  DBEngine().RepairDatabase(path);
  ASSERT_TRUE(fs::exists(path + ".damaged"));
  EXPECT_EQ(Query(path, header), expected);
  EXPECT_EQ(reserved(path), 8);
}

// A crash leaves part of the committed content in a hot journal or a write-ahead log. With
// the file's first bytes smashed, the repair still reads the file as SQLite would, through
// the journal (its transaction never committed) or the log up to its last valid commit,
// keeps the companion with the damaged original, and leaves none beside the repaired file,
// where SQLite would play the old pages into it.
TEST(EngineCrashState, TheRepairReadsTheFileThroughItsJournalOrLogAndTakesThemAlong) {
  struct Case {
    const char *companion, *setup, *change;
    bool flip_first_frame;  // its checksum then fails, and with it every later frame
    const char* kept;       // the values the repaired rows must hold
  };
  for (const Case& c :
       {Case{"-journal", "PRAGMA cache_size = 2", "BEGIN; UPDATE t SET v = -v", false, "id"},
        Case{"-wal", "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0",
             "UPDATE t SET v = -v; PRAGMA cache_size = 2; BEGIN; UPDATE t SET v = 0", false, "-id"},
        Case{"-wal", "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0",
             "UPDATE t SET v = -v", true, "id"}}) {
    SCOPED_TRACE(std::string(c.companion) + " " + c.change);
    TempDir dir;
    const std::string path = dir.File("data.mdb"), live = dir.File("live.mdb");
    Sql(live,
        "CREATE TABLE t(id INTEGER PRIMARY KEY, v INT, s TEXT); WITH RECURSIVE n(i) AS (SELECT 1 "
        "UNION ALL SELECT i + 1 FROM n WHERE i < 3000) INSERT INTO t SELECT i, i, "
        "printf('%0200d', i) FROM n");
    sqlite3* db = nullptr;
    sqlite3_open(live.c_str(), &db);
    ASSERT_EQ(sqlite3_exec(db, c.setup, nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, c.change, nullptr, nullptr, nullptr), SQLITE_OK);
    fs::copy_file(live, path);  // the files as a crash leaves them
    fs::copy_file(live + c.companion, path + c.companion);
    sqlite3_close(db);
    if (c.flip_first_frame) OverwriteAt(path + c.companion, 32 + 24 + 1000, "!");
    OverwriteAt(path, 0, std::string(16, 'x'));
    DBEngine().RepairDatabase(path);
    EXPECT_FALSE(fs::exists(path + c.companion));
    EXPECT_EQ(fs::exists(path + ".damaged" + c.companion), fs::exists(path + ".damaged"));
    EXPECT_EQ(QueryInt(path, std::string("SELECT count(*) FROM t WHERE v = ") + c.kept), 3000);
    EXPECT_EQ(QueryInt(path, "SELECT integrity_check = 'ok' FROM pragma_integrity_check"), 1);
  }
}

}  // namespace
}  // namespace tidewell::engine
