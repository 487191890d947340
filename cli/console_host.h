// The host of tidewell-cli: message boxes, captions and progress go to the terminal, or,
// with --json, one JSON object per event to standard output.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

#include "cli/summary.h"
#include "maintenance/host.h"

namespace tidewell::cli {

// JSON string literal for a text: quotes, backslashes and control characters escaped,
// CR LF kept as \r\n; bytes that are not UTF-8 become U+FFFD so the line stays valid JSON.
std::string JsonString(std::string_view text);

// The word printed in front of a box, after its icon.
const char* IconWord(int style);

struct ConsoleOptions {
  bool json = false;
  std::deque<int> answers;    // vbYes / vbNo, used in order
  bool interactive = false;   // standard input is a terminal we may ask on
  bool progress_bar = false;  // standard error is a terminal: redraw a bar in place
  bool quiet = false;         // text output: errors and questions only
  int progress_gap_ms = -1;   // least time between two lines of one stage; -1: by output
  std::string action;         // the workflow run, for the summary; empty for none
  std::function<void(const std::string&)> on_file;  // told when the run turns to a file
};

class ConsoleHost : public Host {
 public:
  // `ask` reads one answer line from the user; empty optional at end of input.
  ConsoleHost(ConsoleOptions options, std::ostream& out, std::ostream& err,
              std::function<std::optional<std::string>()> ask = {});

  int MsgBox(std::string_view text, int style, int safe_answer = vbOK) override;
  void SetStatus(std::string_view caption) override;
  void DoEvents() override {}
  void SetPointer(int) override {}
  void Progress(std::string_view stage, uint64_t done, uint64_t total) override;
  void BeginFile(std::string_view file) override;
  void Note(std::string_view file, engine::Fate fate, std::string_view detail) override;

  // Extra lines of our own (the check report); `json` is a complete object, or empty when
  // the text line has no event of its own.
  void Line(const std::string& text, const std::string& json);
  // The same for a line that reports a problem: on standard error, and shown when quiet.
  void ErrorLine(const std::string& text, const std::string& json);
  void Result(int exit_code);
  // Prints the closing summary of a workflow and returns the exit status it calls for
  // (kExitOk when every file was treated as asked).
  int Summary();

  // A box with the critical icon was shown.
  bool ErrorShown() const { return error_shown_; }

 private:
  int Answer(std::string_view text, int safe_answer, bool* from_user);
  void EndBar();
  // `"file":"...",` for a JSON event, empty before the first file.
  std::string FileField() const;
  // The file's name for a text line: "Vardlink.mdb: ".
  std::string FilePrefix() const;

  ConsoleOptions options_;
  std::ostream& out_;
  std::ostream& err_;
  std::function<std::optional<std::string>()> ask_;
  bool error_shown_ = false;
  bool bar_drawn_ = false;
  std::string last_stage_;
  uint64_t last_permille_ = 0;  // how far the stage was shown; it never goes back
  std::chrono::steady_clock::time_point last_progress_{};
  RunSummary summary_;
};

}  // namespace tidewell::cli
