// A file system for tests that forwards to the real one and can make one chosen operation
// fail with an errno, or kill the process at it. Operations are counted from 1, in the
// order the code under test does them, so a test can walk every step of a sequence.
#pragma once

#include <string>
#include <system_error>
#include <vector>

#include "engine/file_system.h"

namespace tidewell::testing {

class FaultyFiles : public engine::FileSystem {
 public:
  // Puts itself in front of the file system in place; the destructor restores it.
  FaultyFiles();
  ~FaultyFiles() override;
  FaultyFiles(const FaultyFiles&) = delete;
  FaultyFiles& operator=(const FaultyFiles&) = delete;

  // The k-th counted operation (1-based) fails with `err` (ENOSPC, EIO, EACCES, EXDEV...)
  // without touching the disk. With `sticky`, every operation from the k-th on fails.
  void FailAt(int k, int err, bool sticky = false);
  // The k-th counted operation kills the process with SIGKILL before it touches the disk.
  // Meant for a forked child: the parent then inspects what the disk holds.
  void KillAt(int k);
  void Reset();

  // Counted operations so far. Exists is forwarded but not counted: it changes nothing,
  // and leaving it out keeps the numbering of the steps that matter stable.
  int Count() const { return count_; }
  // One line per counted operation: "Remove <path>", "Rename <from> -> <to>", ...
  const std::vector<std::string>& Log() const { return log_; }

  bool Exists(const std::string& path) override;
  std::error_code Remove(const std::string& path) override;
  std::error_code Rename(const std::string& from, const std::string& to) override;
  std::error_code Link(const std::string& from, const std::string& to) override;
  std::error_code Copy(const std::string& from, const std::string& to) override;
  std::error_code SyncFile(const std::string& path) override;
  std::error_code SyncParentDir(const std::string& path) override;

 private:
  // Counts one operation and returns the error it is to fail with (empty: go ahead).
  std::error_code Step(std::string what);

  engine::FileSystem* previous_ = nullptr;
  int count_ = 0;
  int fail_at_ = 0;
  int fail_errno_ = 0;
  bool sticky_ = false;
  int kill_at_ = 0;
  std::vector<std::string> log_;
};

}  // namespace tidewell::testing
