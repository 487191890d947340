#include "cli/console.h"

#include <pthread.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "cli/console_host.h"
#include "workflows/default_paths.h"
#include "workflows/modXFiles.h"
#include "workflows/runners.h"

#ifndef TIDEWELL_VERSION
#define TIDEWELL_VERSION "0.1.0"
#endif

namespace tidewell::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

// The temporary files of the file being treated, kept where the signal handler can reach
// them without allocating: a second Ctrl-C removes them on its way out.
constexpr int kMaxTemps = 8;
char g_temps[kMaxTemps][PATH_MAX];
volatile std::sig_atomic_t g_temp_count = 0;

void WriteErr(const char* text) {
  ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
}

// The first Ctrl-C asks the workflow to stop after the file it is treating, and says so at
// once: the current file may take minutes. A second one stops now. Every operation leaves
// a complete database under its name at any instant, so only our own temporary files are
// left to clear away.
extern "C" void OnInterrupt(int) {
  if (g_interrupted == 0) {
    g_interrupted = 1;
    WriteErr("\ntidewell-cli: stopping after the current file; press Ctrl-C again to stop now.\n");
    return;
  }
  for (int i = 0; i < g_temp_count; ++i) ::unlink(g_temps[i]);
  WriteErr(
      "\ntidewell-cli: stopped now; the database under its own name is as it was before "
      "the step that was cut off.\n");
  ::_exit(kExitInterrupted);
}

// Called as the run turns to a file, with Ctrl-C held back so the handler never reads a
// half-written list.
void SetTemporaryFiles(const std::string& file) {
  const std::vector<std::string> names = BesideNamesFor(file).Temporary();
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  int n = 0;
  for (const std::string& name : names) {
    for (const char* suffix : {"", "-journal"}) {
      const std::string full = name + suffix;
      if (n < kMaxTemps && full.size() < PATH_MAX)
        std::memcpy(g_temps[n++], full.c_str(), full.size() + 1);
    }
  }
  g_temp_count = n;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// The window of the console: the database given on the command line plays both the
// start-up path and the path box.
class ConsolePort : public WindowPort {
 public:
  ConsolePort(std::string database, std::string template_db)
      : database_(std::move(database)), template_(std::move(template_db)) {}
  void SetBusy(bool) override {}
  std::string DbName(bool p_blnFull) override { return p_blnFull ? database_ : template_; }
  std::string PathBoxText() override { return database_; }
  bool CloseRequested() override { return g_interrupted != 0; }
  void CloseWindow() override {}

 private:
  std::string database_;
  std::string template_;
};

bool ParseAnswers(const std::string& list, std::deque<int>& answers) {
  size_t from = 0;
  while (from <= list.size()) {
    size_t comma = list.find(',', from);
    if (comma == std::string::npos) comma = list.size();
    std::string word = list.substr(from, comma - from);
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "y" || word == "yes")
      answers.push_back(vbYes);
    else if (word == "n" || word == "no")
      answers.push_back(vbNo);
    else
      return false;
    from = comma + 1;
  }
  return true;
}

std::string N(uint64_t n) {
  return std::to_string(n);
}

std::string SideText(const char* name, const SideFile& f, const char* hot_means) {
  std::string text = std::string("  ") + name + ": ";
  if (!f.present) return text + "none";
  text += N(f.bytes) + " bytes, ";
  if (f.hot) return text + "hot (" + hot_means + ")";
  if (!f.valid_header) return text + "not hot (no live header)";
  return text + "not hot (a connection has the database open)";
}

std::string SideJson(const char* name, const SideFile& f) {
  const std::string n = name;
  return ",\"" + n + "_present\":" + (f.present ? "true" : "false") + ",\"" + n +
         "_bytes\":" + N(f.bytes) + ",\"" + n + "_hot\":" + (f.hot ? "true" : "false");
}

// Size, free space and the compaction estimate, then the side files.
void ReportSpace(ConsoleHost& host, const FileCheck& c) {
  const SpaceFigures& s = c.space;
  const std::string file = JsonString(c.path);
  if (!s.header_ok) {
    host.Line("  size: " + N(s.file_bytes) + " bytes, no database header",
              "{\"event\":\"space\",\"file\":" + file + ",\"file_bytes\":" + N(s.file_bytes) +
                  ",\"database_header\":false}");
  } else {
    const uint64_t in_use = s.page_count - s.free_pages;
    const std::string through = s.read_through == "wal"       ? " with the WAL's last commit"
                                : s.read_through == "journal" ? " with the hot journal rolled back"
                                                              : "";
    host.Line("  size: " + N(s.file_bytes) + " bytes, " + N(s.page_count) + " pages of " +
                  N(s.page_size) + " bytes" + through,
              "{\"event\":\"space\",\"file\":" + file + ",\"file_bytes\":" + N(s.file_bytes) +
                  ",\"read_through\":\"" + s.read_through + "\"" +
                  ",\"page_size\":" + N(s.page_size) + ",\"page_count\":" + N(s.page_count) +
                  ",\"free_pages\":" + N(s.free_pages) + ",\"free_bytes\":" + N(s.free_bytes) +
                  ",\"unused_bytes_estimate\":" + N(s.unused_bytes) +
                  ",\"compacted_bytes_estimate\":" + N(s.compacted_bytes) + ",\"sampled_pages\":" +
                  N(s.sampled_pages) + ",\"pages_in_use\":" + N(in_use) + "}");
    host.Line("  free: " + N(s.free_pages) + " pages (" + N(s.free_bytes) +
                  " bytes) on the freelist; about " + N(s.unused_bytes) +
                  " bytes unused inside the pages in use (estimate)",
              "");
    host.Line("  after compaction: about " + N(s.compacted_bytes) + " bytes (estimate, from " +
                  N(s.sampled_pages) + " of " + N(in_use) + " pages in use)",
              "");
  }
  const std::string mode = !s.header_ok ? "unknown" : s.wal_mode ? "wal" : "rollback";
  host.Line("  journal mode: " + mode,
            "{\"event\":\"journal\",\"file\":" + file + ",\"journal_mode\":\"" + mode + "\"" +
                SideJson("journal", c.journal) + SideJson("wal", c.wal) + "}");
  host.Line(SideText("journal", c.journal,
                     "a write was cut off; the next open that may write rolls it back"),
            "");
  host.Line(SideText("WAL", c.wal, "commits not yet in the file; the next open replays them"), "");
}

// Whether the folder can take what Start and Compress write beside the file: the compacted
// copy, a repaired copy first when the file is not sound, and a copy of the file as its
// backup where the folder cannot hold a second name for it (no hard links).
void ReportRoom(ConsoleHost& host, const FileCheck& c) {
  const std::string folder = std::filesystem::path(c.path).parent_path().string();
  struct statvfs fs {};
  if (::statvfs(folder.empty() ? "." : folder.c_str(), &fs) != 0) return;
  const uint64_t free_bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  const uint64_t copy = c.space.header_ok ? c.space.compacted_bytes : c.space.file_bytes;
  const uint64_t needs = c.Sound() ? copy : 2 * copy;
  const uint64_t without_links = needs + c.space.file_bytes;
  const char* verdict = free_bytes >= without_links ? "enough"
                        : free_bytes >= needs       ? "enough if the folder takes hard links"
                                                    : "NOT enough";
  host.Line("  room: " + HumanBytes(free_bytes) + " free; start and compress write about " +
                HumanBytes(needs) + " here (" + HumanBytes(without_links) +
                " where the folder takes no hard links): " + verdict,
            "{\"event\":\"room\",\"file\":" + JsonString(c.path) +
                ",\"free_bytes\":" + N(free_bytes) + ",\"needs_bytes\":" + N(needs) +
                ",\"needs_bytes_without_links\":" + N(without_links) +
                ",\"enough\":" + (free_bytes >= needs ? "true" : "false") + "}");
}

int RunCheck(ConsoleHost& host, const CliOptions& options) {
  bool all_sound = true;
  for (const std::string& path : {options.database, QueuePath(options.database)}) {
    if (path.empty()) {
      host.ErrorLine("-Queue.mdb: not found",
                     R"({"event":"check","file":"-Queue.mdb","found":false})");
      return kExitNotFound;
    }
    const FileCheck c = CheckDatabase(path);
    if (!c.found) {
      host.ErrorLine(path + ": not found",
                     "{\"event\":\"check\",\"file\":" + JsonString(path) + ",\"found\":false}");
      return kExitNotFound;
    }
    host.Line(path + ":", "{\"event\":\"file\",\"file\":" + JsonString(path) + "}");
    ReportSpace(host, c);
    if (!c.opened)
      host.Line((c.left_unopened ? "  " : "  cannot be opened: ") + c.open_error,
                "{\"event\":\"check\",\"file\":" + JsonString(path) +
                    ",\"opened\":false,\"error\":" + JsonString(c.open_error) + "}");
    for (const TableCount& t : c.tables) {
      if (t.ok)
        host.Line("  " + t.name + ": " + std::to_string(t.records) + " records",
                  "{\"event\":\"table\",\"file\":" + JsonString(path) + ",\"table\":" +
                      JsonString(t.name) + ",\"records\":" + std::to_string(t.records) + "}");
      else
        host.Line("  " + t.name + ": cannot be read (" + t.error + ")",
                  "{\"event\":\"table\",\"file\":" + JsonString(path) + ",\"table\":" +
                      JsonString(t.name) + ",\"error\":" + JsonString(t.error) + "}");
    }
    // A badly broken file lists hundreds of lost pages; the first few tell the story.
    constexpr size_t kShown = 8;
    for (size_t i = 0; i < c.integrity.size() && i < kShown; ++i)
      host.Line("  integrity: " + c.integrity[i],
                "{\"event\":\"integrity\",\"file\":" + JsonString(path) +
                    ",\"problem\":" + JsonString(c.integrity[i]) + "}");
    if (c.integrity.size() > kShown)
      host.Line("  integrity: ... and " + std::to_string(c.integrity.size() - kShown) + " more",
                "{\"event\":\"integrity\",\"file\":" + JsonString(path) +
                    ",\"more\":" + std::to_string(c.integrity.size() - kShown) + "}");
    const bool sound = c.Sound();
    host.Line(std::string("  ") + (sound ? "sound" : "NOT sound"),
              "{\"event\":\"verdict\",\"file\":" + JsonString(path) +
                  ",\"sound\":" + (sound ? "true" : "false") + "}");
    ReportRoom(host, c);
    all_sound = all_sound && sound;
  }
  return all_sound ? kExitOk : kExitAfterError;
}

}  // namespace

std::string UsageText() {
  return "Usage: tidewell-cli [OPTIONS] ACTION [DATABASE]\n"
         "\n"
         "Keeps the Vardlink crawler's database and its queue database healthy. Stop the\n"
         "crawler first; run `tidewell-cli check`, then `tidewell-cli start`.\n"
         "\n"
         "ACTION\n"
         "  start       repair, compact and check the database, then its queue database,\n"
         "              and report how the record counts changed (the window's Start)\n"
         "  compress    compact both files, keeping a backup\n"
         "  repair      repair both files\n"
         "  regenerate  copy both files into new databases and add whatever tables,\n"
         "              fields and indexes they lack compared with the template\n"
         "  check       read-only: show each file's size, free space, estimated size\n"
         "              after compaction, whether its folder has room for start and\n"
         "              compress, journal mode and any journal or WAL beside it, count\n"
         "              the records of every table and check the file structure\n"
         "\n"
         "DATABASE defaults to Vardlink.mdb in the folder of tidewell-cli when that\n"
         "folder holds one (a copy kept beside the crawler), else in the current\n"
         "folder. The queue database is DATABASE without its last four characters +\n"
         "\"-Queue.mdb\".\n"
         "\n"
         "OPTIONS\n"
         "  --template FILE   template for regenerate (default: Vardlink_Default.mdb in\n"
         "                    the folder of tidewell-cli; where that folder holds\n"
         "                    neither it nor Vardlink.mdb, beside DATABASE)\n"
         "  --answers LIST    answers to the Yes/No questions in order, e.g. y,n,y; with\n"
         "                    none left the question is asked on a terminal, otherwise\n"
         "                    the answer that changes nothing is given\n"
         "  --json            one JSON object per event on standard output\n"
         "  -q, --quiet       print errors and questions only\n"
         "  -h, --help        this text\n"
         "  -V, --version     the version\n"
         "Options that take a value take it as --opt=VALUE or --opt VALUE.\n"
         "\n"
         "Results (the closing message, the analysis report, the summary) go to standard\n"
         "output; errors, warnings, questions and progress to standard error.\n"
         "\n"
         "Exit status:\n"
         "  0    every file was treated as asked (check: both files sound)\n"
         "  1    an error message was shown (check: a file is not sound)\n"
         "  2    a file was not found\n"
         "  3    a file was not compacted, regenerated or repaired as asked (it changed\n"
         "       meanwhile, the disk was full, it is read-only, no template...); it is\n"
         "       as it was\n"
         "  4    another program had a file open; it was left alone\n"
         "  64   usage error\n"
         "  130  stopped by Ctrl-C\n"
         "When several apply, the first of 130, 4, 3, 2, 1 is given.\n";
}

CliOptions ParseArgs(const std::vector<std::string>& args, const std::string& app_folder) {
  CliOptions o;
  std::vector<std::string> positional;
  bool template_given = false;
  bool options_done = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](const std::string& name, std::string& into) {
      if (a.size() > name.size() && a.compare(0, name.size() + 1, name + "=") == 0) {
        into = a.substr(name.size() + 1);
        return true;
      }
      if (i + 1 >= args.size()) {
        o.error = name + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    // A switch also takes an explicit value, as every option with a value does.
    auto flag = [&](const char* name, bool& into) {
      const std::string n = name;
      if (a == n) return into = true;
      if (a.rfind(n + "=", 0) != 0) return false;
      const std::string v = a.substr(n.size() + 1);
      if (v == "1" || v == "yes" || v == "true" || v == "on") return into = true, true;
      if (v == "0" || v == "no" || v == "false" || v == "off") return into = false, true;
      o.error = n + " takes yes or no, not '" + v + "'";
      return true;
    };
    if (options_done || a.empty() || a[0] != '-' || a == "-") {
      positional.push_back(a);
    } else if (a == "--") {
      options_done = true;
    } else if (a == "-h" || flag("--help", o.help)) {
      if (a == "-h") o.help = true;
    } else if (a == "-V" || flag("--version", o.version)) {
      if (a == "-V") o.version = true;
    } else if (flag("--json", o.json)) {
    } else if (a == "-q" || flag("--quiet", o.quiet)) {
      if (a == "-q") o.quiet = true;
    } else if (a == "--template" || a.rfind("--template=", 0) == 0) {
      if (!value("--template", o.template_db)) return o;
      template_given = true;
    } else if (a == "--answers" || a.rfind("--answers=", 0) == 0) {
      std::string list;
      if (!value("--answers", list)) return o;
      if (!ParseAnswers(list, o.answers)) {
        o.error = "--answers takes y and n separated by commas, not '" + list + "'";
        return o;
      }
    } else {
      o.error = "unknown option '" + a + "'";
      return o;
    }
  }
  if (!o.error.empty() || o.help || o.version) return o;
  if (positional.empty()) {
    o.error = "no ACTION given";
    return o;
  }
  if (positional.size() > 2) {
    o.error = "too many arguments (the database path is one argument; quote it)";
    return o;
  }
  o.action = positional[0];
  if (o.action != "start" && o.action != "compress" && o.action != "repair" &&
      o.action != "regenerate" && o.action != "check") {
    o.error = "unknown ACTION '" + o.action + "'";
    return o;
  }
  if (template_given && o.action != "regenerate") {
    o.error = "--template applies to regenerate only";
    return o;
  }
  o.database =
      positional.size() == 2 ? positional[1] : DefaultDatabase(app_folder, CurrentFolder());
  if (o.database.empty()) {
    o.error = "the DATABASE path is empty";
    return o;
  }
  if (!template_given) o.template_db = DefaultTemplate(app_folder, o.database);
  return o;
}

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  CliOptions options = ParseArgs(args, ApplicationFolder());
  if (options.help) {
    std::cout << UsageText();
    return kExitOk;
  }
  if (options.version) {
    std::cout << "tidewell-cli " << TIDEWELL_VERSION << "\n";
    return kExitOk;
  }
  if (!options.error.empty()) {
    std::cerr << "tidewell-cli: " << options.error << "\n"
              << "Try 'tidewell-cli --help'.\n";
    if (options.json) std::cout << "{\"event\":\"result\",\"exit\":" << kExitUsage << "}\n";
    return kExitUsage;
  }

  ConsoleOptions console;
  console.json = options.json;
  console.quiet = options.quiet;
  console.answers = options.answers;
  console.interactive = ::isatty(STDIN_FILENO) != 0;
  console.progress_bar = ::isatty(STDERR_FILENO) != 0;
  if (options.action != "check") {
    console.action = options.action;
    console.on_file = SetTemporaryFiles;
  }
  ConsoleHost host(console, std::cout, std::cerr, []() -> std::optional<std::string> {
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    return line;
  });

  int code = kExitOk;
  if (options.action == "check") {
    code = RunCheck(host, options);
  } else {
    struct sigaction on_int {};
    on_int.sa_handler = OnInterrupt;
    sigemptyset(&on_int.sa_mask);
    ::sigaction(SIGINT, &on_int, nullptr);
    ConsolePort port(options.database, options.template_db);
    Runners runners(host, port);
    Outcome outcome = Outcome::kDone;
    if (options.action == "start")
      outcome = runners.cmdCompress_Click();
    else if (options.action == "compress")
      outcome = runners.cmdACompress_Click();
    else if (options.action == "repair")
      outcome = runners.cmdARepair_Click();
    else
      outcome = runners.cmdARegen_Click();
    std::signal(SIGINT, SIG_DFL);
    if (outcome == Outcome::kInterrupted)
      host.Line("Stopped after the current file, as asked.", R"({"event":"interrupted"})");
    code = host.Summary();
    if (outcome == Outcome::kNotFound && code != kExitInUse && code != kExitNotReplaced)
      code = kExitNotFound;
    if (outcome == Outcome::kInterrupted) code = kExitInterrupted;
  }
  host.Result(code);
  return code;
}

}  // namespace tidewell::cli
