#include "cli/console_host.h"

#include <algorithm>
#include <cstdio>
#include <ostream>

namespace tidewell::cli {
namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid one.
size_t Utf8Length(std::string_view s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  size_t n = 0;
  if (b < 0x80) return 1;
  if ((b & 0xE0) == 0xC0 && b >= 0xC2)
    n = 2;
  else if ((b & 0xF0) == 0xE0)
    n = 3;
  else if ((b & 0xF8) == 0xF0 && b <= 0xF4)
    n = 4;
  else
    return 0;
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return n;
}

const char* AnswerWord(int answer) {
  switch (answer) {
    case vbYes:
      return "Yes";
    case vbNo:
      return "No";
    default:
      return "OK";
  }
}

bool IsQuestion(int style) {
  return (style & 0x7) == vbYesNo;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (u < 0x20 || u == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
          } else {
            out += c;
          }
      }
      ++i;
      continue;
    }
    const size_t n = Utf8Length(text, i);
    if (n == 0) {
      out += "\\ufffd";
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  out += '"';
  return out;
}

const char* IconWord(int style) {
  switch (style & 0x70) {
    case 16:
      return "ERROR";
    case 32:
      return "QUESTION";
    case 48:
      return "WARNING";
    case 64:
      return "INFO";
    default:
      return IsQuestion(style) ? "QUESTION" : "MESSAGE";
  }
}

ConsoleHost::ConsoleHost(ConsoleOptions options, std::ostream& out, std::ostream& err,
                         std::function<std::optional<std::string>()> ask)
    : options_(std::move(options)),
      out_(out),
      err_(err),
      ask_(std::move(ask)),
      summary_(options_.action) {}

void ConsoleHost::EndBar() {
  if (!bar_drawn_) return;
  err_ << "\r\033[K" << std::flush;
  bar_drawn_ = false;
}

std::string ConsoleHost::FileField() const {
  const std::string& file = summary_.Current();
  return file.empty() ? std::string() : ",\"file\":" + JsonString(file);
}

std::string ConsoleHost::FilePrefix() const {
  const std::string& file = summary_.Current();
  if (file.empty()) return {};
  const size_t slash = file.rfind('/');
  return (slash == std::string::npos ? file : file.substr(slash + 1)) + ": ";
}

int ConsoleHost::Answer(std::string_view text, int safe_answer, bool* from_user) {
  *from_user = false;
  if (!options_.answers.empty()) {
    const int a = options_.answers.front();
    options_.answers.pop_front();
    return a;
  }
  if (!options_.interactive || !ask_) return safe_answer;
  // Without --json the question is already on the screen; with it, stdout is for the
  // machine, so the prompt repeats the text on standard error.
  if (options_.json) err_ << text << "\n";
  for (;;) {
    err_ << "Yes or No? [y/n] " << std::flush;
    const std::optional<std::string> line = ask_();
    if (!line) return safe_answer;
    if (*line == "y" || *line == "Y" || *line == "yes" || *line == "Yes") {
      *from_user = true;
      return vbYes;
    }
    if (*line == "n" || *line == "N" || *line == "no" || *line == "No") {
      *from_user = true;
      return vbNo;
    }
  }
}

int ConsoleHost::MsgBox(std::string_view text, int style, int safe_answer) {
  EndBar();
  // The boxes of this tool that carry no icon all report errors.
  const bool information = (style & 0x70) == vbInformation;
  if (!information) {
    error_shown_ = error_shown_ || !IsQuestion(style);
    if (!IsQuestion(style)) summary_.ErrorShown();
  }
  // Results on standard output; errors, warnings and the questions about them on standard
  // error, where a script that keeps only the results still shows them.
  std::ostream& to = information ? out_ : err_;
  const bool shown = !options_.json && !(information && options_.quiet);
  int answer = vbOK;
  if (shown) to << "[" << IconWord(style) << "] " << text << "\n" << std::flush;
  if (IsQuestion(style)) {
    bool from_user = false;
    answer = Answer(text, safe_answer, &from_user);
    if (!options_.json) err_ << "  -> " << AnswerWord(answer) << "\n" << std::flush;
  }
  if (options_.json) {
    out_ << "{\"event\":\"message\"" << FileField() << ",\"style\":" << style
         << ",\"text\":" << JsonString(text) << ",\"answer\":" << answer << "}\n"
         << std::flush;
  }
  return answer;
}

void ConsoleHost::SetStatus(std::string_view caption) {
  EndBar();
  if (options_.json)
    out_ << "{\"event\":\"status\"" << FileField() << ",\"text\":" << JsonString(caption) << "}\n"
         << std::flush;
  else if (!options_.quiet)
    err_ << "-- " << FilePrefix() << caption << "\n" << std::flush;
}

void ConsoleHost::BeginFile(std::string_view file) {
  EndBar();
  summary_.Begin(std::string(file));
  if (options_.on_file) options_.on_file(std::string(file));
  last_stage_.clear();
  last_permille_ = 0;
}

void ConsoleHost::Note(std::string_view, engine::Fate fate, std::string_view detail) {
  summary_.Note(fate, detail);
}

void ConsoleHost::Progress(std::string_view stage, uint64_t done, uint64_t total) {
  const auto now = std::chrono::steady_clock::now();
  const bool finished = total > 0 && done >= total;
  const bool new_stage = stage != last_stage_;
  if (new_stage) last_permille_ = 0;
  // A stage that learns its size as it goes may compute a smaller share than it showed;
  // the user would read that as going back, so it holds until it passes what was shown.
  const uint64_t permille = total > 0 ? std::min<uint64_t>(done, total) * 1000 / total : 0;
  if (!new_stage && !finished && permille < last_permille_) return;
  // A bar may redraw often; plain lines (a log, a pipe) once a second is plenty.
  const auto gap = options_.progress_gap_ms >= 0
                       ? std::chrono::milliseconds(options_.progress_gap_ms)
                   : options_.progress_bar && !options_.json ? std::chrono::milliseconds(100)
                                                             : std::chrono::milliseconds(1000);
  if (!new_stage && !finished && now - last_progress_ < gap) return;
  last_stage_ = std::string(stage);
  last_progress_ = now;
  last_permille_ = std::max(last_permille_, permille);

  if (options_.json) {
    out_ << "{\"event\":\"progress\"" << FileField() << ",\"stage\":" << JsonString(stage)
         << ",\"done\":" << done << ",\"total\":" << total << "}\n"
         << std::flush;
    return;
  }
  if (options_.quiet) return;
  // A step of one unit has no share worth showing: it is begun, then done.
  const bool counted = total > 1;
  const int percent = counted ? static_cast<int>(last_permille_ / 10) : -1;
  if (options_.progress_bar) {
    constexpr int kWidth = 30;
    std::string bar;
    if (percent >= 0) {
      const int filled = percent * kWidth / 100;
      bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
            std::to_string(percent) + "%";
    } else {
      bar = finished ? "done" : total == 0 && done > 0 ? std::to_string(done) : "...";
    }
    err_ << "\r\033[K" << FilePrefix() << stage << " " << bar << std::flush;
    bar_drawn_ = true;
    if (finished) EndBar();
    return;
  }
  err_ << FilePrefix() << stage;
  if (percent >= 0)
    err_ << ": " << percent << "% (" << done << "/" << total << ")\n";
  else if (finished)
    err_ << ": done\n";
  else if (total == 0 && done > 0)
    err_ << ": " << done << "\n";
  else
    err_ << "...\n";
  err_ << std::flush;
}

void ConsoleHost::Line(const std::string& text, const std::string& json) {
  EndBar();
  if (options_.json) {
    if (!json.empty()) out_ << json << "\n" << std::flush;
  } else if (!options_.quiet) {
    out_ << text << "\n" << std::flush;
  }
}

void ConsoleHost::ErrorLine(const std::string& text, const std::string& json) {
  EndBar();
  if (options_.json) {
    if (!json.empty()) out_ << json << "\n" << std::flush;
  } else {
    err_ << text << "\n" << std::flush;
  }
}

int ConsoleHost::Summary() {
  EndBar();
  const std::vector<FileSummary> files = summary_.Finish();
  int code = kExitOk;
  std::string reason;
  for (const FileSummary& f : files) {
    // In use outranks not replaced, which outranks an error message.
    auto rank = [](int c) { return c == kExitInUse ? 3 : c == kExitNotReplaced ? 2 : c ? 1 : 0; };
    if (rank(f.exit) > rank(code)) {
      code = f.exit;
      reason = f.file + ": " + (f.reason.empty() ? f.done : f.reason);
    }
    if (options_.json) {
      std::string left = "[";
      for (size_t i = 0; i < f.left.size(); ++i)
        left += std::string(i ? "," : "") + "{\"file\":" + JsonString(f.left[i].path) +
                ",\"bytes\":" + std::to_string(f.left[i].bytes) + "}";
      out_ << "{\"event\":\"summary\",\"file\":" << JsonString(f.file)
           << ",\"done\":" << JsonString(f.done) << ",\"left\":" << left << "]"
           << ",\"undo\":" << JsonString(f.undo) << ",\"exit\":" << f.exit << "}\n";
      continue;
    }
    if (options_.quiet) continue;
    out_ << f.file << ": " << f.done << "\n";
    for (const LeftFile& l : f.left)
      out_ << "  left beside it: " << l.path << " (" << HumanBytes(l.bytes) << ")\n";
    if (!f.undo.empty()) out_ << "  to undo: " << f.undo << "\n";
  }
  out_ << std::flush;
  if (code != kExitOk && !options_.json) {
    if (code == kExitAfterError)
      err_ << "tidewell-cli: finished after an error; see the messages above\n";
    else
      err_ << "tidewell-cli: " << reason << "\n";
    err_ << std::flush;
  }
  return code;
}

void ConsoleHost::Result(int exit_code) {
  EndBar();
  if (options_.json) out_ << "{\"event\":\"result\",\"exit\":" << exit_code << "}\n" << std::flush;
}

}  // namespace tidewell::cli
