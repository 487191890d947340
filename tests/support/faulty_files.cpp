#include "tests/support/faulty_files.h"

#include <signal.h>
#include <unistd.h>

namespace tidewell::testing {

FaultyFiles::FaultyFiles() {
  previous_ = engine::SetFiles(this);
}

FaultyFiles::~FaultyFiles() {
  // Restore whatever was in front before us (nullptr means the real one).
  engine::SetFiles(previous_ == &engine::RealFiles() ? nullptr : previous_);
}

void FaultyFiles::FailAt(int k, int err, bool sticky) {
  fail_at_ = k;
  fail_errno_ = err;
  sticky_ = sticky;
}

void FaultyFiles::KillAt(int k) {
  kill_at_ = k;
}

void FaultyFiles::Reset() {
  count_ = 0;
  fail_at_ = 0;
  fail_errno_ = 0;
  sticky_ = false;
  kill_at_ = 0;
  log_.clear();
}

std::error_code FaultyFiles::Step(std::string what) {
  ++count_;
  log_.push_back(std::move(what));
  if (kill_at_ != 0 && count_ == kill_at_) {
    // SIGKILL cannot be caught, so nothing of the process's own clean-up runs: the disk is
    // left exactly as a power cut or a killed process would leave it.
    ::kill(::getpid(), SIGKILL);
    ::pause();
  }
  if (fail_at_ != 0 && (count_ == fail_at_ || (sticky_ && count_ > fail_at_)))
    return std::error_code(fail_errno_, std::generic_category());
  return {};
}

bool FaultyFiles::Exists(const std::string& path) {
  return engine::RealFiles().Exists(path);
}

std::error_code FaultyFiles::Remove(const std::string& path) {
  if (auto ec = Step("Remove " + path)) return ec;
  return engine::RealFiles().Remove(path);
}

std::error_code FaultyFiles::Rename(const std::string& from, const std::string& to) {
  if (auto ec = Step("Rename " + from + " -> " + to)) return ec;
  return engine::RealFiles().Rename(from, to);
}

std::error_code FaultyFiles::Link(const std::string& from, const std::string& to) {
  if (auto ec = Step("Link " + from + " -> " + to)) return ec;
  return engine::RealFiles().Link(from, to);
}

std::error_code FaultyFiles::Copy(const std::string& from, const std::string& to) {
  if (auto ec = Step("Copy " + from + " -> " + to)) return ec;
  return engine::RealFiles().Copy(from, to);
}

std::error_code FaultyFiles::SyncFile(const std::string& path) {
  if (auto ec = Step("SyncFile " + path)) return ec;
  return engine::RealFiles().SyncFile(path);
}

std::error_code FaultyFiles::SyncParentDir(const std::string& path) {
  if (auto ec = Step("SyncParentDir " + path)) return ec;
  return engine::RealFiles().SyncParentDir(path);
}

}  // namespace tidewell::testing
