// The engine's own lock on a database file, which makes "shared" and "exclusive" opens
// mean the same thing in every process. It is an open-file-description lock on one byte
// far beyond the bytes SQLite locks, so it neither disturbs nor is disturbed by SQLite's
// own locking: shared opens hold it for reading, an exclusive open for writing.
#pragma once

#include <sys/types.h>

#include <string>

namespace tidewell::engine {

// The byte SQLite never locks: its lock bytes end at 0x40000200 (pending byte, reserved
// byte and the 510 shared bytes).
inline constexpr off_t kEngineLockByte = 0x40000400;

class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Throws kErrFileNotFound, kErrNoPermission, or kErrFileInUse when the lock is held in a
  // conflicting way by any open file description (this process or another).
  static FileLock Acquire(const std::string& path, bool exclusive);
  void Release();
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
};

// Closes a descriptor of a database file without dropping the POSIX locks that SQLite
// connections of this process hold on the same file: while the engine has the file open,
// the descriptor is parked until the last open of it is closed.
void CloseKeepingLocks(int fd);

}  // namespace tidewell::engine
