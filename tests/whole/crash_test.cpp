// A power cut at any moment of any workflow: every state the disk can be left in holds the
// database, old or new, under its own name, the old one under a backup name once it was
// replaced, and a second run on that state finishes cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include "tests/whole/crash_states.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

namespace fs = std::filesystem;
using testing::ReadAll;
using testing::ScriptedHost;
using testing::TempDir;

// The log, not the folder, says what reached the disk, so the folders may live in memory,
// where the many syncs of the runs cost nothing.
fs::path Scratch() {
  std::error_code ec;
  return fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

struct Case {
  Workflow workflow;
  bool damaged;  // one table broken, so that the repair's salvage and swap run too
  friend void PrintTo(const Case& c, std::ostream* os) {
    *os << Name(c.workflow) << (c.damaged ? ", damaged" : "");
  }
};

std::string CaseName(const ::testing::TestParamInfo<Case>& p) {
  return std::string(Name(p.param.workflow)) + (p.param.damaged ? "Damaged" : "");
}

// One database's content before and after the recorded run.
struct Expected {
  std::string name, old_bytes;
  std::optional<Contents> old_rows, new_rows;
};

// The workflow run once under the recorder, on a fresh small sample.
struct Recorded {
  explicit Recorded(const Case& c) : dir(Scratch()), files(MakeSmallSample(dir, 30)) {
    if (c.damaged) DamageTable(files.db, "Links");
    for (const std::string& db : {files.db, files.queue})
      expected.push_back({fs::path(db).filename().string(), ReadAll(db), ReadContents(db), {}});
    {
      CrashRecorder recorder(dir.path().string());
      ScriptedHost host;
      EXPECT_EQ(RunWorkflow(c.workflow, host, files.db, files.tmpl), Outcome::kDone);
      rec = recorder.recording();
    }
    for (Expected& e : expected) e.new_rows = ReadContents(dir.File(e.name));
  }
  TempDir dir;
  SampleFiles files;
  Recording rec;
  std::vector<Expected> expected;
};

bool HoldsOld(const std::string& path, const Expected& e) {
  if (!fs::is_regular_file(path)) return false;
  if (ReadAll(path) == e.old_bytes) return true;
  return e.old_rows && IntegrityOf(path) == "ok" && HoldsAll(path, *e.old_rows);
}

// What is wrong with the state in `dir`, or empty.
std::string Violation(const std::string& dir, Workflow w, const std::vector<Expected>& expected) {
  for (const Expected& e : expected) {
    const std::string p = (fs::path(dir) / e.name).string();
    if (fs::is_regular_file(p) && ReadAll(p) == e.old_bytes) continue;
    if (IntegrityOf(p) != "ok") return e.name + " is not sound: " + IntegrityOf(p);
    if (!HoldsOld(p, e) && !(e.new_rows && HoldsAll(p, *e.new_rows)))
      return e.name + " holds neither the old nor the new content";
    bool kept = false;
    for (const std::string& k : KeptNames(p)) kept = kept || (k != p && HoldsOld(k, e));
    if (!kept) return e.name + " was replaced, but no backup holds the old content";
  }
  ScriptedHost host;
  const std::string db = (fs::path(dir) / expected[0].name).string();
  const std::string queue = (fs::path(dir) / expected[1].name).string();
  const std::string tmpl = (fs::path(dir) / "Vardlink_Default.mdb").string();
  const Outcome outcome = RunWorkflow(w, host, db, tmpl);
  const auto boxes = BoxTexts(host);
  if (outcome != Outcome::kDone || boxes.empty() || boxes.back() != ClosingMessage(w))
    return "the second run did not end with its closing message";
  const auto stray = StrayFiles(dir, {db, queue}, {tmpl, db + "_$temp.mdb", queue + "_$temp.mdb"});
  return stray.empty() ? std::string() : "the second run left " + stray.front();
}

class PowerCut : public ::testing::TestWithParam<Case> {};

TEST_P(PowerCut, EveryStateKeepsTheOldOrTheNewDatabase) {
  const Case c = GetParam();
  Recorded run(c);
  // The log replayed in full gives what the run left: nothing went past both seams.
  TempDir states(Scratch());
  WriteFinalState(run.rec, states.path().string());
  ASSERT_EQ(Listing(states.path().string()), Listing(run.dir.path().string()));
  int bad = 0;
  const int n = ExploreCrashStates(run.rec, states.path().string(), [&](const std::string& at) {
    const std::string v = Violation(states.path().string(), c.workflow, run.expected);
    if (!v.empty()) ADD_FAILURE() << at << ": " << v;
    return v.empty() || ++bad < 3;
  });
  std::printf("%s: %zu disk operations recorded, %d distinct crash states checked, %d bad\n",
              CaseName({c, 0}).c_str(), run.rec.ops.size(), n, bad);
}

INSTANTIATE_TEST_SUITE_P(
    Workflows, PowerCut,
    ::testing::Values(Case{Workflow::kStart, false}, Case{Workflow::kCompress, false},
                      Case{Workflow::kRepair, false}, Case{Workflow::kRegenerate, false},
                      Case{Workflow::kStart, true}, Case{Workflow::kRepair, true}),
    CaseName);

// The swaps with the last sync of the new file before it takes the database's name left
// out of the log: the explorer must find a state in which the database is lost.
TEST(PowerCutPlanted, AMissingSyncBeforeTheRenameIsFound) {
  const std::pair<Case, std::string> plants[] = {
      {{Workflow::kRegenerate, false}, "Vardlink.mdb_$temp.mdb$"},
      {{Workflow::kRepair, true}, "Vardlink.mdb.repairing"}};
  for (const auto& [c, fresh] : plants) {
    Recorded run(c);
    auto& ops = run.rec.ops;
    auto op = std::find_if(ops.begin(), ops.end(), [&](const DiskOp& o) {
      return o.kind == DiskOp::kRename && o.name == fresh;
    });
    ASSERT_NE(op, ops.end()) << fresh << " never took the database's name";
    const int file = op->file;
    while (op != ops.begin() && !((--op)->kind == DiskOp::kSync && op->file == file)) {
    }
    ASSERT_EQ(op->kind, DiskOp::kSync) << fresh;
    ops.erase(op);
    TempDir states(Scratch());
    std::string found;
    ExploreCrashStates(run.rec, states.path().string(), [&](const std::string& at) {
      found = Violation(states.path().string(), c.workflow, run.expected);
      if (!found.empty()) found = at + ": " + found;
      return found.empty();
    });
    EXPECT_NE(found, "") << fresh;
    std::printf("without the sync of %s: %s\n", fresh.c_str(), found.c_str());
  }
}

}  // namespace
}  // namespace tidewell::whole
