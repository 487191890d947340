// Repair-pipeline benchmark: DbRepair_Repair (exclusive open and counts, repair, compaction
// with backup, check and counts again) on a healthy crawler database of about 200 MB,
// against the sqlite3 shell's VACUUM INTO on the same file in the same run, with and without
// a sync of the new file. The pipeline runs in a child process so that its peak memory can
// be read from the child's rusage; a second, smaller file shows whether memory stays flat.
//
//   bench-repair [--size-mb N] [--small-mb N] [--rounds N] [--dir DIR]
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
#include "maintenance/host.h"
#include "repair/dbRepair.h"
#include "tools/sample_data.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Seconds;
using bench::SyncFile;
constexpr const char* kWho = "bench-repair";

void Shell(const std::string& command) {
  bench::Shell(kWho, command);
}

template <class Work>
bench::ChildRun InChild(Work&& work) {
  return bench::InChild(kWho, std::forward<Work>(work));
}

void MakeSample(const std::string& path, int size_mb) {
  std::filesystem::remove(path);
  InChild([&] {
    try {
      tidewell::sample::SampleOptions options;
      options.size_mb = size_mb;
      tidewell::sample::MakeSampleDatabase(path, options);
      return true;
    } catch (const tidewell::engine::EngineException& e) {
      std::fprintf(stderr, "%s\n", e.error().description.c_str());
      return false;
    }
  });
  std::fflush(stdout);
  Shell("sqlite3 " + path +
        " \"SELECT printf('sample: %.1f MB, %d pages, %.1f %% free pages', "
        "page_count * page_size / 1048576.0, page_count, 100.0 * freelist_count / "
        "page_count) FROM pragma_page_count, pragma_page_size, pragma_freelist_count\"");
}

struct Figures {
  double ours = 0, vacuum = 0, vacuum_sync = 0;
  long peak_kib = 0, sqlite_peak_kib = 0;
};

// One contender after the other on fresh copies of `src`, `rounds` times; medians.
Figures Measure(const std::string& dir, const std::string& src, int rounds, bool print) {
  std::vector<double> ours, vacuum, vacuum_sync;
  Figures f;
  for (int round = 0; round < rounds; ++round) {
    const std::string work = dir + "/work.mdb", b = dir + "/vacuum.mdb", c = dir + "/vacsync.mdb";
    for (const auto& name : {work, dir + "/work.BAK", dir + "/work.$", b, c})
      std::filesystem::remove(name);
    Shell("cp " + src + " " + work + " && sync");
    Shell("cat " + src + " > /dev/null");  // both contenders start from a warm cache
    bench::ChildRun run = InChild([&] {
      bench::QuietHost host(kWho);
      std::string ret;
      const int16_t result = tidewell::DbRepair_Repair(host, work, true, true, &ret);
      if (result != 0 || !ret.empty() || host.boxes != 0) {
        std::fprintf(stderr, "bench-repair: result %d, return text '%s'\n", result, ret.c_str());
        return false;
      }
      return std::filesystem::exists(dir + "/work.BAK");
    });
    ours.push_back(run.seconds);
    f.peak_kib = std::max(f.peak_kib, run.peak_kib);
    Shell("sync");
    bench::ChildRun vac = InChild([&] {
      execlp("sqlite3", "sqlite3", src.c_str(), ("VACUUM INTO '" + b + "'").c_str(),
             static_cast<char*>(nullptr));
      return false;
    });
    vacuum.push_back(vac.seconds);
    f.sqlite_peak_kib = std::max(f.sqlite_peak_kib, vac.peak_kib);
    Shell("sync");
    auto start = Clock::now();
    InChild([&] {
      execlp("sqlite3", "sqlite3", src.c_str(), ("VACUUM INTO '" + c + "'").c_str(),
             static_cast<char*>(nullptr));
      return false;
    });
    if (!SyncFile(c)) std::exit(1);
    vacuum_sync.push_back(Seconds(start, Clock::now()));
    Shell("sync");
    if (print)
      std::printf(
          "round %d: DbRepair_Repair %.3f s, VACUUM INTO %.3f s, VACUUM INTO + fsync "
          "%.3f s\n",
          round + 1, ours.back(), vacuum.back(), vacuum_sync.back());
  }
  f.ours = Median(ours);
  f.vacuum = Median(vacuum);
  f.vacuum_sync = Median(vacuum_sync);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int size_mb = 200, small_mb = 50, rounds = 3;
  std::string dir;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--size-mb") size_mb = std::atoi(argv[i + 1]);
    if (flag == "--small-mb") small_mb = std::atoi(argv[i + 1]);
    if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (flag == "--dir") dir = argv[i + 1];
  }
  if (dir.empty()) {
    char pattern[] = "/tmp/tidewell-bench-repair-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    dir = pattern;
  }
  const std::string big = dir + "/big.mdb", small = dir + "/small.mdb";
  MakeSample(big, size_mb);
  const Figures f = Measure(dir, big, rounds, true);
  MakeSample(small, small_mb);
  const Figures s = Measure(dir, small, 1, false);

  std::printf("median of %d rounds on the %d MB sample:\n", rounds, size_mb);
  std::printf("  DbRepair_Repair                    %.3f s\n", f.ours);
  std::printf("  sqlite3 VACUUM INTO                %.3f s\n", f.vacuum);
  std::printf("  sqlite3 VACUUM INTO + fsync        %.3f s\n", f.vacuum_sync);
  std::printf("  DbRepair_Repair / VACUUM INTO      %.2f  (goal <= 2.5)\n", f.ours / f.vacuum);
  std::printf("  DbRepair_Repair / (VACUUM + fsync) %.2f\n", f.ours / f.vacuum_sync);
  std::printf("peak memory (ru_maxrss):\n");
  std::printf("  DbRepair_Repair, %3d MB file       %.1f MB\n", size_mb, f.peak_kib / 1024.0);
  std::printf("  DbRepair_Repair, %3d MB file       %.1f MB\n", small_mb, s.peak_kib / 1024.0);
  std::printf("  sqlite3 VACUUM INTO, %3d MB file   %.1f MB\n", size_mb,
              f.sqlite_peak_kib / 1024.0);
  std::filesystem::remove_all(dir);
  return 0;
}
