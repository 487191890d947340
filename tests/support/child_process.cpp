#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "engine/engine.h"
#include "tests/support/files.h"

namespace tidewell::testing {

pid_t StartChild(const std::function<int()>& work) {
  std::fflush(nullptr);  // buffered output would otherwise be written twice
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  try {  // _exit: the test framework's exit handlers belong to the parent
    ::_exit(work());
  } catch (...) {
    ::_exit(125);
  }
}

ChildResult WaitChild(pid_t pid) {
  int s = 0;
  if (::waitpid(pid, &s, 0) != pid) return {};
  return {WIFEXITED(s), WIFEXITED(s) ? WEXITSTATUS(s) : -1, WIFSIGNALED(s), WTERMSIG(s)};
}

ChildResult KillChildAfter(pid_t pid, std::chrono::microseconds delay) {
  std::this_thread::sleep_for(delay);
  ::kill(pid, SIGKILL);
  return WaitChild(pid);
}

bool LeaveHotJournal(const std::string& db, const std::string& sql) {
  const std::string before = ReadAll(db);
  const ChildResult r = RunInChild([&] {
    sqlite3* h = nullptr;
    const std::string work =
        "PRAGMA journal_mode = DELETE; PRAGMA cache_size = 1; BEGIN; " + sql +
        "; CREATE TABLE tw_uncommitted(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + "
        "1 FROM n WHERE i < 300) INSERT INTO tw_uncommitted SELECT randomblob(3000) FROM n;";
    // Whatever fails here leaves the file as it was, which the check below tells.
    sqlite3_open(db.c_str(), &h);
    sqlite3_exec(h, work.c_str(), nullptr, nullptr, nullptr);
    return ::kill(::getpid(), SIGKILL);
  });
  return r.killed && ReadAll(db) != before && !ReadAll(db + "-journal").empty();
}

DatabaseHolder::DatabaseHolder(const std::string& path, Mode mode) {
  int ready[2], orders[2];
  if (::pipe(ready) != 0) return;
  if (::pipe(orders) != 0) {
    ::close(ready[0]), ::close(ready[1]);
    return;
  }
  pid_ = StartChild([&]() {
    // Keeps the two pipe ends the child uses and closes everything else above stderr.
    const int keep[2] = {std::min(ready[1], orders[0]), std::max(ready[1], orders[0])};
    ::close_range(3, keep[0] - 1, 0);
    ::close_range(keep[0] + 1, keep[1] - 1, 0);
    ::close_range(keep[1] + 1, ~0U, 0);
    sqlite3* conn = nullptr;
    bool held = false;
    try {  // left open on purpose: the child ends only when Stop() kills it
      const auto exclusive = mode == kEngineExclusive ? std::optional(true) : std::nullopt;
      const char* first = mode == kSqliteRead ? "BEGIN; SELECT count(*) FROM sqlite_schema;"
                                              : "SELECT count(*) FROM sqlite_schema;";
      if (mode == kPlainOpen)
        held = ::open(path.c_str(), O_RDWR) >= 0;
      else if (mode != kSqliteRead && mode != kSqliteIdle)
        held = engine::DBEngine().OpenDatabase(path, exclusive).release();
      else if (sqlite3_open_v2(path.c_str(), &conn, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK)
        held = sqlite3_exec(conn, first, nullptr, nullptr, nullptr) == SQLITE_OK;
    } catch (const engine::EngineException&) {
    }
    (void)!::write(ready[1], held ? "1" : "0", 1);
    // Statements arrive NUL-terminated; each is answered with one byte.
    std::string sql;
    for (char c; held && ::read(orders[0], &c, 1) == 1;) {
      if (c != '\0') {
        sql += c;
        continue;
      }
      const bool ok = mode == kSqliteIdle &&
                      sqlite3_exec(conn, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
      (void)!::write(ready[1], ok ? "1" : "0", 1);
      sql.clear();
    }
    while (held) ::pause();
    return 1;
  });
  ::close(ready[1]);
  ::close(orders[0]);
  from_child_ = ready[0], to_child_ = orders[1];
  char flag = '0';
  holding_ = ::read(from_child_, &flag, 1) == 1 && flag == '1';
}

bool DatabaseHolder::Run(const std::string& sql) {
  char flag = '0';
  return holding_ && ::write(to_child_, sql.c_str(), sql.size() + 1) == ssize_t(sql.size() + 1) &&
         ::read(from_child_, &flag, 1) == 1 && flag == '1';
}

void DatabaseHolder::Stop() {
  if (pid_ > 0) KillChildAfter(pid_, {});
  for (int* fd : {&to_child_, &from_child_})
    if (*fd >= 0) ::close(*fd), *fd = -1;
  pid_ = -1, holding_ = false;
}

}  // namespace tidewell::testing
