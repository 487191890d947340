// What every benchmark needs: wall time, a child process whose peak memory we read, the
// sqlite3 shell and cp timed alike, and a host that never waits for anyone.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "maintenance/host.h"

namespace bench {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

struct ChildRun {
  double seconds = 0;
  long peak_kib = 0;  // ru_maxrss of the child alone
  // User + system time of the child and what it waited for: on a shared machine the wall
  // time swings with the load, the processor time much less.
  double cpu = 0;
};

// Runs `work` in a forked child so that its peak memory is its own; a failed step ends the
// benchmark, since a figure from a failed run would be meaningless.
template <class Work>
ChildRun InChild(const char* who, Work&& work) {
  std::fflush(nullptr);
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) _exit(work() ? 0 : 1);
  int status = 0;
  struct rusage usage {};
  wait4(pid, &status, 0, &usage);
  const auto end = Clock::now();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s: a step failed\n", who);
    std::exit(1);
  }
  auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return {Seconds(start, end), usage.ru_maxrss, seconds(usage.ru_utime) + seconds(usage.ru_stime)};
}

inline double Shell(const char* who, const std::string& command) {
  const auto start = Clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "%s: failed: %s\n", who, command.c_str());
    std::exit(1);
  }
  return Seconds(start, Clock::now());
}

inline bool SyncFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Answers every question with the answer that changes nothing, says each box on stderr
// (a benchmark run should show none) and counts what it is told.
class QuietHost : public tidewell::Host {
 public:
  explicit QuietHost(const char* who) : who_(who) {}
  int MsgBox(std::string_view text, int, int safe_answer) override {
    std::fprintf(stderr, "%s: box: %.*s\n", who_, static_cast<int>(text.size()), text.data());
    ++boxes;
    return safe_answer;
  }
  void SetStatus(std::string_view) override {}
  void DoEvents() override {}
  void SetPointer(int) override {}
  void Progress(std::string_view, uint64_t, uint64_t) override { ++progress; }
  int boxes = 0;
  int progress = 0;

 private:
  const char* who_;
};

}  // namespace bench
