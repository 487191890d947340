// The compaction and the regeneration both put a new copy of the database P in its place and
// keep the old file as backup K. What they leave on disk when they succeed, fail, are killed,
// or find P changed or held; then what each of them asks and shows.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <random>

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

bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}
std::string Digest(const std::string& path) {
  return DigestOf(path, "Links");
}

// A database P as the crawler leaves it: "Links" with every other row deleted, so that a new
// copy is told from P by its free pages.
struct Seed {
  Seed(const std::string& file, int rows, int url_bytes) : path(file) {
    MakeDatabase(path, {{"Links", rows}}, url_bytes);
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
  EXPECT_FALSE(Exists(swap.leftover(p))) << where;
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

TEST_P(Swaps, SuccessReplacesTheDatabaseAndKeepsTheOldOne) {
  WriteAll(GetParam().leftover(p_), "half a copy from a run that was killed");
  ScriptedHost host;
  EXPECT_TRUE(Run(host));
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(ReadAll(k_), seed_.bytes);
  ExpectRecoverable(GetParam(), p_, seed_, "");
}

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
  EXPECT_FALSE(Exists(p_ + "-journal"));
  EXPECT_EQ(Digest(k_), seed_.digest);
  EXPECT_EQ(Digest(p_), seed_.digest);
  EXPECT_EQ(FreePages(p_), 0u);
}

// A crawler that commits a row to P once the copy has been taken, then the same with P held
// open by another program: the copy must not replace P, or the row or the writer's later
// changes would be only in the backup. Once P is free again, the next run does the job.
TEST_P(Swaps, AChangedOrHeldDatabaseStaysInPlace) {
  class CommittingHost : public ScriptedHost {
   public:
    explicit CommittingHost(std::string p) : p_(std::move(p)) {}
    void DoEvents() override {
      ScriptedHost::DoEvents();
      Commit();
    }
    void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
      ScriptedHost::Progress(stage, done, total);
      if (done == total && total > 0) Commit();  // busy until the copy lets go of P
    }
    void Commit() {
      sqlite3* conn = nullptr;
      if (!committed && sqlite3_open(p_.c_str(), &conn) == SQLITE_OK)
        committed = sqlite3_exec(conn, "INSERT INTO Links VALUES (100001, 'late')", nullptr,
                                 nullptr, nullptr) == SQLITE_OK;
      sqlite3_close(conn);
    }
    bool committed = false;

   private:
    std::string p_;
  } host(p_);
  EXPECT_TRUE(Run(host));
  ASSERT_TRUE(host.committed);
  EXPECT_EQ(RowCount(p_, "Links"), 201);
  EXPECT_EQ(ReadAll(k_), kOlder);

  Fresh();
  DatabaseHolder holder(p_, DatabaseHolder::kEngineShared);
  ASSERT_TRUE(holder.Holding());
  EXPECT_TRUE(Run(host));
  holder.Stop();
  EXPECT_EQ(ReadAll(p_), seed_.bytes);
  EXPECT_EQ(ReadAll(k_), kOlder);
  ExpectRecoverable(GetParam(), p_, seed_, "after the holder let go");
}

// Every file operation in turn fails, then kills the process before it touches the disk.
TEST_P(Swaps, AFailingOrKilledFileStepNeverLosesTheDatabase) {
  int steps = 0;
  {
    FaultyFiles counter;
    ScriptedHost host;
    ASSERT_TRUE(Run(host));
    steps = counter.Count();
  }
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

// The compaction fails with `compact`, then optionally one more call (R: the repair, C: the
// second compaction) with `then`; every description is "disk %1% full %3%", which must show
// as it stands. `box` is the number the box shows (none when empty).
struct ReorgFailure {
  int32_t compact;
  char then_op;
  int32_t then;
  int16_t show, auto_repair, result;
  const char* calls;  // compactions and repairs, in order
  const char* box;
};

class ReorgFailures : public Swaps {};

TEST_P(ReorgFailures, AnswerShowAndLeave) {
  for (const ReorgFailure& f :
       std::vector<ReorgFailure>{// No other number than 3049 leads to a repair.
                                 {3043, ' ', 0, 1, 1, -1, "C", "3043"},
                                 {3043, ' ', 0, 0, 1, -1, "C", ""},
                                 {3049, ' ', 0, 1, 1, 0, "CRC", ""},
                                 {3049, ' ', 0, 1, 0, -1, "C", "3049"},
                                 {3049, 'R', 3056, 1, 1, -1, "CR", "3056"},
                                 {3049, 'C', 3043, 1, 1, -1, "CRC", "3043"}}) {
    SCOPED_TRACE(std::string(f.calls) + " " + f.box);
    Fresh();
    WriteAll(GetParam().leftover(p_), "half a copy");
    const char* description = "disk %1% full %3%";
    FaultyEngine engine;
    engine.FailNext("CompactDatabase", f.compact, description);
    if (f.then_op == 'R') engine.FailNext("RepairDatabase", f.then, description);
    if (f.then_op == 'C') engine.FailNext("CompactDatabase", f.then, description, 2);
    ScriptedHost host;
    EXPECT_EQ(dbReorg(host, p_, f.show, f.auto_repair, 0), f.result);
    std::string calls;
    for (const std::string& c : engine.Log({"CompactDatabase", "RepairDatabase"})) calls += c[0];
    EXPECT_EQ(calls, f.calls);
    ASSERT_EQ(host.Boxes().size(), *f.box ? 1u : 0u);
    if (*f.box) {
      EXPECT_EQ(host.Boxes()[0].text,
                std::string("Error during compacting! ") + f.box + ": " + description);
    }
    EXPECT_EQ(ReadAll(p_) == seed_.bytes, f.result != 0);
    EXPECT_EQ(ReadAll(k_), f.result == 0 ? seed_.bytes : kOlder);
    EXPECT_FALSE(Exists(GetParam().leftover(p_)));
  }
}

INSTANTIATE_TEST_SUITE_P(Compaction, ReorgFailures, ::testing::Values(kCompaction),
                         [](const auto& p) { return std::string(p.param.name); });

// Kills at random moments, and at every progress report, while tens of megabytes are compacted.
TEST(ReorgCrash, KilledWhileCompacting) {
  TempDir dir;
  const Seed seed(dir.File("seed.mdb"), 25000, 1000);  // about 30 MB, half of it free pages
  const std::string p = dir.File("site.mdb");
  auto fresh = [&] {
    for (const std::string& f : {p, ReorgNamesFor(p).temp, ReorgNamesFor(p).backup})
      std::filesystem::remove(f);
    WriteAll(p, seed.bytes);
  };
  auto run = [&](int kill_at_report) {
    class KillingHost : public ScriptedHost {
     public:
      explicit KillingHost(int n) : n_(n) {}
      void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
        ScriptedHost::Progress(stage, done, total);
        if (ProgressCount() == n_) ::kill(::getpid(), SIGKILL);
      }
      int n_;
    } host(kill_at_report);
    return dbReorg(host, p, 0, 0, 0) == 0 ? 0 : 1;
  };
  // One uninterrupted run's length spreads the kills over it; the time itself is not asserted.
  fresh();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(RunInChild([&] { return run(0); }).exited);
  const auto full = std::chrono::steady_clock::now() - start;
  const unsigned seed_value = std::random_device{}();
  std::mt19937 rng(seed_value);
  for (int round = 0; round < 8; ++round) {
    fresh();
    const auto delay = std::chrono::microseconds(std::uniform_int_distribution<int64_t>(
        0, std::chrono::duration_cast<std::chrono::microseconds>(full).count())(rng));
    KillChildAfter(StartChild([&] { return run(0); }), delay);
    ExpectRecoverable(kCompaction, p, seed,
                      "seed " + std::to_string(seed_value) + ", kill after " +
                          std::to_string(delay.count()) + " us");
  }
  int reports = 1;
  for (; reports <= 50; ++reports) {
    fresh();
    const ChildResult child = RunInChild([&] { return run(reports); });
    ExpectRecoverable(kCompaction, p, seed, "killed at report " + std::to_string(reports));
    if (!child.killed) break;
  }
  EXPECT_GT(reports, 2);  // the engine's progress reached the host more than once
}

// What the regeneration asks when a table cannot be copied, and what the answers decide.
struct Answers {
  std::deque<int> answers;  // none: every question gets its safe answer
  size_t boxes;
  bool hosts_copied, replaced;
};

class RegenerateAnswers : public ::testing::TestWithParam<Answers> {};

TEST_P(RegenerateAnswers, DecideWhatIsCopiedAndWhetherItReplacesTheDatabase) {
  const Answers& a = GetParam();
  TempDir dir;
  const std::string p = dir.File("site.mdb");
  const RegenerateNames names = RegenerateNamesFor(p);
  MakeDatabase(p, {{"Links", 3}, {"Hosts", 2}});
  const std::string old_bytes = ReadAll(p), hosts = DigestOf(p, "Hosts");
  FaultyEngine faults;
  faults.FailNext("Execute", 3043, "Disk full on /data");
  ScriptedHost host(a.answers);
  std::string error;
  dbRegenerate(host, p, 3, error);
  const std::string statement = "SELECT * INTO [Links] IN '" + names.fresh + "' FROM [Links]";
  const std::vector<std::string> questions = {
      "Fehler bei SQL: \r\nBefehl '" + statement +
          "'\r\nFehler 3043 - Disk full on /data\r\n\r\nWeiter machen?",
      "Soll der Fehler ignoriert werden?"};
  std::vector<std::string> boxes;
  for (const HostCall& box : host.Boxes()) boxes.push_back(box.text);
  EXPECT_EQ(boxes, std::vector<std::string>(questions.begin(), questions.begin() + a.boxes));
  EXPECT_EQ(error, "; SQL-Fehler in " + statement + " 3043 - Disk full on /data");
  EXPECT_EQ(DigestOf(names.fresh, "Links"), "");
  EXPECT_EQ(DigestOf(names.fresh, "Hosts"), a.hosts_copied ? hosts : "");
  EXPECT_EQ(ReadAll(names.fresh).substr(60, 4), std::string("\0\0\0\x20", 4));  // format 3
  EXPECT_EQ(ReadAll(p) == ReadAll(names.fresh), a.replaced);
  EXPECT_EQ(ReadAll(a.replaced ? names.backup : p), old_bytes);
  EXPECT_EQ(Exists(names.backup), a.replaced);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, RegenerateAnswers,
    ::testing::Values(
        // No stops the copying, and the tables copied so far still replace P.
        Answers{{vbNo}, 1, false, true},
        // Going on but not ignoring it keeps P; N holds the copy as far as it got.
        Answers{{vbYes, vbNo}, 2, true, false}, Answers{{vbYes, vbYes}, 2, true, true},
        // A console without answers never replaces P with a partial copy.
        Answers{{}, 2, true, false}));

TEST(Regenerate, CreateAndOpenFailuresAreShownAndLeaveTheDatabase) {
  TempDir dir;
  const std::string p = dir.File("site.mdb"), n = RegenerateNamesFor(p).fresh;
  MakeDatabase(p, {{"Links", 3}});
  const std::string old_bytes = ReadAll(p);
  for (const auto& [op, box, entry] : std::vector<std::array<std::string, 3>>{
           {"CreateDatabase", "Create: " + n + ": 3051 No access",
            "; Erstellung-Fehler in " + n + " 3051 - No access"},
           {"OpenDatabase", "Open: " + p + ": 3051 No access",
            "; \xC3\x96"
            "ffnen-Fehler in " +
                p + " 3051 - No access"}}) {
    FaultyEngine faults;
    faults.FailNext(op, 3051, "No access");
    ScriptedHost host;
    std::string error;
    dbRegenerate(host, p, 3, error);
    EXPECT_EQ(error, entry);
    ASSERT_EQ(host.Boxes().size(), 1u);
    EXPECT_EQ(host.Boxes()[0].text, box);
    std::vector<int> pointers;
    for (const HostCall& c : host.Calls())
      if (c.kind == HostCall::kPointer) pointers.push_back(c.value);
    EXPECT_EQ(pointers, (std::vector<int>{vbHourglass, vbDefault}));
    EXPECT_EQ(ReadAll(p), old_bytes);
    EXPECT_FALSE(Exists(RegenerateNamesFor(p).backup));
  }
}

}  // namespace
}  // namespace tidewell
