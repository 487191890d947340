#include "engine/file_lock.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/errors.h"

namespace tidewell::engine {
namespace {

// Closing any descriptor of a file drops every POSIX lock this process holds on it,
// including the ones SQLite's connections hold. So a lock descriptor is only closed once
// no open of that file is left in the process; until then it is parked here.
struct InodeUse {
  int users = 0;
  std::vector<int> parked;
};

std::mutex g_mutex;
std::map<std::pair<dev_t, ino_t>, InodeUse> g_inodes;

bool SetLock(int fd, short type) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = kEngineLockByte;
  fl.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

}  // namespace

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), dev_(other.dev_), ino_(other.ino_) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = std::exchange(other.fd_, -1);
    dev_ = other.dev_;
    ino_ = other.ino_;
  }
  return *this;
}

FileLock FileLock::Acquire(const std::string& path, bool exclusive) {
  int fd = ::open(path.c_str(), (exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR)
      Raise(kErrFileNotFound, "Could not find file '" + path + "'.");
    Raise(kErrNoPermission, "Cannot open '" + path + "'" + (exclusive ? " for exclusive use" : "") +
                                ": " + std::strerror(err) + ".");
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    Raise(kErrDiskIo, "Cannot read '" + path + "': " + std::strerror(err) + ".");
  }
  FileLock lock;
  lock.fd_ = fd;
  lock.dev_ = st.st_dev;
  lock.ino_ = st.st_ino;
  {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_inodes[{st.st_dev, st.st_ino}].users++;
  }
  if (!SetLock(fd, exclusive ? F_WRLCK : F_RDLCK)) {
    int err = errno;
    lock.Release();
    if (err == EAGAIN || err == EACCES)
      Raise(kErrFileInUse,
            exclusive ? "The database '" + path +
                            "' is in use by someone else and cannot be opened exclusively."
                      : "The database '" + path + "' is opened exclusively by someone else.");
    Raise(kErrDiskIo, "Cannot lock '" + path + "': " + std::strerror(err) + ".");
  }
  return lock;
}

void FileLock::Release() {
  if (fd_ < 0) return;
  SetLock(fd_, F_UNLCK);
  std::lock_guard<std::mutex> guard(g_mutex);
  auto it = g_inodes.find({dev_, ino_});
  if (it == g_inodes.end() || --it->second.users <= 0) {
    if (it != g_inodes.end()) {
      for (int parked : it->second.parked) ::close(parked);
      g_inodes.erase(it);
    }
    ::close(fd_);
  } else {
    it->second.parked.push_back(fd_);
  }
  fd_ = -1;
}

void CloseKeepingLocks(int fd) {
  if (fd < 0) return;
  struct stat st;
  if (::fstat(fd, &st) == 0) {
    std::lock_guard<std::mutex> guard(g_mutex);
    auto it = g_inodes.find({st.st_dev, st.st_ino});
    if (it != g_inodes.end() && it->second.users > 0) {
      it->second.parked.push_back(fd);
      return;
    }
  }
  ::close(fd);
}

}  // namespace tidewell::engine
