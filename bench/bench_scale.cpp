// The whole tool at three sizes, on the same files in one run: each workflow (Start,
// Compress, Repair of a sound and of a damaged file, Regenerate) run through the shared
// runners in a child process, against the sqlite3 shell's VACUUM INTO and cp of the same
// file. Prints one table: seconds, the two ratios, the child's peak memory and the time
// per MB, so that growth with size can be read off directly.
//
//   bench-scale [--sizes 10,200,1000] [--dir DIR] [--keep]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/runners.h"
#include "tools/sample_data.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct Measure {
  double seconds = 0;
  long peak_kib = 0;
  bool ok = false;
};

// Runs `work` in a child and measures wall time and the child's own peak memory.
Measure InChild(const std::function<bool()>& work) {
  std::fflush(nullptr);
  const auto start = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(work() ? 0 : 1);
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  Measure m;
  m.seconds = Seconds(start, Clock::now());
  m.peak_kib = usage.ru_maxrss;
  m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return m;
}

// The shell commands run through sh, whose own memory is not what we compare: time only.
Measure Shell(const std::string& command) {
  Measure m;
  const auto start = Clock::now();
  m.ok = std::system(command.c_str()) == 0;
  m.seconds = Seconds(start, Clock::now());
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
  std::string dir = "/tmp/tidewell-bench-scale";
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--sizes" && i + 1 < argc) {
      sizes.clear();
      std::stringstream list(argv[++i]);
      for (std::string s; std::getline(list, s, ',');) sizes.push_back(std::atoi(s.c_str()));
    } else if (flag == "--dir" && i + 1 < argc) {
      dir = argv[++i];
    } else if (flag == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "usage: bench-scale [--sizes 10,200,1000] [--dir DIR] [--keep]\n");
      return 64;
    }
  }
  fs::create_directories(dir);
  const std::string tmpl = dir + "/Vardlink_Default.mdb";
  fs::remove(tmpl);
  tidewell::sample::MakeTemplateDatabase(tmpl);
  const bool dropping = ::geteuid() == 0;

  std::printf(
      "| stage | size MB | seconds | x VACUUM INTO | x VACUUM INTO+sync | x cp | "
      "peak MB | s per MB |\n|---|---|---|---|---|---|---|---|\n");
  for (int size : sizes) {
    const std::string base = dir + "/base-" + std::to_string(size) + ".mdb";
    const std::string base_queue = tidewell::sample::QueueDatabaseName(base);
    if (!fs::exists(base)) {
      tidewell::sample::SampleOptions o;
      o.size_mb = size;
      tidewell::sample::MakeSampleDatabase(base, o);
      tidewell::sample::MakeQueueDatabase(base_queue);
    }
    const double mb = static_cast<double>(fs::file_size(base)) / 1e6;
    const std::string work = dir + "/Vardlink.mdb";
    const std::string work_queue = tidewell::sample::QueueDatabaseName(work);
    auto fresh = [&](bool damaged) {
      for (const std::string& f :
           {work, work_queue, dir + "/Vardlink.BAK", dir + "/Vardlink-Queue.BAK",
            dir + "/Vardlink.BKK", dir + "/Vardlink-Queue.BKK", work + "_$temp.mdb",
            work_queue + "_$temp.mdb", work + ".damaged", work_queue + ".damaged",
            dir + "/vacuum.mdb", dir + "/cp.mdb"})
        fs::remove(f);
      fs::copy_file(base, work);
      fs::copy_file(base_queue, work_queue);
      if (damaged) Damage(work);
      DropCaches();
    };

    fresh(false);
    const Measure cp = Shell("cp " + Q(work) + " " + Q(dir + "/cp.mdb"));
    fresh(false);
    const Measure vacuum =
        Shell("sqlite3 " + Q(work) + " \"VACUUM INTO '" + dir + "/vacuum.mdb'\"");
    fresh(false);
    const Measure vacuum_sync = Shell("sqlite3 " + Q(work) + " \"VACUUM INTO '" + dir +
                                      "/vacuum.mdb'\" && sync " + Q(dir + "/vacuum.mdb"));

    struct Stage {
      const char* name;
      tidewell::Workflow w;
      bool damaged;
    };
    const Stage stages[] = {{"Start", tidewell::Workflow::kStart, false},
                            {"Compress", tidewell::Workflow::kCompress, false},
                            {"Repair (sound)", tidewell::Workflow::kRepair, false},
                            {"Repair (damaged)", tidewell::Workflow::kRepair, true},
                            {"Regenerate", tidewell::Workflow::kRegenerate, false}};
    auto row = [&](const char* name, const Measure& m, bool with_memory) {
      char peak[32] = "-";
      if (with_memory) std::snprintf(peak, sizeof peak, "%.1f", m.peak_kib / 1024.0);
      std::printf("| %s%s | %.0f | %.2f | %.2f | %.2f | %.2f | %s | %.4f |\n", name,
                  m.ok ? "" : " (FAILED)", mb, m.seconds, m.seconds / vacuum.seconds,
                  m.seconds / vacuum_sync.seconds, m.seconds / cp.seconds, peak, m.seconds / mb);
      std::fflush(stdout);
    };
    row("cp", cp, false);
    row("sqlite3 VACUUM INTO", vacuum, false);
    row("sqlite3 VACUUM INTO + sync", vacuum_sync, false);
    for (const Stage& s : stages) {
      fresh(s.damaged);
      row(s.name, InChild([&] { return RunWorkflow(s.w, work, tmpl); }), true);
    }
    if (!keep) {
      fresh(false);
      fs::remove(work);
      fs::remove(work_queue);
    }
  }
  std::printf(
      "\n(each workflow treats the database and its small queue database; peak MB is "
      "the workflow child's ru_maxrss; caches %s before each step)\n",
      dropping ? "dropped" : "NOT dropped (not root)");
  return 0;
}
