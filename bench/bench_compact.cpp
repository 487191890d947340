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

#include "bench/support.h"
#include "engine/engine.h"
#include "tools/sample_data.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Seconds;
using bench::SyncFile;
constexpr const char* kWho = "bench-compact";

double Shell(const std::string& command) {
  return bench::Shell(kWho, command);
}

template <class Work>
bench::ChildRun InChild(Work&& work) {
  return bench::InChild(kWho, std::forward<Work>(work));
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
  std::printf("sample made in %.2f s\n", made.seconds);
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
    ours.push_back(run.seconds);
    peak_kib = std::max(peak_kib, run.peak_kib);
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
