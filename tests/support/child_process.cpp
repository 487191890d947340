#include "tests/support/child_process.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <thread>

#include "engine/engine.h"

namespace tidewell::testing {

pid_t StartChild(const std::function<int()>& work) {
  std::fflush(nullptr);  // buffered output would otherwise be written twice
  pid_t pid = ::fork();
  if (pid == 0) {
    int code = 125;
    try {
      code = work();
    } catch (...) {
      code = 125;
    }
    // _exit: the test framework's exit handlers belong to the parent.
    ::_exit(code);
  }
  return pid;
}

ChildResult WaitChild(pid_t pid) {
  ChildResult r;
  int status = 0;
  rusage usage{};
  pid_t got;
  do {
    got = ::wait4(pid, &status, 0, &usage);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return r;
  r.max_rss_kb = usage.ru_maxrss;
  if (WIFEXITED(status)) {
    r.exited = true;
    r.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.killed = true;
    r.signal = WTERMSIG(status);
  }
  return r;
}

ChildResult RunInChild(const std::function<int()>& work) {
  return WaitChild(StartChild(work));
}

bool LeaveHotJournal(const std::string& db, const std::string& sql) {
  auto bytes = [](const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    std::string out;
    for (int c; f && (c = std::fgetc(f)) != EOF;) out += static_cast<char>(c);
    if (f) std::fclose(f);
    return out;
  };
  const std::string before = bytes(db);
  const ChildResult r = RunInChild([&] {
    sqlite3* h = nullptr;
    if (sqlite3_open(db.c_str(), &h) != SQLITE_OK) return 1;
    const std::string work =
        "PRAGMA journal_mode = DELETE; PRAGMA cache_size = 1; BEGIN; " + sql +
        "; CREATE TABLE tw_uncommitted(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + "
        "1 FROM n WHERE i < 300) INSERT INTO tw_uncommitted SELECT randomblob(3000) FROM n;";
    if (sqlite3_exec(h, work.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) return 2;
    ::kill(::getpid(), SIGKILL);
    return 3;
  });
  return r.killed && bytes(db) != before && !bytes(db + "-journal").empty();
}

ChildResult KillChildAfter(pid_t pid, std::chrono::microseconds delay) {
  std::this_thread::sleep_for(delay);
  ::kill(pid, SIGKILL);
  return WaitChild(pid);
}

namespace {

// Blocks until the parent writes to or closes the stop pipe.
void AwaitStop(int fd) {
  char c;
  while (::read(fd, &c, 1) < 0 && errno == EINTR) {
  }
}

bool HoldWithSqlite(const std::string& path, int ready_fd, int stop_fd) {
  sqlite3* db = nullptr;
  bool ok = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
            sqlite3_exec(db, "BEGIN; SELECT count(*) FROM sqlite_schema;", nullptr, nullptr,
                         nullptr) == SQLITE_OK;
  char flag = ok ? '1' : '0';
  (void)!::write(ready_fd, &flag, 1);
  if (ok) AwaitStop(stop_fd);
  sqlite3_close(db);
  return ok;
}

bool HoldWithEngine(const std::string& path, bool exclusive, int ready_fd, int stop_fd) {
  std::unique_ptr<engine::Database> db;
  try {
    db = engine::DBEngine().OpenDatabase(
        path, exclusive ? std::optional<bool>(true) : std::optional<bool>());
  } catch (const engine::EngineException&) {
    db.reset();
  }
  char flag = db ? '1' : '0';
  (void)!::write(ready_fd, &flag, 1);
  if (!db) return false;
  AwaitStop(stop_fd);
  try {
    db->Close();
  } catch (const engine::EngineException&) {
  }
  return true;
}

}  // namespace

DatabaseHolder::DatabaseHolder(const std::string& path, Mode mode) {
  int ready[2], stop[2];
  if (::pipe(ready) != 0) return;
  if (::pipe(stop) != 0) {
    ::close(ready[0]);
    ::close(ready[1]);
    return;
  }
  pid_ = StartChild([&]() {
    ::close(ready[0]);
    ::close(stop[1]);
    bool ok = mode == kSqliteRead
                  ? HoldWithSqlite(path, ready[1], stop[0])
                  : HoldWithEngine(path, mode == kEngineExclusive, ready[1], stop[0]);
    return ok ? 0 : 1;
  });
  ::close(ready[1]);
  ::close(stop[0]);
  stop_fd_ = stop[1];
  char flag = '0';
  ssize_t n;
  do {
    n = ::read(ready[0], &flag, 1);
  } while (n < 0 && errno == EINTR);
  ::close(ready[0]);
  holding_ = n == 1 && flag == '1';
}

void DatabaseHolder::Stop() {
  if (stop_fd_ >= 0) {
    ::close(stop_fd_);  // end of file on the pipe is the signal to let go
    stop_fd_ = -1;
  }
  if (pid_ > 0) {
    WaitChild(pid_);
    pid_ = -1;
  }
  holding_ = false;
}

DatabaseHolder::~DatabaseHolder() {
  Stop();
}

}  // namespace tidewell::testing
