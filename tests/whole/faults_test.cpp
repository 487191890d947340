// Every file operation of a whole workflow made to fail in turn, and the process killed at
// every file operation and at random moments: the database and its queue database must
// always be complete under their own names or their backup names.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "tests/support/child_process.h"
#include "tests/support/faulty_files.h"
#include "tests/whole/faulty_vfs.h"
#include "tests/whole/whole_support.h"
#include "tools/sample_data.h"

namespace tidewell::whole {
namespace {

namespace fs = std::filesystem;
using testing::FaultyFiles;
using testing::ScriptedHost;
using testing::TempDir;

// What each workflow is run on. Start and Repair get a database with one table broken, so
// that the repair's salvage and swap are part of the run; Compress and Regenerate need a
// sound database to do their work.
bool DamagedInput(Workflow w) {
  return w == Workflow::kStart || w == Workflow::kRepair;
}

// One scratch folder per run, filled from a pristine set made once.
class WholeRun {
 public:
  WholeRun(const SampleFiles& pristine, bool damaged) {
    files = {dir.File("Vardlink.mdb"), dir.File("Vardlink-Queue.mdb"),
             dir.File("Vardlink_Default.mdb")};
    CopyFiles({pristine.db, pristine.queue, pristine.tmpl}, {files.db, files.queue, files.tmpl});
    if (damaged) DamageTable(files.db, "Links");
    original_db_bytes = testing::ReadAll(files.db);
  }
  TempDir dir;
  SampleFiles files;
  std::string original_db_bytes;
};

class Pristine {
 public:
  static const SampleFiles& Get() {
    static Pristine p;
    return p.files_;
  }
  // Everything of the sample except the table the damaged runs break.
  static const Contents& Readable() {
    static Contents c = [] {
      Contents all = *ReadContents(Get().db);
      all.erase("Links");
      return all;
    }();
    return c;
  }
  static const Contents& All() {
    static Contents c = *ReadContents(Get().db);
    return c;
  }
  static const Contents& Queue() {
    static Contents c = *ReadContents(Get().queue);
    return c;
  }

 private:
  Pristine() : files_(MakeSmallSample(dir_)) {}
  TempDir dir_;
  SampleFiles files_;
};

// The check after every fault and every kill. The healthy database must be whole under a
// kept name; the damaged one must still exist byte for byte under a kept name (so nothing
// the user had is gone), and its readable tables must be whole under a kept name.
void ExpectNothingLost(const WholeRun& run, bool damaged, const std::string& where) {
  const Contents& db_rows = damaged ? Pristine::Readable() : Pristine::All();
  EXPECT_NE(WhereAllRowsAre(run.files.db, db_rows), "") << where << ": rows of the database lost";
  EXPECT_NE(WhereAllRowsAre(run.files.queue, Pristine::Queue()), "")
      << where << ": rows of the queue database lost";
  if (damaged) {
    bool kept = false;
    for (const std::string& name : KeptNames(run.files.db))
      kept = kept || (fs::exists(name) && testing::ReadAll(name) == run.original_db_bytes);
    EXPECT_TRUE(kept) << where << ": the damaged original is not kept anywhere";
  }
  // Whatever sits under the database's own name is sound, or is the damaged original that
  // the repair could not replace.
  if (!damaged || testing::ReadAll(run.files.db) != run.original_db_bytes) {
    EXPECT_EQ(IntegrityOf(run.files.db), "ok") << where;
  }
  EXPECT_EQ(IntegrityOf(run.files.queue), "ok") << where;
}

// Box texts with the run's own scratch folder replaced, so runs in different folders compare.
std::vector<std::string> Normalized(std::vector<std::string> texts, const std::string& folder) {
  for (std::string& t : texts)
    for (size_t at; (at = t.find(folder)) != std::string::npos;)
      t.replace(at, folder.size(), "DIR");
  return texts;
}

class FaultEveryOperation : public ::testing::TestWithParam<Workflow> {};

// The k-th counted file operation fails with each of four errors, for every k of the run.
TEST_P(FaultEveryOperation, NothingLostAndTheCauseIsNamed) {
  const Workflow w = GetParam();
  const bool damaged = DamagedInput(w);

  // The run without faults: how many operations there are and which boxes belong to it.
  int operations = 0;
  std::vector<std::string> clean_boxes;
  {
    WholeRun run(Pristine::Get(), damaged);
    FaultyFiles faults;
    ScriptedHost host;
    ASSERT_EQ(RunWorkflow(w, host, run.files.db, run.files.tmpl), Outcome::kDone);
    operations = faults.Count();
    clean_boxes = Normalized(BoxTexts(host), run.dir.path().string());
    ExpectNothingLost(run, damaged, "no fault");
  }
  ASSERT_GT(operations, 3) << "the workflow does its file work elsewhere than through Files()";

  const int errors[] = {ENOSPC, EIO, EACCES, EXDEV};
  int reported = 0, silent = 0;
  for (int err : errors) {
    for (int k = 1; k <= operations + 1; ++k) {
      WholeRun run(Pristine::Get(), damaged);
      FaultyFiles faults;
      faults.FailAt(k, err);
      ScriptedHost host;
      const Outcome outcome = RunWorkflow(w, host, run.files.db, run.files.tmpl);
      const std::string where =
          std::string(Name(w)) + ", operation " + std::to_string(k) + " (" +
          (k <= static_cast<int>(faults.Log().size()) ? faults.Log()[static_cast<size_t>(k - 1)]
                                                      : std::string("none")) +
          ") failing with " + std::strerror(err);
      // A failed operation never stops the workflow: both files are treated and the
      // closing message comes last.
      EXPECT_EQ(outcome, Outcome::kDone) << where;
      const auto boxes = Normalized(BoxTexts(host), run.dir.path().string());
      ASSERT_FALSE(boxes.empty()) << where;
      EXPECT_EQ(boxes.back(), ClosingMessage(w)) << where;
      // A box the clean run did not show must say what went wrong in the system's words.
      bool new_box = false;
      for (const std::string& b : boxes) {
        if (std::find(clean_boxes.begin(), clean_boxes.end(), b) != clean_boxes.end()) continue;
        new_box = true;
        EXPECT_NE(b.find(std::strerror(err)), std::string::npos)
            << where << ": the box does not name the cause: " << b
            << "\nthe run without faults showed:\n"
            << ::testing::PrintToString(clean_boxes);
      }
      (new_box ? reported : silent)++;
      ExpectNothingLost(run, damaged, where);
      if (k > operations) {
        EXPECT_FALSE(new_box) << where << ": no fault was injected";
      }
      if (::testing::Test::HasFailure()) return;  // one broken step says enough
    }
  }
  std::printf("%s: %d file operations; of the faults %d reported in a box, %d silent\n", Name(w),
              operations, reported, silent);
}

INSTANTIATE_TEST_SUITE_P(Workflows, FaultEveryOperation,
                         ::testing::Values(Workflow::kStart, Workflow::kCompress, Workflow::kRepair,
                                           Workflow::kRegenerate),
                         WorkflowParamName);

class SqliteIoFaults : public ::testing::TestWithParam<Workflow> {};

// The k-th open for writing, write, truncate, sync or delete inside SQLite fails, with a
// full disk and with an I/O error in turn: the writes of the compaction, the salvage, the
// regeneration's copies and the journals.
TEST_P(SqliteIoFaults, NothingLostWhenAWriteFails) {
  const Workflow w = GetParam();
  const bool damaged = DamagedInput(w);
  int operations = 0;
  {
    WholeRun run(Pristine::Get(), damaged);
    ScriptedHost host;
    {
      FaultyVfs vfs;
      ASSERT_EQ(RunWorkflow(w, host, run.files.db, run.files.tmpl), Outcome::kDone);
      operations = vfs.Count();
    }
    ExpectNothingLost(run, damaged, "no fault");
  }
  ASSERT_GT(operations, 10);
  // Every operation up to 120; beyond that a spread that still reaches the last one.
  const int stride = std::max(1, operations / 120);
  int tried = 0;
  for (int k = 1; k <= operations;
       k += (k + stride > operations && k != operations) ? operations - k : stride) {
    WholeRun run(Pristine::Get(), damaged);
    ScriptedHost host;
    std::string op;
    Outcome outcome;
    {
      FaultyVfs vfs;
      vfs.FailAt(k, k % 2 == 0);
      outcome = RunWorkflow(w, host, run.files.db, run.files.tmpl);
      op = k <= static_cast<int>(vfs.Log().size()) ? vfs.Log()[static_cast<size_t>(k - 1)] : "";
    }
    ++tried;
    const std::string where = std::string(Name(w)) + ", SQLite operation " + std::to_string(k) +
                              " (" + op + ") failing" + (k % 2 == 0 ? " (disk full)" : "");
    EXPECT_EQ(outcome, Outcome::kDone) << where;
    const auto boxes = BoxTexts(host);
    ASSERT_FALSE(boxes.empty()) << where;
    EXPECT_EQ(boxes.back(), ClosingMessage(w)) << where;
    ExpectNothingLost(run, damaged, where);
    if (::testing::Test::HasFailure()) return;
  }
  std::printf("%s: %d SQLite file operations, %d of them made to fail\n", Name(w), operations,
              tried);
}

INSTANTIATE_TEST_SUITE_P(Workflows, SqliteIoFaults,
                         ::testing::Values(Workflow::kStart, Workflow::kCompress, Workflow::kRepair,
                                           Workflow::kRegenerate),
                         WorkflowParamName);

class KillEveryOperation : public ::testing::TestWithParam<Workflow> {};

// Killed before the k-th file operation touches the disk, for every k: nothing is lost, and
// a second run afterwards does the job and leaves no temporary file behind.
TEST_P(KillEveryOperation, NothingLostAndTheRerunCleansUp) {
  const Workflow w = GetParam();
  const bool damaged = DamagedInput(w);
  int operations = 0;
  {
    WholeRun run(Pristine::Get(), damaged);
    FaultyFiles faults;
    ScriptedHost host;
    ASSERT_EQ(RunWorkflow(w, host, run.files.db, run.files.tmpl), Outcome::kDone);
    operations = faults.Count();
  }
  for (int k = 1; k <= operations; ++k) {
    WholeRun run(Pristine::Get(), damaged);
    const auto child = testing::RunInChild([&] {
      FaultyFiles faults;
      faults.KillAt(k);
      ScriptedHost host;
      RunWorkflow(w, host, run.files.db, run.files.tmpl);
      return 0;
    });
    const std::string where = std::string(Name(w)) + ", killed at operation " + std::to_string(k);
    ASSERT_TRUE(child.killed) << where << ": the child was not killed";
    EXPECT_EQ(child.signal, SIGKILL) << where;
    ExpectNothingLost(run, damaged, where);

    ScriptedHost host;
    EXPECT_EQ(RunWorkflow(w, host, run.files.db, run.files.tmpl), Outcome::kDone) << where;
    EXPECT_EQ(BoxTexts(host).back(), ClosingMessage(w)) << where;
    ExpectNothingLost(run, damaged, where + ", after the rerun");
    // The regeneration keeps its new file N on purpose until the next regeneration.
    EXPECT_EQ(
        StrayFiles(run.dir.path().string(), {run.files.db, run.files.queue},
                   {run.files.tmpl, run.files.db + "_$temp.mdb", run.files.queue + "_$temp.mdb"}),
        std::vector<std::string>{})
        << where << ", after the rerun";
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Workflows, KillEveryOperation,
                         ::testing::Values(Workflow::kStart, Workflow::kCompress, Workflow::kRepair,
                                           Workflow::kRegenerate),
                         WorkflowParamName);

// A host that kills the process at its n-th progress report: a point inside the long
// work (compaction, salvage, copy) that is the same in every run.
class KillingHost : public ScriptedHost {
 public:
  explicit KillingHost(int at) : at_(at) {}
  void Progress(std::string_view stage, uint64_t done, uint64_t total) override {
    if (++seen_ == at_) ::kill(::getpid(), SIGKILL);
    ScriptedHost::Progress(stage, done, total);
  }

 private:
  int at_;
  int seen_ = 0;
};

class KillDuringWork : public ::testing::TestWithParam<Workflow> {
 protected:
  static void SetUpTestSuite() {
    big_dir_ = new TempDir;
    big_ = new SampleFiles{big_dir_->File("Vardlink.mdb"), big_dir_->File("Vardlink-Queue.mdb"),
                           big_dir_->File("Vardlink_Default.mdb")};
    sample::SampleOptions o;
    o.size_mb = 24;
    sample::MakeSampleDatabase(big_->db, o);
    sample::MakeQueueDatabase(big_->queue);
    sample::MakeTemplateDatabase(big_->tmpl);
    big_rows_ = new Contents(*ReadContents(big_->db));
    big_queue_rows_ = new Contents(*ReadContents(big_->queue));
  }
  static void TearDownTestSuite() {
    delete big_rows_;
    delete big_queue_rows_;
    delete big_;
    delete big_dir_;
  }
  static TempDir* big_dir_;
  static SampleFiles* big_;
  static Contents* big_rows_;
  static Contents* big_queue_rows_;
};
TempDir* KillDuringWork::big_dir_ = nullptr;
SampleFiles* KillDuringWork::big_ = nullptr;
Contents* KillDuringWork::big_rows_ = nullptr;
Contents* KillDuringWork::big_queue_rows_ = nullptr;

// On a database of about 24 MB: killed at chosen progress reports and at random moments.
TEST_P(KillDuringWork, AtProgressPointsAndRandomMoments) {
  const Workflow w = GetParam();
  std::mt19937 random(static_cast<uint32_t>(w) + 7);
  // Kill points: progress reports 1, 2, 4 and 8, then three random moments within the first
  // 1.5 seconds of work.
  for (int attempt = 0; attempt < 7; ++attempt) {
    TempDir dir;
    SampleFiles files{dir.File("Vardlink.mdb"), dir.File("Vardlink-Queue.mdb"),
                      dir.File("Vardlink_Default.mdb")};
    CopyFiles({big_->db, big_->queue, big_->tmpl}, {files.db, files.queue, files.tmpl});
    std::string where = std::string(Name(w)) + ", attempt " + std::to_string(attempt);
    testing::ChildResult child;
    if (attempt < 4) {
      const int at = 1 << attempt;
      child = testing::RunInChild([&] {
        KillingHost host(at);
        RunWorkflow(w, host, files.db, files.tmpl);
        return 0;
      });
      where += " (progress report " + std::to_string(at) + ")";
    } else {
      const auto delay = std::chrono::microseconds(random() % 1500000);
      const pid_t pid = testing::StartChild([&] {
        ScriptedHost host;
        RunWorkflow(w, host, files.db, files.tmpl);
        return 0;
      });
      child = testing::KillChildAfter(pid, delay);
      where += " (" + std::to_string(delay.count()) + " us)";
    }
    EXPECT_NE(WhereAllRowsAre(files.db, *big_rows_), "") << where;
    EXPECT_NE(WhereAllRowsAre(files.queue, *big_queue_rows_), "") << where;
    EXPECT_EQ(IntegrityOf(files.db), "ok") << where;

    ScriptedHost host;
    EXPECT_EQ(RunWorkflow(w, host, files.db, files.tmpl), Outcome::kDone) << where;
    EXPECT_TRUE(HoldsAll(files.db, *big_rows_)) << where << ", after the rerun";
    EXPECT_EQ(StrayFiles(dir.path().string(), {files.db, files.queue},
                         {files.tmpl, files.db + "_$temp.mdb", files.queue + "_$temp.mdb"}),
              std::vector<std::string>{})
        << where << ", after the rerun";
    if (::testing::Test::HasFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Workflows, KillDuringWork,
                         ::testing::Values(Workflow::kStart, Workflow::kCompress, Workflow::kRepair,
                                           Workflow::kRegenerate),
                         WorkflowParamName);

}  // namespace
}  // namespace tidewell::whole
