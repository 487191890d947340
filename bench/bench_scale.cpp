// The whole tool at several sizes and on both shapes of data, on the same files in one
// run: each workflow (Start, Compress, Repair of a sound and of a damaged file, Regenerate)
// run through the shared runners in a child process, against the sqlite3 shell's VACUUM
// INTO (alone and followed by a sync of the new file) and cp of the same file. Prints one
// table: seconds, the ratios, the child's peak memory and the time per MB, so that growth
// with size can be read off directly. The "pages" shape holds its bulk in large page
// bodies, the "links" shape in small link rows under a unique URL index, as a crawl does.
// Check is `tidewell-cli check` on the sound file, run as its own process (the console front
// end sits above the runners). Last, a file of many one-row tables, where the cost per
// table shows.
//
//   bench-scale [--sizes 10,200,1000] [--shapes pages,links] [--tables 2000] [--rounds N]
//               [--dir DIR] [--keep] [--stages start,compress,repair,damaged,regenerate,check]
//               [--cli PATH]
// --stages runs only the workflows named (the yardsticks always run); --cli is the
// tidewell-cli that Check runs, by default the one of this build.
// With --rounds N every figure is the median of N runs (small files are noisy); peak
// memory is the largest of them.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sample_data.h"
#include "workflows/runners.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Measure {
  double seconds = 0;
  double cpu = 0;  // user + system seconds of the process(es) that did the work
  long peak_kib = 0;
  bool ok = false;
};

double CpuSeconds(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// Forks a child that runs `child` and never returns, and measures its wall time, CPU and
// own peak memory; ok when it exits with 0.
Measure Measured(const std::function<void()>& child) {
  std::fflush(nullptr);
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) child();
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = Seconds(start, Clock::now());
  m.peak_kib = usage.ru_maxrss;
  m.cpu = CpuSeconds(usage);
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

Measure InChild(const std::function<bool()>& work) {
  return Measured([&] { ::_exit(work() ? 0 : 1); });
}

// A program, its standard output thrown away.
Measure Program(const std::vector<std::string>& args) {
  return Measured([&] {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) ::dup2(null, 1);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  });
}

// The shell commands run through sh, whose own memory is not what we compare: time only.
Measure Shell(const std::string& command) {
  Measure m;
  rusage before{}, after{};
  ::getrusage(RUSAGE_CHILDREN, &before);
  const auto start = Clock::now();
  m.ok = std::system(command.c_str()) == 0;
  m.seconds = Seconds(start, Clock::now());
  ::getrusage(RUSAGE_CHILDREN, &after);
  m.cpu = CpuSeconds(after) - CpuSeconds(before);
  return m;
}

std::string Q(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// A host that answers every question with the answer that changes nothing and shows nothing.
class QuietHost : public tidewell::Host {
 public:
  int MsgBox(std::string_view text, int, int safe) override {
    last = std::string(text);
    return safe;
  }
  void SetStatus(std::string_view) override {}
  void DoEvents() override {}
  void SetPointer(int) override {}
  void Progress(std::string_view, uint64_t, uint64_t) override {}
  std::string last;
};

class Window : public tidewell::WindowPort {
 public:
  Window(std::string db, std::string tmpl) : db_(std::move(db)), tmpl_(std::move(tmpl)) {}
  void SetBusy(bool) override {}
  std::string DbName(bool full) override { return full ? db_ : tmpl_; }
  std::string PathBoxText() override { return db_; }
  bool CloseRequested() override { return false; }
  void CloseWindow() override {}

 private:
  std::string db_, tmpl_;
};

// Makes the sample in a child, so that this process stays small for the measured forks.
bool MakeBase(const std::string& base, tidewell::sample::Shape shape, int size_mb) {
  return InChild([&] {
           tidewell::sample::SampleOptions o;
           o.size_mb = size_mb;
           o.shape = shape;
           tidewell::sample::MakeSampleDatabase(base, o);
           tidewell::sample::MakeQueueDatabase(tidewell::sample::QueueDatabaseName(base));
           return true;
         })
      .ok;
}

// A database of `tables` one-row tables and an empty queue database beside it.
bool MakeManyTables(const std::string& base, int tables) {
  std::string sql = "BEGIN;";
  for (int i = 0; i < tables; ++i)
    sql += " CREATE TABLE T" + std::to_string(i) + " (ID INTEGER, Name TEXT); INSERT INTO T" +
           std::to_string(i) + " VALUES (" + std::to_string(i) + ", 'row " + std::to_string(i) +
           "');";
  sql += " COMMIT;";
  const std::string script = base + ".sql";
  if (FILE* f = std::fopen(script.c_str(), "w")) {
    std::fputs(sql.c_str(), f);
    std::fclose(f);
  }
  const bool ok = Shell("sqlite3 " + Q(base) + " < " + Q(script)).ok &&
                  Shell("sqlite3 " + Q(tidewell::sample::QueueDatabaseName(base)) +
                        " 'CREATE TABLE Queue (ID INTEGER)'")
                      .ok;
  fs::remove(script);
  return ok;
}

bool RunWorkflow(tidewell::Workflow w, const std::string& db, const std::string& tmpl) {
  QuietHost host;
  Window window(db, tmpl);
  tidewell::Runners runners(host, window);
  return runners.Run(w) == tidewell::Outcome::kDone;
}

// Fills a few pages in the middle of the file with noise: the repair must salvage.
void Damage(const std::string& path) {
  const uint64_t size = fs::file_size(path);
  const int fd = ::open(path.c_str(), O_WRONLY);
  std::string noise(4096, '\x5a');
  for (uint64_t at : {size / 3, size / 2, size * 2 / 3}) {
    const off_t page = static_cast<off_t>(at / 4096 * 4096);
    (void)!::pwrite(fd, noise.data(), noise.size(), page);
  }
  ::close(fd);
}

void DropCaches() {
  // Only effective as root; otherwise every step reads from a warm cache alike.
  ::sync();
  const int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY);
  if (fd >= 0) {
    (void)!::write(fd, "1", 1);
    ::close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<int> sizes = {10, 200, 1000};
  std::vector<std::string> shapes = {"pages", "links"};
  int tables = 2000;
  int rounds = 1;
  std::string dir = "/tmp/tidewell-bench-scale";
  bool keep = false;
  std::vector<std::string> stages_wanted = {"start",   "compress",   "repair",
                                            "damaged", "regenerate", "check"};
  std::string cli =
      (fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "cli" / "tidewell-cli")
          .string();
  auto list = [](const char* text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    for (std::string s; std::getline(in, s, ',');) out.push_back(s);
    return out;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--sizes" && i + 1 < argc) {
      sizes.clear();
      for (const std::string& s : list(argv[++i])) sizes.push_back(std::atoi(s.c_str()));
    } else if (flag == "--shapes" && i + 1 < argc) {
      shapes = list(argv[++i]);
    } else if (flag == "--tables" && i + 1 < argc) {
      tables = std::atoi(argv[++i]);
    } else if (flag == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (flag == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (flag == "--keep") {
      keep = true;
    } else if (flag == "--stages" && i + 1 < argc) {
      stages_wanted = list(argv[++i]);
    } else if (flag == "--cli" && i + 1 < argc) {
      cli = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: bench-scale [--sizes 10,200,1000] [--shapes pages,links] "
                   "[--tables 2000] [--rounds N] [--dir DIR] [--keep] [--stages LIST] "
                   "[--cli PATH]\n");
      return 64;
    }
  }
  for (const std::string& shape : shapes)
    if (shape != "pages" && shape != "links") {
      std::fprintf(stderr, "bench-scale: unknown shape '%s'\n", shape.c_str());
      return 64;
    }
  fs::create_directories(dir);
  const std::string tmpl = dir + "/Vardlink_Default.mdb";
  fs::remove(tmpl);
  tidewell::sample::MakeTemplateDatabase(tmpl);
  const bool dropping = ::geteuid() == 0;

  std::printf(
      "| shape | stage | size MB | seconds | x VACUUM INTO | x VACUUM INTO+sync | x cp | "
      "cpu s | cpu x VACUUM INTO+sync | peak MB | s per MB |\n"
      "|---|---|---|---|---|---|---|---|---|---|---|\n");
  const std::string work = dir + "/Vardlink.mdb";
  const std::string work_queue = tidewell::sample::QueueDatabaseName(work);
  // One sample file against the three yardsticks and the chosen workflows.
  struct Stage {
    const char* name;
    const char* key;  // as --stages names it
    tidewell::Workflow w;
    bool damaged;
    bool check = false;  // tidewell-cli check instead of a workflow
  };
  auto wanted = [&](const Stage& s) {
    return std::find(stages_wanted.begin(), stages_wanted.end(), s.key) != stages_wanted.end();
  };
  auto measure = [&](const std::string& shape, const std::string& base,
                     const std::vector<Stage>& stages) {
    const std::string base_queue = tidewell::sample::QueueDatabaseName(base);
    const double mb = static_cast<double>(fs::file_size(base)) / 1e6;
    auto fresh = [&](bool damaged) {
      for (const std::string& f :
           {work, work_queue, dir + "/Vardlink.BAK", dir + "/Vardlink-Queue.BAK",
            dir + "/Vardlink.BKK", dir + "/Vardlink-Queue.BKK", work + "_$temp.mdb",
            work_queue + "_$temp.mdb", work + "_$temp.mdb$", work_queue + "_$temp.mdb$",
            work + ".damaged", work_queue + ".damaged", dir + "/vacuum.mdb", dir + "/cp.mdb"})
        fs::remove(f);
      fs::copy_file(base, work);
      fs::copy_file(base_queue, work_queue);
      if (damaged) Damage(work);
      DropCaches();
    };

    // The median of the rounds; a failed round marks the figure as failed.
    auto median = [&](bool damaged, const std::function<Measure()>& run) {
      std::vector<Measure> all;
      for (int r = 0; r < rounds; ++r) {
        fresh(damaged);
        all.push_back(run());
      }
      std::sort(all.begin(), all.end(),
                [](const Measure& a, const Measure& b) { return a.seconds < b.seconds; });
      Measure m = all[all.size() / 2];
      for (const Measure& a : all) {
        m.ok = m.ok && a.ok;
        m.peak_kib = std::max(m.peak_kib, a.peak_kib);
      }
      return m;
    };
    const Measure cp =
        median(false, [&] { return Shell("cp " + Q(work) + " " + Q(dir + "/cp.mdb")); });
    const Measure vacuum = median(false, [&] {
      return Shell("sqlite3 " + Q(work) + " \"VACUUM INTO '" + dir + "/vacuum.mdb'\"");
    });
    const Measure vacuum_sync = median(false, [&] {
      return Shell("sqlite3 " + Q(work) + " \"VACUUM INTO '" + dir + "/vacuum.mdb'\" && sync " +
                   Q(dir + "/vacuum.mdb"));
    });
    auto row = [&](const char* name, const Measure& m, bool with_memory) {
      char peak[32] = "-";
      if (with_memory) std::snprintf(peak, sizeof peak, "%.1f", m.peak_kib / 1024.0);
      std::printf("| %s | %s%s | %.0f | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %s | %.4f |\n",
                  shape.c_str(), name, m.ok ? "" : " (FAILED)", mb, m.seconds,
                  m.seconds / vacuum.seconds, m.seconds / vacuum_sync.seconds,
                  m.seconds / cp.seconds, m.cpu, m.cpu / vacuum_sync.cpu, peak, m.seconds / mb);
      std::fflush(stdout);
    };
    row("cp", cp, false);
    row("sqlite3 VACUUM INTO", vacuum, false);
    row("sqlite3 VACUUM INTO + sync", vacuum_sync, false);
    for (const Stage& s : stages) {
      if (!wanted(s)) continue;
      row(s.name,
          median(s.damaged,
                 [&] {
                   return s.check ? Program({cli, "--quiet", "check", work})
                                  : InChild([&] { return RunWorkflow(s.w, work, tmpl); });
                 }),
          true);
    }
    if (!keep) {
      fresh(false);
      fs::remove(work);
      fs::remove(work_queue);
    }
  };

  const std::vector<Stage> all = {
      {"Start", "start", tidewell::Workflow::kStart, false},
      {"Compress", "compress", tidewell::Workflow::kCompress, false},
      {"Repair (sound)", "repair", tidewell::Workflow::kRepair, false},
      {"Repair (damaged)", "damaged", tidewell::Workflow::kRepair, true},
      {"Regenerate", "regenerate", tidewell::Workflow::kRegenerate, false},
      {"Check", "check", tidewell::Workflow::kStart, false, true}};
  for (const std::string& shape : shapes) {
    for (int size : sizes) {
      const std::string base = dir + "/base-" + shape + "-" + std::to_string(size) + ".mdb";
      if (!fs::exists(base) && !MakeBase(base,
                                         shape == "links" ? tidewell::sample::Shape::kLinks
                                                          : tidewell::sample::Shape::kPages,
                                         size)) {
        std::fprintf(stderr, "bench-scale: cannot make %s\n", base.c_str());
        return 1;
      }
      measure(shape, base, all);
    }
  }
  if (tables > 0) {
    const std::string base = dir + "/base-tables-" + std::to_string(tables) + ".mdb";
    if (!fs::exists(base) && !MakeManyTables(base, tables)) {
      std::fprintf(stderr, "bench-scale: cannot make %s\n", base.c_str());
      return 1;
    }
    measure(std::to_string(tables) + " one-row tables", base,
            {{"Start", "start", tidewell::Workflow::kStart, false},
             {"Compress", "compress", tidewell::Workflow::kCompress, false},
             {"Regenerate", "regenerate", tidewell::Workflow::kRegenerate, false}});
  }
  std::printf(
      "\n(each workflow treats the database and its small queue database; cpu s is user + "
      "system time of the workflow child or of the shell commands; peak MB is the workflow "
      "child's ru_maxrss (Check: that of tidewell-cli check); caches %s before each step; median "
      "of %d round%s)\n",
      dropping ? "dropped" : "NOT dropped (not root)", rounds, rounds == 1 ? "" : "s");
  return 0;
}
