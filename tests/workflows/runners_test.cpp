// The four workflows with fake operations: which files are treated, which boxes appear,
// and how the window is left; and how the files are found.
#include "workflows/runners.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/scripted_host.h"
#include "workflows/modXFiles.h"

namespace tidewell {
namespace {

TEST(FileExistsTest, FilesFoldersHiddenEntriesAndPatterns) {
  testing::TempDir dir;
  testing::WriteAll(dir.File(".hidden.bak"), "x");
  std::filesystem::create_directory(dir.path() / "site [old]");
  testing::WriteAll(dir.File("site [old]/Site-Queue.mdb"), "x");
  const std::pair<std::string, bool> cases[] = {
      {"?hidden.bak", true},
      {"site [old]/Site-Queue.mdb", true},  // pattern characters in a real name
      {"site*/*-Queue.mdb", true},
      {"*.txt", false},
  };
  for (const auto& [name, found] : cases) EXPECT_EQ(FileExists(dir.File(name)), found) << name;
}

// What the operation does when it treats the database or the queue.
enum class Event { kNone, kBox, kThrow, kClose, kNoTemplate };

struct Row {
  Workflow w;
  Event on_db, on_queue;
  std::string log;  // the operations and boxes in order; a file not found is not made
};

// The test is the window, too. It works in its scratch folder, so paths are short.
class WorkflowTest : public ::testing::TestWithParam<Row>, public WindowPort {
 public:
  void SetBusy(bool busy) override { busy_calls.push_back(busy); }
  std::string DbName(bool full) override { return full ? "A.mdb" : "T.mdb"; }
  std::string PathBoxText() override { return "A.mdb"; }
  bool CloseRequested() override { return close_requested; }
  void CloseWindow() override { ++closed; }

  bool close_requested = false;
  int closed = 0;
  std::vector<bool> busy_calls;
};

TEST_P(WorkflowTest, TreatsShowsAndLeavesTheWindow) {
  const Row& s = GetParam();
  const testing::TempDir dir;
  const std::filesystem::path home = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  for (const std::string file : {"A.mdb", "A-Queue.mdb"})
    if (s.log.find("'" + file + "' couldn't") == std::string::npos) testing::WriteAll(file, "x");
  // Each operation leaves its name as a caption, so it lands in order among the boxes.
  auto op = [&](const std::string& name, Host& h, const std::string& file) {
    h.SetStatus(name + " " + file);
    const Event e = file == "A.mdb" ? s.on_db : s.on_queue;
    if (e == Event::kBox) h.MsgBox("failed", vbCritical);
    if (e == Event::kThrow) throw std::runtime_error("boom");
    close_requested = e == Event::kClose;
  };
  auto named = [&](std::string n) { return [&, n](Host& h, auto& f) { op(n, h, f); }; };
  Operations ops{[](int32_t) { throw std::runtime_error("a failing flush is ignored"); },
                 named("repair"),
                 named("compress"),
                 named("advrepair"),
                 [&](Host& h, auto& f, int16_t n) { op("regen/" + std::to_string(n), h, f); },
                 [&](Host& h, auto& f, auto& t) { op("adjust " + t, h, f); },
                 [&](Host& h, auto& f, auto& t) {
                   if ((f == "A.mdb" ? s.on_db : s.on_queue) != Event::kNoTemplate) return true;
                   h.MsgBox("no " + t, vbCritical);
                   return false;
                 }};
  testing::ScriptedHost host;
  const Outcome outcome = Runners(host, *this, ops).Run(s.w);
  std::filesystem::current_path(home);

  std::string log;  // boxes with their style
  using testing::HostCall;
  for (const HostCall& c : host.Calls())
    if (c.kind == HostCall::kMsgBox || c.kind == HostCall::kStatus)
      log += (log.empty() ? "" : "|") + c.text +
             (c.kind == HostCall::kMsgBox ? "/" + std::to_string(c.value) : "");
  EXPECT_EQ(log, s.log);
  const bool missing =
      s.log.find("Oops") != std::string::npos || s.log.find("no T.mdb") != std::string::npos;
  EXPECT_EQ(outcome, missing                                   ? Outcome::kNotFound
                     : s.log.find("Done") != std::string::npos ? Outcome::kDone
                                                               : Outcome::kInterrupted);
  // Only a finished start closes the window, and leaves it busy.
  const bool closes = s.log.ends_with("|Done./64");
  EXPECT_EQ(busy_calls, (closes ? std::vector<bool>{true} : std::vector<bool>{true, false}));
  EXPECT_EQ(closed, closes ? 1 : 0);
}

using enum Workflow;
using enum Event;
INSTANTIATE_TEST_SUITE_P(
    Scenarios, WorkflowTest,
    ::testing::Values(
        Row{kStart, kNone, kNone, "Oops, the database file 'A.mdb' couldn't be found!/16"},
        Row{kStart, kNone, kNone,
            "repair A.mdb|Oops, the database file 'A-Queue.mdb' couldn't be found!/16"},
        Row{kStart, kBox, kNone, "repair A.mdb|failed/16|repair A-Queue.mdb|Done./64"},
        Row{kCompress, kNone, kNone, "compress A.mdb|compress A-Queue.mdb|Done with compress./64"},
        Row{kRepair, kThrow, kThrow, "advrepair A.mdb|advrepair A-Queue.mdb|Done with repair./64"},
        // The structure is updated even after the regeneration failed.
        Row{kRegenerate, kThrow, kNone,
            "regen/3 A.mdb|adjust T.mdb A.mdb|regen/3 A-Queue.mdb|adjust T.mdb A-Queue.mdb|"
            "Done with regeneration./64"},
        // Without a template nothing is regenerated, and the workflow stops at that file.
        Row{kRegenerate, kNoTemplate, kNone, "no T.mdb/16"},
        Row{kRegenerate, kNone, kNoTemplate, "regen/3 A.mdb|adjust T.mdb A.mdb|no T.mdb/16"},
        // Closing stops before the next file and skips the closing message.
        Row{kCompress, kClose, kNone, "compress A.mdb"},
        Row{kStart, kNone, kClose, "repair A.mdb|repair A-Queue.mdb"}));

}  // namespace
}  // namespace tidewell
