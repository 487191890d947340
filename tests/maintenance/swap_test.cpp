// The compaction and the regeneration both put a new copy of the database P in its place and
// keep the old file as backup K. What they leave on disk when they succeed, fail, are killed,
// or find P changed or held; then what each of them asks and shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "maintenance/dbReorg.h"
#include "maintenance/modTidewell.h"
#include "tests/support/child_process.h"
#include "tests/support/crawl_tables.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using namespace testing;

const std::string kOlder = "an older backup";

std::string Digest(const std::string& path) {
  return DigestOf(path, "Links");
}
std::vector<std::string> Texts(const ScriptedHost& host) {
  std::vector<std::string> texts;
  for (const HostCall& box : host.Boxes()) texts.push_back(box.text);
  return texts;
}

// A database P as the crawler leaves it: "Links" with every other row deleted, so that a new
// copy is told from P by its free pages, and "Hosts".
struct Seed {
  Seed(const std::string& file, int rows, int url_bytes) : path(file) {
    MakeDatabase(path, {{"Links", rows}, {"Hosts", 2}}, url_bytes);
    auto db = engine::DBEngine().OpenDatabase(path);
    db->Execute("DELETE FROM [Links] WHERE ID % 2 = 0");
    db->Close();
    digest = Digest(path);
    bytes = ReadAll(path);
  }
  std::string path, digest, bytes;
};

struct Swap {
  const char* name;
  bool (*run)(Host& host, const std::string& p);
  std::string (*backup)(const std::string& p);
  std::string (*leftover)(const std::string& p);  // gone once a run succeeded
};
const Swap kCompaction{"Compaction",
                       [](Host& h, const std::string& p) { return dbReorg(h, p, 0, 0, 0) == 0; },
                       [](const std::string& p) { return ReorgNamesFor(p).backup; },
                       [](const std::string& p) { return ReorgNamesFor(p).temp; }};
const Swap kRegeneration{"Regeneration",
                         [](Host& h, const std::string& p) {
                           std::string error;
                           dbRegenerate(h, p, 3, error);
                           return error.empty();
                         },
                         [](const std::string& p) { return RegenerateNamesFor(p).backup; },
                         [](const std::string& p) { return RegenerateNamesFor(p).swap; }};

// After a failure or a kill P holds every row, and the old file is kept once P was replaced; a
// rerun then puts a complete new copy in place with every row also in K.
void ExpectRecoverable(const Swap& swap, const std::string& p, const Seed& seed,
                       const std::string& where) {
  const std::string k = swap.backup(p);
  EXPECT_EQ(Digest(p), seed.digest) << where;
  if (ReadAll(p) != seed.bytes) {
    EXPECT_EQ(ReadAll(k), seed.bytes) << where;
  }
  ScriptedHost host;
  EXPECT_TRUE(swap.run(host, p)) << where;
  EXPECT_EQ(Digest(p), seed.digest) << where;
  EXPECT_EQ(FreePages(p), 0u) << where;
  EXPECT_EQ(Digest(k), seed.digest) << where;
  EXPECT_FALSE(std::filesystem::exists(swap.leftover(p))) << where;
}

class Swaps : public ::testing::TestWithParam<Swap> {
 protected:
  void SetUp() override { Fresh(); }
  // P as the seed, K an older backup, and nothing else.
  void Fresh() {
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
      std::filesystem::remove_all(entry.path());
    WriteAll(p_, seed_.bytes);
    WriteAll(k_, kOlder);
  }
  bool Run(Host& host) { return GetParam().run(host, p_); }

  TempDir seed_dir_, dir_;
  const Seed seed_{seed_dir_.File("seed.mdb"), 400, 200};
  const std::string p_ = dir_.File("site.mdb"), k_ = GetParam().backup(p_);
};

// A database named like its own backup has no second name for the old file; one killed
// inside a transaction is rolled back first. Either way every committed row stays.
TEST_P(Swaps, NamedLikeItsBackupOrWithAHotJournal) {
  ScriptedHost host;
  WriteAll(k_, seed_.bytes);
  EXPECT_TRUE(GetParam().run(host, k_));
  EXPECT_EQ(Digest(k_), seed_.digest);
  EXPECT_EQ(FreePages(k_), 0u);
  Fresh();
  ASSERT_TRUE(LeaveHotJournal(p_, "DELETE FROM Links"));
  EXPECT_TRUE(Run(host));
  EXPECT_FALSE(std::filesystem::exists(p_ + "-journal"));
  EXPECT_EQ(Digest(k_), seed_.digest);
  EXPECT_EQ(Digest(p_), seed_.digest);
  EXPECT_EQ(FreePages(p_), 0u);
}

// A crawler commits a row to P after the copy was taken, then another program holds P open:
// the copy must not replace P, or the row or that program's later writes would be only in the
// backup. Once P is free again, the next run does the job.
TEST_P(Swaps, AChangedOrHeldDatabaseStaysInPlace) {
  int commits = 0;
  {
    FaultyEngine engine;  // the swap opens P once more, exclusively, before it compares
    engine.OnCall("OpenDatabase", [&](int call) {
      sqlite3* conn = nullptr;
      sqlite3_open(p_.c_str(), &conn);
      const std::string insert = "INSERT INTO Links VALUES (" + std::to_string(call) + "0, 'x')";
      commits += sqlite3_exec(conn, insert.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(conn);
    });
    ScriptedHost host;
    EXPECT_TRUE(Run(host));
  }
  EXPECT_GE(commits, 1);
  EXPECT_EQ(RowCount(p_, "Links"), 200 + commits);
  EXPECT_EQ(ReadAll(k_), kOlder);

  Fresh();
  DatabaseHolder holder(p_, DatabaseHolder::kEngineShared);
  ASSERT_TRUE(holder.Holding());
  ScriptedHost host;
  EXPECT_TRUE(Run(host));
  holder.Stop();
  EXPECT_EQ(ReadAll(p_), seed_.bytes);
  EXPECT_EQ(ReadAll(k_), kOlder);
  ExpectRecoverable(GetParam(), p_, seed_, "after the holder let go");
}

// A run that succeeds; then every file operation in turn fails, then kills the process before
// it touches the disk.
TEST_P(Swaps, NoFailingOrKilledFileStepLosesTheDatabase) {
  WriteAll(GetParam().leftover(p_), "half a copy from a run that was killed");
  int steps = 0;
  {
    FaultyFiles counter;
    ScriptedHost host;
    ASSERT_TRUE(Run(host));
    EXPECT_TRUE(host.Boxes().empty());
    EXPECT_EQ(ReadAll(k_), seed_.bytes);
    steps = counter.Count();
  }
  ExpectRecoverable(GetParam(), p_, seed_, "a run without faults");
  ASSERT_GE(steps, 5);  // remove the leftover, link K, rename, sync the folder...
  int replaced = 0;
  for (int k = 1; k <= steps; ++k) {
    Fresh();
    {
      FaultyFiles faulty;
      faulty.FailAt(k, EIO);
      ScriptedHost host;
      Run(host);
    }
    replaced += ReadAll(p_) != seed_.bytes;
    // The compaction makes the backup a file of its own when the rename fails.
    struct stat pst {
    }, kst{};
    if (GetParam().name == std::string("Compaction") && !::stat(p_.c_str(), &pst) &&
        !::stat(k_.c_str(), &kst)) {
      EXPECT_NE(pst.st_ino, kst.st_ino) << "failing file operation " << k;
    }
    ExpectRecoverable(GetParam(), p_, seed_, "failing file operation " + std::to_string(k));

    Fresh();
    const ChildResult child = RunInChild([&] {
      FaultyFiles faulty;
      faulty.KillAt(k);
      ScriptedHost host;
      Run(host);
      return 0;
    });
    EXPECT_TRUE(child.killed && child.signal == SIGKILL) << "killed at file operation " << k;
    ExpectRecoverable(GetParam(), p_, seed_, "killed at file operation " + std::to_string(k));
  }
  // Some failures are harmless (a sync, the removal of a leftover), others stop the swap.
  EXPECT_GT(replaced, 0);
  EXPECT_LT(replaced, steps);
}

INSTANTIATE_TEST_SUITE_P(Both, Swaps, ::testing::Values(kCompaction, kRegeneration),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(BackupNames, ThreeCharactersAreCutWhateverTheyAre) {
  EXPECT_EQ(ReorgNamesFor("C:\\d\\site.db").temp, "C:\\d\\site$");
  EXPECT_EQ(ReorgNamesFor("/d/Straße").backup, "/d/StrBAK");  // "ß" is one character
  EXPECT_EQ(RegenerateNamesFor("/d/Straße").backup, "/d/StrBKK");
  EXPECT_EQ(RegenerateNamesFor("/d/site.mdb").fresh, "/d/site.mdb_$temp.mdb");
  EXPECT_THROW(ReorgNamesFor("ab"), std::invalid_argument);
  for (auto [format, option] :
       std::vector<std::pair<int16_t, int32_t>>{{0, 1}, {1, 8}, {2, 16}, {3, 32}, {4, 0}, {-1, 0}})
    EXPECT_EQ(FormatOption(format), option) << format;
}

class Compaction : public Swaps {};

// The compaction fails with `compact`, then optionally the repair or the second compaction;
// the description must show as it stands. No other number than 3049 leads to a repair.
TEST_P(Compaction, FailuresAreRepairedOrShown) {
  struct Row {
    int32_t compact, repair, again;
    int16_t show, auto_repair, result;
    const char* calls;  // compactions and repairs, in order
    int32_t box;        // the number shown, 0: none
  };
  for (const Row& r : std::vector<Row>{{3043, 0, 0, 1, 1, -1, "C", 3043},
                                       {3043, 0, 0, 0, 1, -1, "C", 0},
                                       {3049, 0, 0, 1, 1, 0, "CRC", 0},
                                       {3049, 0, 0, 1, 0, -1, "C", 3049},
                                       {3049, 3056, 0, 1, 1, -1, "CR", 3056},
                                       {3049, 0, 3043, 1, 1, -1, "CRC", 3043}}) {
    SCOPED_TRACE(r.calls + std::to_string(r.box));
    Fresh();
    WriteAll(GetParam().leftover(p_), "half a copy");
    const char* description = "disk %1% full %3%";
    FaultyEngine engine;
    engine.FailNext("CompactDatabase", r.compact, description);
    if (r.repair) engine.FailNext("RepairDatabase", r.repair, description);
    if (r.again) engine.FailNext("CompactDatabase", r.again, description, 2);
    ScriptedHost host;
    EXPECT_EQ(dbReorg(host, p_, r.show, r.auto_repair, 0), r.result);
    std::string calls;
    for (const std::string& c : engine.Log({"CompactDatabase", "RepairDatabase"})) calls += c[0];
    EXPECT_EQ(calls, r.calls);
    std::vector<std::string> box;
    if (r.box)
      box.push_back("Error during compacting! " + std::to_string(r.box) + ": " + description);
    EXPECT_EQ(Texts(host), box);
    EXPECT_EQ(ReadAll(p_) == seed_.bytes, r.result != 0);
    EXPECT_EQ(ReadAll(k_), r.result == 0 ? seed_.bytes : kOlder);
    EXPECT_FALSE(std::filesystem::exists(GetParam().leftover(p_)));
  }
}

// Killed at each progress report while tens of megabytes are compacted.
TEST_P(Compaction, KilledWhileCompacting) {
  const Seed seed(seed_dir_.File("large.mdb"), 25000, 1000);  // about 30 MB, half of it free
  int reports = 1;
  for (; reports <= 50; ++reports) {
    Fresh();
    WriteAll(p_, seed.bytes);
    const ChildResult child = RunInChild([&] {
      class KillingHost : public ScriptedHost {
       public:
        explicit KillingHost(int n) : n_(n) {}
        void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
          ScriptedHost::Progress(stage, done, total);
          if (ProgressCount() == n_) ::kill(::getpid(), SIGKILL);
        }
        int n_;
      } host(reports);
      return dbReorg(host, p_, 0, 0, 0);
    });
    ExpectRecoverable(kCompaction, p_, seed, "killed at report " + std::to_string(reports));
    if (!child.killed) break;
  }
  EXPECT_GT(reports, 2);  // the engine's progress reached the host more than once
}

INSTANTIATE_TEST_SUITE_P(Only, Compaction, ::testing::Values(kCompaction),
                         [](const auto& p) { return std::string(p.param.name); });

class Regeneration : public Swaps {};

// What the regeneration shows and asks when a step fails, and what the answers decide.
TEST_P(Regeneration, FailuresAreShownAndTheAnswersDecide) {
  const std::string n = RegenerateNamesFor(p_).fresh, hosts = DigestOf(p_, "Hosts");
  const std::string copy = "SELECT * INTO [Links] IN '" + n + "' FROM [Links]";
  const std::string question = "Fehler bei SQL: \r\nBefehl '" + copy +
                               "'\r\nFehler 3043 - Disk full\r\n\r\nWeiter machen?",
                    ignore = "Soll der Fehler ignoriert werden?",
                    entry = "; SQL-Fehler in " + copy + " 3043 - Disk full";
  struct Row {
    const char* op;
    std::deque<int> answers;  // none: every question gets its safe answer
    std::vector<std::string> boxes;
    std::string entry;
    bool hosts_copied, replaced;
  };
  for (const Row& r :
       std::vector<Row>{// No stops the copying, and the tables copied so far still replace P.
                        {"Execute", {vbNo}, {question}, entry, false, true},
                        // Going on but not ignoring it keeps P; N holds the copy as far as it got.
                        {"Execute", {vbYes, vbNo}, {question, ignore}, entry, true, false},
                        {"Execute", {vbYes, vbYes}, {question, ignore}, entry, true, true},
                        // A console without answers never replaces P with a partial copy.
                        {"Execute", {}, {question, ignore}, entry, true, false},
                        {"CreateDatabase",
                         {},
                         {"Create: " + n + ": 3043 Disk full"},
                         "; Erstellung-Fehler in " + n + " 3043 - Disk full",
                         false,
                         false},
                        {"OpenDatabase",
                         {},
                         {"Open: " + p_ + ": 3043 Disk full"},
                         "; \xC3\x96"
                         "ffnen-Fehler in " +
                             p_ + " 3043 - Disk full",
                         false,
                         false}}) {
    SCOPED_TRACE(r.op + std::to_string(r.answers.size()));
    Fresh();
    FaultyEngine faults;
    faults.FailNext(r.op, 3043, "Disk full");
    ScriptedHost host(r.answers);
    std::string error;
    dbRegenerate(host, p_, 3, error);
    EXPECT_EQ(Texts(host), r.boxes);
    EXPECT_EQ(error, r.entry);
    std::vector<int> pointers;
    for (const HostCall& c : host.Calls())
      if (c.kind == HostCall::kPointer) pointers.push_back(c.value);
    EXPECT_EQ(pointers, (std::vector<int>{vbHourglass, vbDefault}));
    EXPECT_EQ(DigestOf(n, "Links"), "");
    EXPECT_EQ(DigestOf(n, "Hosts"), r.hosts_copied ? hosts : "");
    EXPECT_EQ(ReadAll(p_) == ReadAll(n), r.replaced);
    EXPECT_EQ(ReadAll(r.replaced ? k_ : p_), seed_.bytes);
    if (r.replaced) {
      EXPECT_EQ(ReadAll(p_).substr(60, 4), std::string("\0\0\0\x20", 4));  // format 3
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Only, Regeneration, ::testing::Values(kRegeneration),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace tidewell
