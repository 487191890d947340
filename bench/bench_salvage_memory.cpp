// Peak memory and time of the page-level salvage on damaged databases of the given sizes
// (default 1 GB): each salvage runs in a child process and its ru_maxrss is what is
// reported; with two sizes or more, how much the peak grows per GB from the smallest
// file to the largest. The undamaged files are kept in WORK_DIR for the next run.
//
//   bench-salvage-memory WORK_DIR [SIZE_MB...]
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/pagefile/salvage.h"

namespace fs = std::filesystem;

namespace {

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "SQL failed: %s\n", err ? err : "?");
    std::exit(1);
  }
}

// Writes the file in a child process, so that what SQLite held while writing it does not
// count in the salvage's child, forked from this process.
void Write(const std::string& db_path, int size_mb) {
  std::printf("writing a %d MB database...\n", size_mb);
  std::fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    sqlite3* db = nullptr;
    sqlite3_open(db_path.c_str(), &db);
    // A large cache: the unique index on the URLs is filled in no order.
    Exec(db,
         "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA cache_size=-1500000;"
         "CREATE TABLE Links(ID INTEGER PRIMARY KEY, Url TEXT NOT NULL, Status INTEGER, "
         "Checked REAL);"
         "CREATE UNIQUE INDEX Links_Url ON Links(Url);"
         "CREATE TABLE Pages(ID INTEGER PRIMARY KEY, LinkID INTEGER, Body TEXT);");
    // A fifth in links (small rows, an index), the rest in page bodies that overflow.
    int64_t links = int64_t(size_mb) * 1024 * 1024 / 5 / 110;
    int64_t pages = int64_t(size_mb) * 1024 * 1024 * 4 / 5 / 9000;
    Exec(db, "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" +
                 std::to_string(links) +
                 ") INSERT INTO Links SELECT i, printf('https://host%d.example/path/%d/%s', i % "
                 "997, i, hex(randomblob(12))), 200 + (i % 4) * 100, 45000.0 + i / 1000.0 FROM n; "
                 "COMMIT;");
    Exec(db,
         "BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i<" +
             std::to_string(pages) +
             ") INSERT INTO Pages SELECT i, i * 3, hex(randomblob(2000 + abs(random() % 5000))) "
             "FROM n; COMMIT;");
    _exit(sqlite3_close(db) == SQLITE_OK ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "writing %s failed\n", db_path.c_str());
    std::exit(1);
  }
}

struct Result {
  double mb = 0;    // the file's size
  double peak = 0;  // MB
  bool ok = false;
};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Salvages a damaged copy of a file of about `size_mb` in a child process.
Result Measure(const std::string& dir, int size_mb) {
  std::string db_path = dir + "/big-" + std::to_string(size_mb) + ".db";
  std::string out = dir + "/big-salvaged.db";
  fs::remove(out);
  if (!fs::exists(db_path) || fs::file_size(db_path) < uint64_t(size_mb) * 1024 * 1024 * 95 / 100) {
    fs::remove(db_path);
    Write(db_path, size_mb);
  }
  uint64_t bytes = fs::file_size(db_path);
  // Damage: 1% of the pages overwritten with noise (interior pages among them).
  std::string damaged = dir + "/big-damaged.db";
  fs::remove(damaged);
  fs::copy_file(db_path, damaged);
  {
    std::fstream f(damaged, std::ios::binary | std::ios::in | std::ios::out);
    std::mt19937 rng(3);
    uint64_t count = bytes / 4096;
    std::string noise(4096, '\0');
    for (uint64_t k = 0; k < count / 100; ++k) {
      for (char& c : noise) c = static_cast<char>(rng());
      f.seekp(static_cast<std::streamoff>((2 + rng() % (count - 1) - 1) * 4096));
      f.write(noise.data(), 4096);
    }
  }
  std::printf("salvaging %s (%.1f MB, 1%% of pages damaged) in a child process...\n",
              damaged.c_str(), double(bytes) / 1048576.0);
  std::fflush(stdout);
  double t0 = Now();
  pid_t pid = fork();
  if (pid == 0) {
    try {
      auto r = tidewell::engine::PageLevelSalvage(damaged, out, {});
      std::printf("  pages %" PRIu64 ", decoded %" PRIu64 ", rows %" PRIu64 ", dropped %" PRIu64
                  ", duplicates %" PRIu64 ", lost+found %" PRIu64 "\n",
                  r.pages_total, r.pages_decoded, r.rows_recovered, r.rows_dropped,
                  r.duplicate_keys, r.rows_lost_found);
      std::fflush(stdout);
      _exit(0);
    } catch (const tidewell::engine::EngineException& e) {
      std::fprintf(stderr, "salvage failed: %s\n", e.error().description.c_str());
      _exit(1);
    }
  }
  int status = 0;
  struct rusage ru {};
  wait4(pid, &status, 0, &ru);
  double secs = Now() - t0;
  fs::remove(out);
  t0 = Now();
  std::string copy = dir + "/big-copy.db";
  fs::remove(copy);
  fs::copy_file(damaged, copy);
  double copy_secs = Now() - t0;
  fs::remove(copy);
  fs::remove(damaged);
  Result r;
  r.mb = double(bytes) / 1048576.0;
  r.peak = double(ru.ru_maxrss) / 1024.0;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("salvage: exit %d, %.2f s, peak memory (ru_maxrss) %.1f MB; cp of the file %.2f s\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1, secs, r.peak, copy_secs);
  std::fflush(stdout);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s WORK_DIR [SIZE_MB...]\n", argv[0]);
    return 2;
  }
  std::string dir = argv[1];
  std::vector<int> sizes;
  for (int i = 2; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes.push_back(1024);
  fs::create_directories(dir);
  std::vector<Result> results;
  bool ok = true;
  for (int size_mb : sizes) {
    results.push_back(Measure(dir, size_mb));
    ok = ok && results.back().ok && results.back().peak < 128;
  }
  if (results.size() >= 2) {
    auto [small, large] =
        std::minmax_element(results.begin(), results.end(),
                            [](const Result& a, const Result& b) { return a.mb < b.mb; });
    if (large->mb > small->mb) {
      std::printf("peak %.1f MB at %.0f MB, %.1f MB at %.0f MB: %+.2f MB per GB\n", small->peak,
                  small->mb, large->peak, large->mb,
                  (large->peak - small->peak) / ((large->mb - small->mb) / 1024.0));
    }
  }
  return ok ? 0 : 1;
}
