// A file system for tests that forwards to the real one and can make one chosen operation
// fail with an errno, or kill the process at it. Operations are counted from 1, in the
// order the code under test does them, so a test can walk every step of a sequence.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "engine/file_system.h"

namespace tidewell::testing {

class FaultyFiles : public engine::FileSystem {
 public:
  // Puts itself in front of the file system in place; the destructor restores whatever was
  // in front before (nullptr means the real one).
  FaultyFiles() : previous_(engine::SetFiles(this)) {}
  ~FaultyFiles() override { engine::SetFiles(previous_ == &Real() ? nullptr : previous_); }
  FaultyFiles(const FaultyFiles&) = delete;
  FaultyFiles& operator=(const FaultyFiles&) = delete;

  // The k-th counted operation (1-based) fails with `err` (ENOSPC, EIO, EACCES, EXDEV...)
  // without touching the disk.
  void FailAt(int k, int err) { fail_at_ = k, fail_errno_ = err; }
  // The k-th counted operation kills the process with SIGKILL before it touches the disk.
  // Meant for a forked child: the parent then inspects what the disk holds.
  void KillAt(int k) { kill_at_ = k; }
  // Runs `hook` once, just before the first counted operation whose log line starts with
  // `line` (e.g. "SyncFile /x/Vardlink.mdb.repairing"): something else happens at that moment.
  void OnStep(std::string line, std::function<void()> hook) {
    hook_line_ = std::move(line), hook_ = std::move(hook);
  }

  // Counted operations so far. Exists and SameFile are forwarded but not counted: it changes
  // nothing, and leaving it out keeps the numbering of the steps that matter stable.
  int Count() const { return static_cast<int>(log_.size()); }
  // One line per counted operation: "Remove <path>", "Rename <from> -> <to>", ...
  const std::vector<std::string>& Log() const { return log_; }

  bool Exists(const std::string& path) override { return Real().Exists(path); }
  std::error_code Remove(const std::string& p) override {
    return Step("Remove " + p, [&] { return Real().Remove(p); });
  }
  std::error_code Rename(const std::string& a, const std::string& b) override {
    return Step("Rename " + a + " -> " + b, [&] { return Real().Rename(a, b); });
  }
  std::error_code Link(const std::string& a, const std::string& b) override {
    return Step("Link " + a + " -> " + b, [&] { return Real().Link(a, b); });
  }
  std::error_code Copy(const std::string& a, const std::string& b) override {
    return Step("Copy " + a + " -> " + b, [&] { return Real().Copy(a, b); });
  }
  std::error_code SyncFile(const std::string& p) override {
    return Step("SyncFile " + p, [&] { return Real().SyncFile(p); });
  }
  std::error_code SyncParentDir(const std::string& p) override {
    return Step("SyncParentDir " + p, [&] { return Real().SyncParentDir(p); });
  }
  std::error_code TakeOwnership(const std::string& a, const std::string& b) override {
    return Step("TakeOwnership " + a + " -> " + b, [&] { return Real().TakeOwnership(a, b); });
  }
  // Like Exists, asked and not counted: it leaves nothing changed.
  bool SameFile(const std::string& a, const std::string& b) override {
    return Real().SameFile(a, b);
  }

 private:
  static engine::FileSystem& Real() { return engine::RealFiles(); }
  // Counts one operation; fails it, kills the process at it or lets `real` do it.
  // A copy made on a thread of its own may meet the counter too: each operation takes its
  // number whole, so a number names one operation however the threads interleave.
  template <typename Op>
  std::error_code Step(std::string what, const Op& real) {
    std::function<void()> hook;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (hook_ && what.starts_with(hook_line_)) hook = std::exchange(hook_, nullptr);
    }
    if (hook) hook();
    int number = 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      log_.push_back(std::move(what));
      number = Count();
    }
    // SIGKILL cannot be caught, so nothing of the process's own clean-up runs: the disk is
    // left exactly as a power cut or a killed process would leave it.
    if (number == kill_at_) ::kill(::getpid(), SIGKILL), ::pause();
    if (number == fail_at_) return std::error_code(fail_errno_, std::generic_category());
    return real();
  }

  engine::FileSystem* previous_;
  int fail_at_ = 0, fail_errno_ = 0, kill_at_ = 0;
  std::string hook_line_;
  std::function<void()> hook_;
  std::vector<std::string> log_;
  std::mutex mutex_;
};

}  // namespace tidewell::testing
