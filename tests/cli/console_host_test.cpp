// The console host and the command line, without a process.
#include "cli/console_host.h"

#include <gtest/gtest.h>

#include <sstream>

#include "cli/console.h"

namespace tidewell::cli {
namespace {

TEST(JsonStringTest, EscapesControlsAndKeepsOnlyWholeUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"a \"b\" c\\d", R"("a \"b\" c\\d")"},
      {"one\r\ntwo\tthree", R"("one\r\ntwo\tthree")"},
      {std::string("\x01\x0b\x1f", 3), R"("\u0001\u000b\u001f")"},
      {"\xC3\xBC", "\"\xC3\xBC\""},
      {"a\xFFz", R"("a\ufffdz")"},
      {"cut \xC3", R"("cut \ufffd")"},
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(JsonString(text), json);
}

struct Console {
  explicit Console(ConsoleOptions o, std::vector<std::string> typed = {})
      : typed_(std::move(typed)), host(std::move(o), out, err, [this] {
          return next_ < typed_.size() ? std::optional(typed_[next_++]) : std::nullopt;
        }) {}
  std::ostringstream out, err;
  std::vector<std::string> typed_;
  size_t next_ = 0;
  ConsoleHost host;
};

// The list of answers first, then the terminal until it says yes or no, then the safe answer.
TEST(ConsoleHostTest, AnswersComeFromTheListThenTheTerminal) {
  ConsoleOptions o;
  o.answers = {vbNo};
  o.interactive = true;
  Console c(o, {"maybe", "y"});
  EXPECT_EQ(c.host.MsgBox("note", vbInformation), vbOK);  // takes no answer
  EXPECT_EQ(c.host.MsgBox("first?", vbYesNo, vbYes), vbNo);
  EXPECT_EQ(c.host.MsgBox("second?", vbYesNo, vbNo), vbYes);
  EXPECT_EQ(c.host.MsgBox("third?", vbYesNo, vbNo), vbNo);
  EXPECT_EQ(c.out.str(),
            "[INFO] note\n[QUESTION] first?\n  -> No\n[QUESTION] second?\n  -> Yes\n"
            "[QUESTION] third?\n  -> No\n");
}

TEST(ConsoleHostTest, ProgressLinesAreThrottledButTheFinishShows) {
  Console plain{ConsoleOptions{}};
  for (const uint64_t done : {0, 1, 999, 1000}) plain.host.Progress("Compacting", done, 1000);
  EXPECT_EQ(plain.err.str(), "Compacting: 0% (0/1000)\nCompacting: 100% (1000/1000)\n");
}

TEST(ParseArgsTest, DefaultsOptionsAndUsageErrors) {
  CliOptions o = ParseArgs({"start"}, "/opt/tw");
  EXPECT_EQ(o.database, "/opt/tw/Vardlink.mdb");
  EXPECT_EQ(o.template_db, "/opt/tw/Vardlink_Default.mdb");
  o = ParseArgs(
      {"--json", "regenerate", "--template=/t.mdb", "/d/My Site.mdb", "--answers", "y,N,yes"},
      "/opt/tw");
  EXPECT_TRUE(o.error.empty()) << o.error;
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.database, "/d/My Site.mdb");
  EXPECT_EQ(o.template_db, "/t.mdb");
  EXPECT_EQ(o.answers, (std::deque<int>{vbYes, vbNo, vbYes}));
  EXPECT_EQ(ParseArgs({"--", "check", "-odd.mdb"}, "/x").database, "-odd.mdb");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"fix"},
                                             {"start", "a.mdb", "b.mdb"},
                                             {"--bogus", "start"},
                                             {"start", "--answers", "y,maybe"},
                                             {"start", "--answers"},
                                             {"compress", "--template", "t.mdb"},
                                             {"start", ""}})
    EXPECT_FALSE(ParseArgs(args, "/opt/tw").error.empty()) << ::testing::PrintToString(args);
}

}  // namespace
}  // namespace tidewell::cli
