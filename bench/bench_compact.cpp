// Compaction benchmark: a ~200 MB crawler database with about 30 % free pages, compacted
// by our CompactDatabase and, in the same run, by the sqlite3 shell's VACUUM INTO (with and
// without a sync of the new file) and copied by cp. Prints the times, the ratios and the
// peak memory of our compaction (run in a child process, read from its rusage).
//
//   bench-compact [--size-mb N] [--rounds N] [--dir DIR]
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tools/sample_data.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

// Runs `work` in a child; returns its wall time and peak resident memory in KiB.
template <class Work>
std::pair<double, long> InChild(Work&& work) {
  auto start = Clock::now();
  pid_t pid = fork();
  if (pid == 0) _exit(work() ? 0 : 1);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  auto end = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "bench-compact: a step failed\n");
    std::exit(1);
  }
  return {Seconds(start, end), usage.ru_maxrss};
}

double Shell(const std::string& command) {
  auto start = Clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "bench-compact: failed: %s\n", command.c_str());
    std::exit(1);
  }
  return Seconds(start, Clock::now());
}

bool SyncFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int size_mb = 200, rounds = 5;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--size-mb") size_mb = std::atoi(argv[i + 1]);
    if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (flag == "--dir") dir = argv[i + 1];
  }
  if (dir.empty()) {
    char pattern[] = "/tmp/tidewell-bench-compact-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    dir = pattern;
  }
  const std::string src = dir + "/Vardlink.mdb";
  std::filesystem::remove(src);
  // The sample is made in a child so that this process stays small for the forks below.
  auto made = InChild([&] {
    try {
      tidewell::sample::SampleOptions options;
      options.size_mb = size_mb;
      tidewell::sample::MakeSampleDatabase(src, options);
      return true;
    } catch (const tidewell::engine::EngineException& e) {
      std::fprintf(stderr, "%s\n", e.error().description.c_str());
      return false;
    }
  });
  std::string info = "sqlite3 " + src +
                     " \"SELECT printf('source: %.1f MB, %d pages, %.1f %% free pages', "
                     "page_count * page_size / 1048576.0, page_count, 100.0 * freelist_count / "
                     "page_count) FROM pragma_page_count, pragma_page_size, "
                     "pragma_freelist_count\"";
  std::fflush(stdout);
  Shell(info);
  std::printf("sample made in %.2f s\n", made.first);
  Shell("cat " + src + " > /dev/null");  // every contender starts from a warm cache

  std::vector<double> ours, vacuum, vacuum_sync, cp;
  long peak_kib = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string a = dir + "/ours.mdb", b = dir + "/vacuum.mdb", c = dir + "/vacsync.mdb",
                      d = dir + "/copy.mdb";
    for (const auto& f : {a, b, c, d}) std::filesystem::remove(f);
    Shell("sync");
    auto run = InChild([&] {
      try {
        tidewell::engine::DBEngine().CompactDatabase(
            src, a, std::string(tidewell::engine::kGeneralLocale), std::nullopt);
        return true;
      } catch (const tidewell::engine::EngineException& e) {
        std::fprintf(stderr, "%s\n", e.error().description.c_str());
        return false;
      }
    });
    ours.push_back(run.first);
    peak_kib = std::max(peak_kib, run.second);
    Shell("sync");
    vacuum.push_back(Shell("sqlite3 " + src + " \"VACUUM INTO '" + b + "'\""));
    Shell("sync");
    auto start = Clock::now();
    Shell("sqlite3 " + src + " \"VACUUM INTO '" + c + "'\"");
    if (!SyncFile(c)) return 1;
    vacuum_sync.push_back(Seconds(start, Clock::now()));
    Shell("sync");
    cp.push_back(Shell("cp " + src + " " + d));
    std::printf(
        "round %d: ours %.3f s, VACUUM INTO %.3f s, VACUUM INTO + fsync %.3f s, cp %.3f s\n",
        round + 1, ours.back(), vacuum.back(), vacuum_sync.back(), cp.back());
  }
  std::printf("compacted size: %.1f MB (VACUUM INTO: %.1f MB)\n",
              std::filesystem::file_size(dir + "/ours.mdb") / 1048576.0,
              std::filesystem::file_size(dir + "/vacuum.mdb") / 1048576.0);
  double o = Median(ours), v = Median(vacuum), vs = Median(vacuum_sync), c = Median(cp);
  std::printf("median of %d rounds:\n", rounds);
  std::printf("  ours CompactDatabase            %.3f s\n", o);
  std::printf("  sqlite3 VACUUM INTO             %.3f s\n", v);
  std::printf("  sqlite3 VACUUM INTO + fsync     %.3f s\n", vs);
  std::printf("  cp                              %.3f s\n", c);
  std::printf("  ours / VACUUM INTO              %.2f  (goal <= 1.10)\n", o / v);
  std::printf("  ours / (VACUUM INTO + fsync)    %.2f\n", o / vs);
  std::printf("  ours / cp                       %.2f\n", o / c);
  std::printf("  peak memory of our compaction   %.1f MB (goal < 64 MB)\n", peak_kib / 1024.0);
  std::filesystem::remove_all(dir);
  return 0;
}
