// Second processes for tests: work run in a forked child (which may be killed on purpose),
// and a child that keeps a database open the way another program would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace tidewell::testing {

struct ChildResult {
  bool exited = false;  // ended normally; exit_code is valid
  int exit_code = -1;
  bool killed = false;  // ended by a signal; signal is valid
  int signal = 0;
  long max_rss_kb = 0;  // the child's peak resident memory
};

// Forks; the child runs `work` and exits with what it returns (an escaping exception
// exits with 125). The child never returns into the test framework.
pid_t StartChild(const std::function<int()>& work);
ChildResult WaitChild(pid_t pid);
// Runs `work` in a child and waits for it.
ChildResult RunInChild(const std::function<int()>& work);
// Sleeps for `delay`, sends SIGKILL (a child that already ended is simply reaped) and waits.
ChildResult KillChildAfter(pid_t pid, std::chrono::microseconds delay);

// Leaves `db` as a writer killed inside a transaction leaves it: a child runs `sql` and then
// writes more than its tiny cache holds, so SQLite spills the changes into the file itself
// (the old pages saved in the rollback journal beside it), and is killed before it commits.
// True when the file was changed and its hot journal is there.
bool LeaveHotJournal(const std::string& db, const std::string& sql);

// A child process that holds a database open until Stop() or destruction.
class DatabaseHolder {
 public:
  enum Mode {
    kEngineShared,     // OpenDatabase through our engine, shared
    kEngineExclusive,  // OpenDatabase through our engine, exclusive
    kSqliteRead,       // a plain sqlite3 connection inside an open read transaction
  };
  DatabaseHolder(const std::string& path, Mode mode);
  ~DatabaseHolder();
  DatabaseHolder(const DatabaseHolder&) = delete;
  DatabaseHolder& operator=(const DatabaseHolder&) = delete;

  // True once the child has the database open; false when its open failed.
  bool Holding() const { return holding_; }
  // Tells the child to close the database and exit, and waits for it.
  void Stop();

 private:
  pid_t pid_ = -1;
  int stop_fd_ = -1;
  bool holding_ = false;
};

}  // namespace tidewell::testing
