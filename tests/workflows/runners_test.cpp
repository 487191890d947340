// The four workflows, step by step, with fake operations: which files are treated, which
// boxes appear, and how the window is left.
#include "workflows/runners.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
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

// --- Every workflow over its two files ------------------------------------------------

// What the operation does when it treats the database or the queue.
enum class Event { kNone, kBox, kThrow, kClose };

struct Scenario {
  Workflow w;
  bool db, queue;  // which of the two files exist
  Event on_db, on_queue;
  Outcome outcome;
  size_t files;       // how many files were treated
  const char* boxes;  // "|"-separated; "db" and "queue" stand for their not-found boxes
  bool closes;        // the window is closed (and left busy) rather than made idle
};

class WorkflowTest : public RunnerTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(WorkflowTest, TreatsShowsAndLeavesTheWindow) {
  const Scenario& s = GetParam();
  const std::string a = dir.File("A.mdb"), q = dir.File("A-Queue.mdb");
  if (s.db) Make("A.mdb");
  if (s.queue) Make("A-Queue.mdb");
  (s.w == Workflow::kStart ? window.start_path : window.path_box) = a;
  on_op = [&](const std::string&, Host& h, const std::string& file) {
    const Event e = file == a ? s.on_db : s.on_queue;
    if (e == Event::kBox) h.MsgBox("operation failed", vbCritical);
    if (e == Event::kThrow) throw std::runtime_error("boom");
    if (e == Event::kClose) window.close_requested = true;
  };
  EXPECT_EQ(Run(s.w), s.outcome);

  std::vector<std::string> steps = {s.w == Workflow::kStart      ? "repair"
                                    : s.w == Workflow::kCompress ? "compress"
                                    : s.w == Workflow::kRepair   ? "advrepair"
                                                                 : "regenerate/3"};
  if (s.w == Workflow::kRegenerate) steps.push_back("adjust/" + window.template_path);
  std::vector<std::string> expected;
  for (const std::string& file : {a, q})
    for (const std::string& step : steps)
      if (expected.size() < s.files * steps.size()) expected.push_back(step + " " + file);
  EXPECT_EQ(treated, expected);

  std::vector<std::string> boxes;
  for (std::string rest = s.boxes; !rest.empty();) {
    const std::string b = rest.substr(0, rest.find('|'));
    rest.erase(0, std::min(rest.size(), b.size() + 1));
    boxes.push_back(b == "db" ? NotFoundText(a) : b == "queue" ? NotFoundText(q) : b);
  }
  EXPECT_EQ(BoxTexts(), boxes);
  for (const HostCall& c : host.Boxes())
    EXPECT_EQ(c.value, c.text.rfind("Done", 0) == 0 ? vbInformation : vbCritical) << c.text;
  EXPECT_EQ(window.busy_calls,
            (s.closes ? std::vector<bool>{true} : std::vector<bool>{true, false}));
  EXPECT_EQ(window.closed, s.closes ? 1 : 0);
  // The pointer is never touched when no file was found.
  if (s.files == 0) {
    for (const HostCall& c : host.Calls()) EXPECT_NE(c.kind, HostCall::kPointer);
  }
}

constexpr Workflow kStart = Workflow::kStart, kCompress = Workflow::kCompress,
                   kRepair = Workflow::kRepair, kRegenerate = Workflow::kRegenerate;
constexpr Event kNone = Event::kNone, kBox = Event::kBox, kThrow = Event::kThrow,
                kClose = Event::kClose;
constexpr Outcome kDone = Outcome::kDone, kNotFound = Outcome::kNotFound,
                  kInterrupted = Outcome::kInterrupted;
INSTANTIATE_TEST_SUITE_P(
    Scenarios, WorkflowTest,
    ::testing::Values(
        Scenario{kStart, false, false, kNone, kNone, kNotFound, 0, "db", false},
        Scenario{kStart, true, false, kNone, kNone, kNotFound, 1, "queue", false},
        Scenario{kStart, true, true, kNone, kNone, kDone, 2, "Done.", true},
        Scenario{kStart, true, true, kBox, kNone, kDone, 2, "operation failed|Done.", true},
        Scenario{kCompress, true, true, kNone, kNone, kDone, 2, "Done with compress.", false},
        Scenario{kCompress, true, false, kNone, kNone, kNotFound, 1, "queue", false},
        Scenario{kRepair, true, true, kBox, kNone, kDone, 2, "operation failed|Done with repair.",
                 false},
        Scenario{kRepair, true, true, kThrow, kThrow, kDone, 2, "Done with repair.", false},
        // The structure is updated even after the regeneration failed.
        Scenario{kRegenerate, true, true, kThrow, kNone, kDone, 2, "Done with regeneration.",
                 false},
        // Closing stops before the next file and skips the closing message.
        Scenario{kCompress, true, true, kClose, kNone, kInterrupted, 1, "", false},
        Scenario{kStart, true, true, kNone, kClose, kInterrupted, 2, "", false}));

TEST_F(RunnerTest, StartSaysDoneThenLetsEventsRunOnceThenCloses) {
  window.start_path = Make("Vardlink.mdb");
  Make("Vardlink-Queue.mdb");
  EXPECT_EQ(Run(Workflow::kStart), Outcome::kDone);
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
            (std::vector<std::string>{"box 64 Done.", "events", "close"}));
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

TEST_F(RunnerTest, FailingEngineFlushIsIgnored) {
  window.path_box = Make("A.mdb");
  Make("A-Queue.mdb");
  ops.idle = [](int32_t) { throw std::runtime_error("locked"); };
  EXPECT_EQ(Run(Workflow::kCompress), Outcome::kDone);
  EXPECT_EQ(treated.size(), 2u);
}

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

}  // namespace
}  // namespace tidewell
