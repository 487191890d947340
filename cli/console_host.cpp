#include "cli/console_host.h"

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
    : options_(std::move(options)), out_(out), err_(err), ask_(std::move(ask)) {}

void ConsoleHost::EndBar() {
  if (!bar_drawn_) return;
  err_ << "\r\033[K" << std::flush;
  bar_drawn_ = false;
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
  if ((style & 0x70) == vbCritical) error_shown_ = true;
  int answer = vbOK;
  if (!options_.json) out_ << "[" << IconWord(style) << "] " << text << "\n" << std::flush;
  if (IsQuestion(style)) {
    bool from_user = false;
    answer = Answer(text, safe_answer, &from_user);
    if (!options_.json) out_ << "  -> " << AnswerWord(answer) << "\n" << std::flush;
  }
  if (options_.json) {
    out_ << "{\"event\":\"message\",\"style\":" << style << ",\"text\":" << JsonString(text)
         << ",\"answer\":" << answer << "}\n"
         << std::flush;
  }
  return answer;
}

void ConsoleHost::SetStatus(std::string_view caption) {
  EndBar();
  if (options_.json)
    out_ << "{\"event\":\"status\",\"text\":" << JsonString(caption) << "}\n" << std::flush;
  else
    out_ << "-- " << caption << "\n" << std::flush;
}

void ConsoleHost::Progress(std::string_view stage, uint64_t done, uint64_t total) {
  const auto now = std::chrono::steady_clock::now();
  const bool finished = total > 0 && done >= total;
  const bool new_stage = stage != last_stage_;
  // A bar may redraw often; plain lines (a log, a pipe) once a second is plenty.
  const auto gap = options_.progress_bar && !options_.json ? std::chrono::milliseconds(100)
                                                           : std::chrono::milliseconds(1000);
  if (!new_stage && !finished && now - last_progress_ < gap) return;
  last_stage_ = std::string(stage);
  last_progress_ = now;

  if (options_.json) {
    out_ << "{\"event\":\"progress\",\"stage\":" << JsonString(stage) << ",\"done\":" << done
         << ",\"total\":" << total << "}\n"
         << std::flush;
    return;
  }
  const int percent = total > 0 ? static_cast<int>(done * 100 / total) : -1;
  if (options_.progress_bar) {
    constexpr int kWidth = 30;
    std::string bar;
    if (percent >= 0) {
      const int filled = percent * kWidth / 100;
      bar = "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "] " +
            std::to_string(percent) + "%";
    } else {
      bar = std::to_string(done);
    }
    err_ << "\r\033[K" << stage << " " << bar << std::flush;
    bar_drawn_ = true;
    if (finished) EndBar();
    return;
  }
  err_ << stage << ": ";
  if (percent >= 0)
    err_ << percent << "% (" << done << "/" << total << ")\n";
  else
    err_ << done << "\n";
  err_ << std::flush;
}

void ConsoleHost::Line(const std::string& text, const std::string& json) {
  EndBar();
  if (options_.json) {
    if (!json.empty()) out_ << json << "\n" << std::flush;
  } else
    out_ << text << "\n" << std::flush;
}

void ConsoleHost::Result(int exit_code) {
  EndBar();
  if (options_.json) out_ << "{\"event\":\"result\",\"exit\":" << exit_code << "}\n" << std::flush;
}

}  // namespace tidewell::cli
