// The console host: what the terminal and a JSON reader see, and how questions are answered.
#include "cli/console_host.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/console.h"

namespace tidewell::cli {
namespace {

TEST(JsonStringTest, EscapesControlsAndKeepsOnlyWholeUtf8) {
  EXPECT_EQ(JsonString("a \"b\" c\\d"), R"("a \"b\" c\\d")");
  EXPECT_EQ(JsonString("one\r\ntwo\tthree"), R"("one\r\ntwo\tthree")");
  EXPECT_EQ(JsonString(std::string("\x01\x1f", 2)), R"("\u0001\u001f")");
  // UTF-8 is kept; broken bytes are replaced.
  EXPECT_EQ(JsonString("Tabelle \xC3\xBC"
                       "ber"),
            "\"Tabelle \xC3\xBC"
            "ber\"");
  EXPECT_EQ(JsonString("a\xFFz"), R"("a\ufffdz")");
  EXPECT_EQ(JsonString("cut \xC3"), R"("cut \ufffd")");
}

struct Console {
  explicit Console(ConsoleOptions o, std::vector<std::string> typed = {})
      : typed_(std::move(typed)),
        host(std::move(o), out, err, [this]() -> std::optional<std::string> {
          if (next_ >= typed_.size()) return std::nullopt;
          return typed_[next_++];
        }) {}
  std::ostringstream out, err;
  std::vector<std::string> typed_;
  size_t next_ = 0;
  ConsoleHost host;
};

TEST(ConsoleHostTest, JsonEventsCarryTextsExactly) {
  ConsoleOptions o;
  o.json = true;
  Console c(o);
  c.host.SetStatus("Opening database");
  EXPECT_EQ(c.host.MsgBox("Line one\r\nLine two", vbInformation), vbOK);
  c.host.Result(0);
  EXPECT_EQ(c.out.str(),
            "{\"event\":\"status\",\"text\":\"Opening database\"}\n"
            "{\"event\":\"message\",\"style\":64,\"text\":\"Line one\\r\\nLine two\","
            "\"answer\":1}\n"
            "{\"event\":\"result\",\"exit\":0}\n");
  EXPECT_TRUE(c.err.str().empty());
}

TEST(ConsoleHostTest, AnswersAreUsedInOrderThenTheSafeAnswer) {
  ConsoleOptions o;
  o.answers = {vbYes, vbNo};
  Console c(o);
  EXPECT_EQ(c.host.MsgBox("first?", vbYesNo, vbNo), vbYes);
  EXPECT_EQ(c.host.MsgBox("second?", vbYesNo, vbYes), vbNo);
  EXPECT_EQ(c.host.MsgBox("third?", vbYesNo + 32, vbNo), vbNo);
  EXPECT_EQ(c.host.MsgBox("fourth?", vbYesNo, vbYes), vbYes);
  // Information boxes never take an answer from the list.
  EXPECT_EQ(c.host.MsgBox("note", vbInformation), vbOK);
  EXPECT_NE(c.out.str().find("[QUESTION] first?\n  -> Yes"), std::string::npos);
  EXPECT_NE(c.out.str().find("[QUESTION] second?\n  -> No"), std::string::npos);
  EXPECT_NE(c.out.str().find("[INFO] note"), std::string::npos);
}

TEST(ConsoleHostTest, OnATerminalItAsksUntilItGetsYesOrNo) {
  ConsoleOptions o;
  o.interactive = true;
  Console c(o, {"maybe", "y", "n"});
  EXPECT_EQ(c.host.MsgBox("go on?", vbYesNo, vbNo), vbYes);
  EXPECT_EQ(c.host.MsgBox("again?", vbYesNo, vbYes), vbNo);
  // End of input gives the safe answer.
  EXPECT_EQ(c.host.MsgBox("and now?", vbYesNo, vbNo), vbNo);
}

TEST(ConsoleHostTest, ErrorBoxesAreNoticed) {
  Console c{ConsoleOptions{}};
  c.host.MsgBox("fine", vbInformation);
  EXPECT_FALSE(c.host.ErrorShown());
  c.host.MsgBox("bad", vbCritical);
  EXPECT_TRUE(c.host.ErrorShown());
  EXPECT_NE(c.out.str().find("[ERROR] bad"), std::string::npos);
}

TEST(ConsoleHostTest, PlainProgressLinesAreThrottledButFinishesShow) {
  Console c{ConsoleOptions{}};
  for (uint64_t i = 0; i <= 1000; ++i) c.host.Progress("Compacting", i, 1000);
  const std::string e = c.err.str();
  EXPECT_NE(e.find("Compacting: 0%"), std::string::npos);
  EXPECT_NE(e.find("Compacting: 100% (1000/1000)"), std::string::npos);
  EXPECT_LT(std::count(e.begin(), e.end(), '\n'), 10);
}

TEST(ConsoleHostTest, BarRedrawsInPlaceAndIsClearedBeforeText) {
  ConsoleOptions o;
  o.progress_bar = true;
  Console c(o);
  c.host.Progress("Repairing", 1, 4);
  c.host.SetStatus("Checking database");
  EXPECT_NE(c.err.str().find("\r\033[KRepairing ["), std::string::npos);
  EXPECT_EQ(c.err.str().find('\n'), std::string::npos);
  EXPECT_EQ(c.out.str(), "-- Checking database\n");
}

TEST(ParseArgsTest, DefaultsComeFromTheProgramFolder) {
  const CliOptions o = ParseArgs({"start"}, "/opt/tw");
  EXPECT_TRUE(o.error.empty());
  EXPECT_EQ(o.action, "start");
  EXPECT_EQ(o.database, "/opt/tw/Vardlink.mdb");
  EXPECT_EQ(o.template_db, "/opt/tw/Vardlink_Default.mdb");
  EXPECT_FALSE(o.json);
}

TEST(ParseArgsTest, OptionsAndDatabase) {
  const CliOptions o = ParseArgs(
      {"--json", "regenerate", "--template=/t.mdb", "/d/My Site.mdb", "--answers", "y,N,yes"},
      "/opt/tw");
  EXPECT_TRUE(o.error.empty()) << o.error;
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.database, "/d/My Site.mdb");
  EXPECT_EQ(o.template_db, "/t.mdb");
  EXPECT_EQ(o.answers, (std::deque<int>{vbYes, vbNo, vbYes}));
}

TEST(ParseArgsTest, UsageErrors) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"fix"},
                                             {"start", "a.mdb", "b.mdb"},
                                             {"--bogus", "start"},
                                             {"start", "--answers", "y,maybe"},
                                             {"start", "--answers"},
                                             {"compress", "--template", "t.mdb"},
                                             {"start", ""}}) {
    EXPECT_FALSE(ParseArgs(args, "/opt/tw").error.empty()) << ::testing::PrintToString(args);
  }
  EXPECT_TRUE(ParseArgs({"--help"}, "/x").help);
  EXPECT_TRUE(ParseArgs({"--version"}, "/x").version);
  EXPECT_EQ(ParseArgs({"--", "check", "-odd.mdb"}, "/x").database, "-odd.mdb");
}

}  // namespace
}  // namespace tidewell::cli
