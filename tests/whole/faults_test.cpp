// Every file operation of a whole workflow made to fail in turn, in our file layer and inside
// SQLite, and the process killed at every file operation and inside its long work: the
// database and its queue database must always be whole under their own names or their
// backup names, and the closing message must come last.
#include <signal.h>

#include <cerrno>
#include <random>

#include "tests/support/child_process.h"
#include "tests/support/faulty_files.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

using testing::TempDir;

enum Sweep { kFileErrors, kSqliteErrors, kKills, kKillsInWork };

// A sample made once per test program, and what it holds.
struct Pristine {
  Pristine(int rows, int size_mb) : f(MakeSample(dir.path(), rows, size_mb, false)) {}
  TempDir dir;
  SampleFiles f;
  Contents db = *ReadContents(f.db), queue = *ReadContents(f.queue);
};

// A fresh copy of it for one run, always in the same folder, so that the boxes of different
// runs compare.
SampleFiles CopyOf(const Pristine& p, bool damaged) {
  const SampleFiles f(p.dir.path() / "run");
  fs::remove_all(p.dir.path() / "run");
  fs::create_directory(p.dir.path() / "run");
  for (auto [a, b] : {std::pair(p.f.db, f.db), {p.f.queue, f.queue}, {p.f.tmpl, f.tmpl}})
    fs::copy_file(a, b);
  if (damaged) testing::FillPage(f.db, testing::RootPageOf(f.db, "Links"), 0x5a);
  return f;
}

// Kills the process at its n-th progress report: a point inside the long work (compaction,
// salvage, copy) that is the same in every run.
struct KillingHost : testing::ScriptedHost {
  explicit KillingHost(int at) : at_(at) {}
  void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
    if (--at_ == 0) ::kill(::getpid(), SIGKILL);
    ScriptedHost::Progress(stage, done, total);
  }
  int at_;
};

class Sweeps : public ::testing::TestWithParam<int> {};  // the workflow times 4 plus the sweep

TEST_P(Sweeps, NothingLostAndTheCauseIsNamed) {
  const Workflow w = Workflow(GetParam() / 4);
  const Sweep sweep = Sweep(GetParam() % 4);
  // Start and Repair get Links broken, so that the repair's salvage and swap are part of the
  // run; Compress and Regenerate need a sound database to do their work. Kills inside the
  // work need a database of about 24 MB for the work to last.
  const bool damaged = sweep != kKillsInWork && (w == Workflow::kStart || w == Workflow::kRepair);
  static std::optional<Pristine> small, big;
  auto& made = sweep == kKillsInWork ? big : small;
  const Pristine& p = made                    ? *made
                      : sweep == kKillsInWork ? made.emplace(400, 24)
                                              : made.emplace(120, 0);
  Contents rows = p.db;  // all but the broken table
  if (damaged) std::erase_if(rows, [](auto& t) { return t.first.ends_with("\"Links\""); });
  // Whether nothing went missing in a run: every row whole under a kept name, the damaged
  // original kept byte for byte, and what sits under the database's name sound unless it is
  // that original.
  const auto whole = [&](const SampleFiles& f, const std::string& bytes) {
    return AnyKeptName(f.db, [&](auto& n) { return HoldsAll(n, rows); }) &&
           AnyKeptName(f.queue, [&](auto& n) { return HoldsAll(n, p.queue); }) &&
           (!damaged || AnyKeptName(f.db, [&](auto& n) { return ReadAll(n) == bytes; })) &&
           (IntegrityOf(f.db) == "ok" || (damaged && ReadAll(f.db) == bytes)) &&
           IntegrityOf(f.queue) == "ok";
  };

  // The run without faults: how many operations each seam sees, and which boxes it shows.
  int file_ops = 0, sqlite_ops = 0;
  std::vector<std::string> clean;
  if (sweep != kKillsInWork) {
    const SampleFiles f = CopyOf(p, damaged);
    const std::string bytes = damaged ? ReadAll(f.db) : "";  // the damaged original
    testing::FaultyFiles files;
    FaultyVfs vfs;
    clean = RunWorkflow(w, f);
    file_ops = files.Count(), sqlite_ops = vfs.Count();
    ASSERT_EQ(clean.back(), ClosingMessage(w));
    ASSERT_TRUE(whole(f, bytes));
    ASSERT_GT(file_ops, 3) << "the workflow does its file work elsewhere than through Files()";
  }
  std::vector<std::pair<int, int>> steps;       // k and the errno, disk full, or the kill point
  for (int err : {ENOSPC, EIO, EACCES, EXDEV})  // also one k past the last operation
    for (int k = 1; sweep == kFileErrors && k <= file_ops + 1; ++k) steps.push_back({k, err});
  // Every SQLite operation up to 120; beyond that a spread that still reaches the last one.
  for (int k = 1; sweep == kSqliteErrors && k <= sqlite_ops;
       k = k == sqlite_ops ? k + 1 : std::min(k + std::max(1, sqlite_ops / 120), sqlite_ops))
    steps.push_back({k, k % 2 == 0});
  for (int k = 1; sweep == kKills && k <= file_ops; ++k) steps.push_back({k, 0});
  // Progress reports 1, 2, 4 and 8, then three random moments in the first 1.5 seconds.
  for (int k = 0; sweep == kKillsInWork && k < 7; ++k) steps.push_back({k, 0});

  std::mt19937 random(static_cast<uint32_t>(w) + 7);
  for (const auto& [k, arg] : steps) {
    const SampleFiles f = CopyOf(p, damaged);
    const std::string bytes = damaged ? ReadAll(f.db) : "";  // the damaged original
    std::string where = Name(w) + ", step " + std::to_string(k) + ", " + std::to_string(arg);
    std::vector<std::string> boxes;
    if (sweep == kFileErrors) {
      testing::FaultyFiles files;
      files.FailAt(k, arg);
      boxes = RunWorkflow(w, f);
      where += k <= files.Count() ? ": " + files.Log()[size_t(k - 1)] : "";
    } else if (sweep == kSqliteErrors) {
      FaultyVfs vfs(k, arg);
      boxes = RunWorkflow(w, f);
    } else {  // killed before the k-th file operation, at a progress report or at a random moment
      const pid_t pid = testing::StartChild([&] {
        testing::FaultyFiles files;
        files.KillAt(sweep == kKills ? k : 0);
        return int(RunWorkflow(w, f, KillingHost(sweep == kKills || k > 3 ? 0 : 1 << k)).size());
      });
      const auto child =
          sweep == kKills || k < 4
              ? testing::WaitChild(pid)
              : testing::KillChildAfter(pid, std::chrono::microseconds(random() % 1500000));
      EXPECT_TRUE(child.killed || sweep == kKillsInWork) << where << ": the child was not killed";
      EXPECT_TRUE(whole(f, bytes)) << where << ", killed";
      boxes = RunWorkflow(w, f);  // the rerun does the job and leaves no temporary file behind
      EXPECT_EQ(StrayFiles(f), std::vector<std::string>{}) << where << ", after the rerun";
    }
    // A failed operation never stops the workflow: both files are treated and the closing
    // message comes last. After a kill inside the work the rerun leaves every row under the
    // database's own name.
    EXPECT_EQ(boxes.back(), ClosingMessage(w)) << where;
    EXPECT_TRUE(sweep == kKillsInWork ? HoldsAll(f.db, rows) : whole(f, bytes)) << where;
    // A box the clean run did not show must say what went wrong in the system's words.
    for (const std::string& b : boxes)
      EXPECT_TRUE(sweep != kFileErrors || std::find(clean.begin(), clean.end(), b) != clean.end() ||
                  (k <= file_ops && b.find(std::strerror(arg)) != std::string::npos))
          << where << ": a box that does not name the cause: " << b;
    if (HasFailure()) return;  // one broken step says enough
  }
  std::printf("%s: %d file operations, %d SQLite operations, %zu runs\n", Name(w).c_str(), file_ops,
              sqlite_ops, steps.size());
}

const char* const kSweepNames[] = {"FileErrors", "SqliteErrors", "Kills", "KillsInWork"};
INSTANTIATE_TEST_SUITE_P(Workflows, Sweeps, ::testing::Range(0, 16), [](const auto& i) {
  return Name(Workflow(i.param / 4)) + kSweepNames[i.param % 4];
});

}  // namespace
}  // namespace tidewell::whole
