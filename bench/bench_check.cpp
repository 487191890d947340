// Health check benchmark on a crawl-shaped file: many small link rows under a unique URL
// index and a second two-column index, a quarter of them deleted. Prints the engine's
// repair of the sound file (which is its health check and nothing else) against the
// sqlite3 shell's VACUUM INTO with and without a sync, its integrity_check and quick_check,
// and our check alone and its page accounting alone, all on a warm cache in one run.
//
//   bench-check [--size-mb N] [--rounds N] [--dir DIR]   (the sample is kept in DIR)
//   bench-check --corpus DIR   compares our verdict with integrity_check's on every file
//                              in DIR (e.g. the salvage corpus) and lists disagreements
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support.h"
#include "engine/engine.h"
#include "engine/health_check.h"
#include "engine/pagefile/check.h"
#include "tools/sample_data.h"

namespace {

using bench::Clock;
using bench::Median;
using bench::Seconds;
constexpr const char* kWho = "bench-check";

void Shell(const std::string& command) {
  bench::Shell(kWho, command);
}

// The crawl's own shape, the one bench/run measures: small link rows under a unique URL
// index and a two-column index, a quarter of them deleted.
void MakeLinks(const std::string& path, int size_mb) {
  tidewell::sample::SampleOptions options;
  options.size_mb = size_mb;
  options.shape = tidewell::sample::Shape::kLinks;
  tidewell::sample::MakeSampleDatabase(path, options);
}

// Wall time, processor time and peak memory of one step in a child of its own.
struct Cost {
  double wall = 0, cpu = 0;
  long peak_kib = 0;
};

template <class Work>
Cost Child(Work&& work) {
  const bench::ChildRun run = bench::InChild(kWho, std::forward<Work>(work));
  return {run.seconds, run.cpu, run.peak_kib};
}

Cost ShellTimed(const std::string& src, const std::string& sql, const std::string& expect) {
  return Child([&] {
    std::string cmd = "test \"$(sqlite3 " + src + " '" + sql + "')\" = '" + expect + "'";
    return std::system(cmd.c_str()) == 0;
  });
}

tidewell::engine::HealthVerdict OurCheck(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  auto verdict = tidewell::engine::CheckDatabaseHealth(db, path, {});
  sqlite3_close(db);
  return verdict;
}

std::string Verdict(const std::string& path, bool reference) {
  sqlite3* db = nullptr;
  std::string out;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    out = "damaged: cannot open";
  } else {
    try {
      auto v = reference ? tidewell::engine::IntegrityCheckVerdict(db)
                         : tidewell::engine::CheckDatabaseHealth(db, path, {});
      out = v.healthy ? "healthy" : "damaged: " + v.problem;
    } catch (const tidewell::engine::EngineException& e) {
      out = "error: " + e.error().description;
    }
  }
  sqlite3_close(db);
  return out;
}

int Corpus(const std::string& dir) {
  int agree = 0, damaged = 0, disagree = 0;
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    if (entry.is_regular_file() &&
        (entry.path().extension() == ".db" || entry.path().extension() == ".mdb"))
      files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  for (const std::string& f : files) {
    const std::string ours = Verdict(f, false), theirs = Verdict(f, true);
    if ((ours == "healthy") == (theirs == "healthy")) {
      ++agree;
      damaged += ours != "healthy";
    } else {
      ++disagree;
      std::printf("%s\n  ours: %s\n  integrity_check: %s\n", f.c_str(), ours.c_str(),
                  theirs.substr(0, 200).c_str());
    }
  }
  std::printf("%d files: %d verdicts agree (%d damaged), %d disagree\n", agree + disagree, agree,
              damaged, disagree);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int size_mb = 300, rounds = 3;
  std::string dir = "/tmp/tidewell-bench-check";
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--size-mb") size_mb = std::atoi(argv[i + 1]);
    if (flag == "--rounds") rounds = std::max(1, std::atoi(argv[i + 1]));
    if (flag == "--dir") dir = argv[i + 1];
    if (flag == "--corpus") return Corpus(argv[i + 1]);
  }
  std::filesystem::create_directories(dir);
  const std::string src = dir + "/crawl-links-" + std::to_string(size_mb) + ".mdb";
  // Made in a child: the parent's memory would otherwise be inherited by every measured
  // child and counted in its peak.
  if (!std::filesystem::exists(src))
    Child([&] {
      MakeLinks(src, size_mb);
      return true;
    });
  Shell("sqlite3 " + src +
        " \"SELECT printf('links sample: %.1f MB, %d pages, %d rows, %.1f %% free pages', "
        "page_count * page_size / 1048576.0, page_count, (SELECT count(*) FROM Links), "
        "100.0 * freelist_count / page_count) FROM pragma_page_count, pragma_page_size, "
        "pragma_freelist_count\"");
  uint32_t pages = 0;
  {
    sqlite3* db = nullptr;
    sqlite3_open_v2(src.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA page_count", -1, &st, nullptr);
    if (sqlite3_step(st) == SQLITE_ROW) pages = static_cast<uint32_t>(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    sqlite3_close(db);
  }

  std::vector<Cost> repair, vacuum, vacuum_sync, integrity, quick, ours, accounting;
  const std::string work = dir + "/work.mdb", out = dir + "/vacuum.mdb";
  for (int round = 0; round < rounds; ++round) {
    std::filesystem::remove(work);
    Shell("cp " + src + " " + work + " && sync && cat " + src + " " + work + " > /dev/null");
    repair.push_back(Child([&] {
      tidewell::engine::DBEngine().RepairDatabase(work);
      return !std::filesystem::exists(work + ".damaged");
    }));
    for (bool sync : {false, true}) {
      std::filesystem::remove(out);
      Shell("sync");
      auto start = Clock::now();
      Cost cost = Child([&] {
        execlp("sqlite3", "sqlite3", src.c_str(), ("VACUUM INTO '" + out + "'").c_str(),
               static_cast<char*>(nullptr));
        return false;
      });
      if (sync && !bench::SyncFile(out)) return 1;
      cost.wall = Seconds(start, Clock::now());
      (sync ? vacuum_sync : vacuum).push_back(cost);
    }
    std::filesystem::remove(out);
    Shell("sync");
    integrity.push_back(ShellTimed(src, "PRAGMA integrity_check(1)", "ok"));
    quick.push_back(ShellTimed(src, "PRAGMA quick_check(1)", "ok"));
    ours.push_back(Child([&] {
      auto verdict = OurCheck(src);
      if (!verdict.healthy) std::fprintf(stderr, "%s: %s\n", kWho, verdict.problem.c_str());
      return verdict.healthy;
    }));
    accounting.push_back(Child([&] {
      std::vector<uint32_t> roots;
      sqlite3* db = nullptr;
      sqlite3_open_v2(src.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db, "SELECT rootpage FROM sqlite_schema WHERE rootpage <> 0", -1, &st,
                         nullptr);
      roots.push_back(1);
      while (sqlite3_step(st) == SQLITE_ROW)
        roots.push_back(static_cast<uint32_t>(sqlite3_column_int(st, 0)));
      sqlite3_finalize(st);
      sqlite3_close(db);
      return tidewell::engine::pagefile::CheckPageAccounting({src, 4096, pages, roots, {}}).empty();
    }));
    std::printf(
        "round %d (wall/cpu s): repair %.3f/%.3f, VACUUM INTO %.3f/%.3f, + fsync %.3f/%.3f, "
        "integrity_check %.3f/%.3f, quick_check %.3f/%.3f, our check %.3f/%.3f, page "
        "accounting %.3f/%.3f\n",
        round + 1, repair.back().wall, repair.back().cpu, vacuum.back().wall, vacuum.back().cpu,
        vacuum_sync.back().wall, vacuum_sync.back().cpu, integrity.back().wall,
        integrity.back().cpu, quick.back().wall, quick.back().cpu, ours.back().wall,
        ours.back().cpu, accounting.back().wall, accounting.back().cpu);
  }
  auto wall = [](const std::vector<Cost>& v) {
    std::vector<double> w;
    for (const Cost& c : v) w.push_back(c.wall);
    return Median(w);
  };
  auto cpu = [](const std::vector<Cost>& v) {
    std::vector<double> w;
    for (const Cost& c : v) w.push_back(c.cpu);
    return Median(w);
  };
  const double r = wall(repair), v = wall(vacuum), vs = wall(vacuum_sync);
  std::printf("median of %d rounds, warm cache           wall s    cpu s\n", rounds);
  const std::pair<const char*, const std::vector<Cost>*> rows[] = {
      {"RepairDatabase of the sound file", &repair},
      {"sqlite3 VACUUM INTO", &vacuum},
      {"sqlite3 VACUUM INTO + fsync", &vacuum_sync},
      {"sqlite3 integrity_check", &integrity},
      {"sqlite3 quick_check", &quick},
      {"our health check alone", &ours},
      {"its page accounting alone", &accounting}};
  for (const auto& [label, costs] : rows)
    std::printf("  %-38s %7.3f  %7.3f\n", label, wall(*costs), cpu(*costs));
  long peak = 0;
  for (const Cost& c : ours) peak = std::max(peak, c.peak_kib);
  std::printf("  peak memory of our check (ru_maxrss)   %.1f MB\n", peak / 1024.0);
  std::printf("  repair / VACUUM INTO                   %7.2f  %7.2f\n", r / v,
              cpu(repair) / cpu(vacuum));
  std::printf("  repair / (VACUUM INTO + fsync)         %7.2f           (goal <= 1.5)\n", r / vs);
  std::filesystem::remove(work);
  return 0;
}
