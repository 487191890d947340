// The four workflows, step by step, with fake operations: which files are treated, which
// boxes appear, and how the window is left.
#include "workflows/runners.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "tests/support/files.h"
#include "tests/support/scripted_host.h"

namespace tidewell {
namespace {

using testing::HostCall;
using testing::ScriptedHost;
using testing::TempDir;

// Every host call and every operation lands in one log, so the order can be checked.
class LoggingHost : public ScriptedHost {
 public:
  explicit LoggingHost(std::vector<std::string>& log) : log_(log) {}
  int MsgBox(std::string_view text, int style, int safe_answer) override {
    log_.push_back("box " + std::to_string(style) + " " + std::string(text));
    return ScriptedHost::MsgBox(text, style, safe_answer);
  }
  void DoEvents() override {
    log_.push_back("events");
    ScriptedHost::DoEvents();
  }
  void SetPointer(int pointer) override {
    log_.push_back("pointer " + std::to_string(pointer));
    ScriptedHost::SetPointer(pointer);
  }

 private:
  std::vector<std::string>& log_;
};

class FakeWindow : public WindowPort {
 public:
  explicit FakeWindow(std::vector<std::string>& log) : log_(log) {}
  void SetBusy(bool busy) override {
    busy_calls.push_back(busy);
    log_.push_back(busy ? "busy" : "idle");
  }
  std::string DbName(bool full) override { return full ? start_path : template_path; }
  std::string PathBoxText() override { return path_box; }
  bool CloseRequested() override { return close_requested; }
  void CloseWindow() override {
    ++closed;
    log_.push_back("close");
  }

  std::string start_path;
  std::string path_box;
  std::string template_path = "/app/Vardlink_Default.mdb";
  bool close_requested = false;
  int closed = 0;
  std::vector<bool> busy_calls;

 private:
  std::vector<std::string>& log_;
};

class RunnerTest : public ::testing::Test {
 protected:
  RunnerTest() : host(log), window(log) {
    ops.idle = [this](int32_t a) { log.push_back("idle " + std::to_string(a)); };
    ops.repair = [this](Host& h, const std::string& f) { Op("repair", h, f); };
    ops.adv_compress = [this](Host& h, const std::string& f) { Op("compress", h, f); };
    ops.adv_repair = [this](Host& h, const std::string& f) { Op("advrepair", h, f); };
    ops.regenerate = [this](Host& h, const std::string& f, int16_t format) {
      Op("regenerate/" + std::to_string(format), h, f);
    };
    ops.adjust_structure = [this](Host& h, const std::string& f, const std::string& t) {
      Op("adjust/" + t, h, f);
    };
  }

  void Op(const std::string& name, Host& h, const std::string& file) {
    log.push_back(name + " " + file);
    treated.push_back(name + " " + file);
    if (on_op) on_op(name, h, file);
  }

  std::string Make(const std::string& name) {
    const std::string path = dir.File(name);
    testing::WriteAll(path, "x");
    return path;
  }

  Outcome Run(Workflow w) {
    Runners runners(host, window, ops);
    return runners.Run(w);
  }

  std::vector<std::string> BoxTexts() const {
    std::vector<std::string> texts;
    for (const HostCall& c : host.Boxes()) texts.push_back(c.text);
    return texts;
  }

  TempDir dir;
  std::vector<std::string> log;
  LoggingHost host;
  FakeWindow window;
  Operations ops;
  std::vector<std::string> treated;
  std::function<void(const std::string&, Host&, const std::string&)> on_op;
};

std::string NotFoundText(const std::string& path) {
  return "Oops, the database file '" + path + "' couldn't be found!";
}

// --- The failure table, for Start ------------------------------------------------------

TEST_F(RunnerTest, StartWithMissingDatabaseShowsOneNotFoundBoxAndEndsIdle) {
  window.start_path = dir.File("Vardlink.mdb");
  EXPECT_EQ(Run(Workflow::kStart), Outcome::kNotFound);
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text, NotFoundText(dir.File("Vardlink.mdb")));
  EXPECT_EQ(host.Boxes()[0].value, vbCritical);
  EXPECT_TRUE(treated.empty());
  EXPECT_EQ(window.busy_calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(window.closed, 0);
  // The pointer is never touched on the not-found path.
  for (const HostCall& c : host.Calls()) EXPECT_NE(c.kind, HostCall::kPointer);
}

TEST_F(RunnerTest, StartWithoutQueueTreatsDatabaseThenReportsQueueMissing) {
  window.start_path = Make("Site.mdb");
  EXPECT_EQ(Run(Workflow::kStart), Outcome::kNotFound);
  EXPECT_EQ(treated, (std::vector<std::string>{"repair " + dir.File("Site.mdb")}));
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{NotFoundText(dir.File("Site-Queue.mdb"))}));
  EXPECT_EQ(window.busy_calls, (std::vector<bool>{true, false}));
  EXPECT_EQ(window.closed, 0);
}

TEST_F(RunnerTest, StartGoesOnAfterAnOperationReportsAFailure) {
  window.start_path = Make("Site.mdb");
  Make("Site-Queue.mdb");
  on_op = [&](const std::string&, Host& h, const std::string& file) {
    if (file == window.start_path) h.MsgBox("repair failed", vbCritical);
  };
  EXPECT_EQ(Run(Workflow::kStart), Outcome::kDone);
  EXPECT_EQ(treated.size(), 2u);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"repair failed", "Done."}));
  EXPECT_EQ(window.closed, 1);
}

TEST_F(RunnerTest, StartWithBothFilesSaysDoneThenClosesWithoutLeavingBusy) {
  window.start_path = Make("Vardlink.mdb");
  Make("Vardlink-Queue.mdb");
  EXPECT_EQ(Run(Workflow::kStart), Outcome::kDone);
  EXPECT_EQ(treated, (std::vector<std::string>{"repair " + dir.File("Vardlink.mdb"),
                                               "repair " + dir.File("Vardlink-Queue.mdb")}));
  ASSERT_EQ(host.Boxes().size(), 1u);
  EXPECT_EQ(host.Boxes()[0].text, "Done.");
  EXPECT_EQ(host.Boxes()[0].value, vbInformation);
  EXPECT_EQ(window.busy_calls, (std::vector<bool>{true}));
  // "Done." comes before the window closes, and events run once in between.
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 3], "box 64 Done.");
  EXPECT_EQ(log[log.size() - 2], "events");
  EXPECT_EQ(log.back(), "close");
}

// --- Worker steps ----------------------------------------------------------------------

TEST_F(RunnerTest, WorkerFlushesFindsSetsPointerAndYieldsInOrder) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  Run(Workflow::kCompress);
  const std::string a = dir.File("A.mdb");
  const std::vector<std::string> one_file = {"idle 1",        "idle 8", "pointer 11", "events",
                                             "compress " + a, "events", "events",     "pointer 0",
                                             "idle 1",        "idle 8", "pointer 0"};
  ASSERT_GE(log.size(), 1 + one_file.size());
  EXPECT_EQ(log[0], "busy");
  EXPECT_EQ(std::vector<std::string>(log.begin() + 1, log.begin() + 1 + one_file.size()), one_file);
  // Between the two files the handler yields once.
  EXPECT_EQ(log[1 + one_file.size()], "events");
}

TEST_F(RunnerTest, WorkerSurvivesAnOperationThatThrows) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  on_op = [](const std::string&, Host&, const std::string&) { throw std::runtime_error("boom"); };
  EXPECT_EQ(Run(Workflow::kRepair), Outcome::kDone);
  EXPECT_EQ(treated.size(), 2u);
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Done with repair."}));
}

TEST_F(RunnerTest, FailingEngineFlushIsIgnored) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  ops.idle = [](int32_t) { throw std::runtime_error("locked"); };
  EXPECT_EQ(Run(Workflow::kCompress), Outcome::kDone);
  EXPECT_EQ(treated.size(), 2u);
}

// --- The advanced workflows ------------------------------------------------------------

TEST_F(RunnerTest, AdvancedWorkflowsEndWithTheirMessageAndReturnToIdle) {
  const std::string a = Make("A.mdb");
  Make("A-Queue.mdb");
  window.path_box = a;
  struct Case {
    Workflow w;
    const char* message;
  };
  for (const Case& c : {Case{Workflow::kCompress, "Done with compress."},
                        Case{Workflow::kRepair, "Done with repair."},
                        Case{Workflow::kRegenerate, "Done with regeneration."}}) {
    LoggingHost h(log);
    FakeWindow w(log);
    w.path_box = a;
    Runners runners(h, w, ops);
    EXPECT_EQ(runners.Run(c.w), Outcome::kDone) << c.message;
    ASSERT_EQ(h.Boxes().size(), 1u);
    EXPECT_EQ(h.Boxes()[0].text, c.message);
    EXPECT_EQ(h.Boxes()[0].value, vbInformation);
    EXPECT_EQ(w.busy_calls, (std::vector<bool>{true, false}));
    EXPECT_EQ(w.closed, 0);
  }
}

TEST_F(RunnerTest, StartUsesStartupPathWhileAdvancedButtonsUseThePathBox) {
  window.start_path = Make("Start.mdb");
  Make("Start-Queue.mdb");
  window.path_box = Make("Box.mdb");
  Make("Box-Queue.mdb");
  Run(Workflow::kStart);
  Run(Workflow::kCompress);
  EXPECT_EQ(treated,
            (std::vector<std::string>{
                "repair " + dir.File("Start.mdb"), "repair " + dir.File("Start-Queue.mdb"),
                "compress " + dir.File("Box.mdb"), "compress " + dir.File("Box-Queue.mdb")}));
}

TEST_F(RunnerTest, CompressWithoutQueueEndsIdleWithoutClosingMessage) {
  window.path_box = Make("A.mdb");
  EXPECT_EQ(Run(Workflow::kCompress), Outcome::kNotFound);
  EXPECT_EQ(treated, (std::vector<std::string>{"compress " + dir.File("A.mdb")}));
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{NotFoundText(dir.File("A-Queue.mdb"))}));
  EXPECT_EQ(window.busy_calls, (std::vector<bool>{true, false}));
}

TEST_F(RunnerTest, RepairFailingOnTheDatabaseStillTreatsTheQueue) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  on_op = [&](const std::string&, Host& h, const std::string& file) {
    if (file == window.path_box) h.MsgBox("cannot repair", vbCritical);
  };
  EXPECT_EQ(Run(Workflow::kRepair), Outcome::kDone);
  EXPECT_EQ(treated, (std::vector<std::string>{"advrepair " + dir.File("A.mdb"),
                                               "advrepair " + dir.File("A-Queue.mdb")}));
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"cannot repair", "Done with repair."}));
}

TEST_F(RunnerTest, RegenerateUpdatesStructureAgainstTemplateEvenAfterAFailure) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  ops.regenerate = [this](Host&, const std::string& f, int16_t format) {
    log.push_back("regenerate");
    treated.push_back("regenerate/" + std::to_string(format) + " " + f);
    throw std::runtime_error("regeneration broke");
  };
  EXPECT_EQ(Run(Workflow::kRegenerate), Outcome::kDone);
  const std::string tmpl = window.template_path;
  EXPECT_EQ(treated, (std::vector<std::string>{"regenerate/3 " + dir.File("A.mdb"),
                                               "adjust/" + tmpl + " " + dir.File("A.mdb"),
                                               "regenerate/3 " + dir.File("A-Queue.mdb"),
                                               "adjust/" + tmpl + " " + dir.File("A-Queue.mdb")}));
}

TEST_F(RunnerTest, SameButtonTwiceTreatsTheSameFilesAgain) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  Run(Workflow::kCompress);
  Run(Workflow::kCompress);
  EXPECT_EQ(treated.size(), 4u);
  EXPECT_EQ(treated[0], treated[2]);
  EXPECT_EQ(treated[1], treated[3]);
}

// --- Queue paths -----------------------------------------------------------------------

TEST(QueuePathTest, DropsLastFourCharactersWhateverTheyAre) {
  EXPECT_EQ(QueuePath("/data/Site.mdb"), "/data/Site-Queue.mdb");
  EXPECT_EQ(QueuePath("/data/Site.MDB"), "/data/Site-Queue.mdb");
  EXPECT_EQ(QueuePath("/data/Site.dat"), "/data/Site-Queue.mdb");
  EXPECT_EQ(QueuePath("/data/Site.sqlite"), "/data/Site.sq-Queue.mdb");
  EXPECT_EQ(QueuePath("/data/Straße"), "/data/St-Queue.mdb");  // "ß" is one character
  EXPECT_EQ(QueuePath("abcd"), "-Queue.mdb");
  EXPECT_EQ(QueuePath("abc"), "");
  EXPECT_EQ(QueuePath(""), "");
}

// Runs a test body with the scratch folder as the current folder.
class InFolder {
 public:
  explicit InFolder(const std::filesystem::path& p) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(p);
  }
  ~InFolder() { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_;
};

TEST_F(RunnerTest, FourCharacterPathLooksForQueueInCurrentFolder) {
  Make("abcd");
  Make("-Queue.mdb");
  InFolder here(dir.path());
  window.path_box = "abcd";
  EXPECT_EQ(Run(Workflow::kCompress), Outcome::kDone);
  EXPECT_EQ(treated, (std::vector<std::string>{"compress abcd", "compress -Queue.mdb"}));
}

TEST_F(RunnerTest, PathShorterThanFourCharactersHasNoQueueDatabase) {
  Make("ab");
  Make("-Queue.mdb");  // must not be mistaken for the queue of "ab"
  InFolder here(dir.path());
  window.path_box = "ab";
  EXPECT_EQ(Run(Workflow::kCompress), Outcome::kNotFound);
  EXPECT_EQ(treated, (std::vector<std::string>{"compress ab"}));
  EXPECT_EQ(BoxTexts(), (std::vector<std::string>{NotFoundText("-Queue.mdb")}));
  EXPECT_EQ(window.busy_calls, (std::vector<bool>{true, false}));
}

// --- Closing during a workflow ---------------------------------------------------------

TEST_F(RunnerTest, CloseRequestedDuringDatabaseStopsBeforeTheQueue) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  on_op = [&](const std::string&, Host&, const std::string&) { window.close_requested = true; };
  EXPECT_EQ(Run(Workflow::kCompress), Outcome::kInterrupted);
  EXPECT_EQ(treated, (std::vector<std::string>{"compress " + dir.File("A.mdb")}));
  EXPECT_TRUE(host.Boxes().empty());
  EXPECT_EQ(window.busy_calls, (std::vector<bool>{true, false}));
}

TEST_F(RunnerTest, CloseRequestedDuringQueueSkipsClosingMessage) {
  window.start_path = Make("A.mdb");
  Make("A-Queue.mdb");
  on_op = [&](const std::string&, Host&, const std::string& file) {
    if (file == dir.File("A-Queue.mdb")) window.close_requested = true;
  };
  EXPECT_EQ(Run(Workflow::kStart), Outcome::kInterrupted);
  EXPECT_EQ(treated.size(), 2u);
  EXPECT_TRUE(host.Boxes().empty());
}

}  // namespace
}  // namespace tidewell
