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
};

// Forks; the child runs `work` and exits with what it returns (an escaping exception
// exits with 125). The child never returns into the test framework.
pid_t StartChild(const std::function<int()>& work);
ChildResult WaitChild(pid_t pid);
inline ChildResult RunInChild(const std::function<int()>& w) {
  return WaitChild(StartChild(w));
}
// Sleeps for `delay`, sends SIGKILL (a child that already ended is simply reaped) and waits.
ChildResult KillChildAfter(pid_t pid, std::chrono::microseconds delay);

// Leaves `db` as a writer killed inside a transaction leaves it: a child runs `sql` and then
// writes more than its tiny cache holds, so SQLite spills the changes into the file itself
// (the old pages saved in the rollback journal beside it), and is killed before it commits.
// True when the file was changed and its hot journal is there.
bool LeaveHotJournal(const std::string& db, const std::string& sql);

// A child process that holds a database open until Stop() or destruction. The child first
// closes every descriptor it inherited, so that only its own open holds the file, even when
// it is started in the middle of an operation that has the file open.
class DatabaseHolder {
 public:
  enum Mode {
    kEngineShared,     // OpenDatabase through our engine, shared
    kEngineExclusive,  // OpenDatabase through our engine, exclusive
    kSqliteRead,       // a plain sqlite3 connection inside an open read transaction
    kSqliteIdle,       // a plain sqlite3 connection that has read the file and holds no lock
    kPlainOpen,        // open(2) and nothing more, as a program that does not use SQLite
  };
  DatabaseHolder(const std::string& path, Mode mode);
  ~DatabaseHolder() { Stop(); }
  DatabaseHolder(const DatabaseHolder&) = delete;
  DatabaseHolder& operator=(const DatabaseHolder&) = delete;

  // True once the child has the database open; false when its open failed.
  bool Holding() const { return holding_; }
  // Has the child's connection run `sql`; true when it succeeded. Only a kSqliteIdle
  // holder takes statements.
  bool Run(const std::string& sql);
  // Kills the child, which lets go of the database, and waits for it.
  void Stop();

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
  int to_child_ = -1, from_child_ = -1;
};

}  // namespace tidewell::testing
