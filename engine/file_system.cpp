#include "engine/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string_view>
#include <vector>

#include "engine/file_lock.h"
#include "engine/pagefile/committed.h"

namespace tidewell::engine {

bool FileSystem::Writable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0;
}

namespace {

std::error_code Errno(int e) {
  return std::error_code(e, std::generic_category());
}

// An attribute that may be left out where it cannot be set: the file system has no such
// attributes, or it is a label or a trusted attribute this process may not write.
bool MayLeaveOut(const std::string& name, int err) {
  if (err == ENOTSUP || err == EOPNOTSUPP) return true;
  const bool privileged = name.rfind("security.", 0) == 0 || name.rfind("trusted.", 0) == 0;
  return privileged && (err == EPERM || err == EACCES);
}

// Every extended attribute of `from` set on `to`; an access ACL `to` inherited from its
// folder and `from` lacks is removed, so that it grants nobody more than `from` does.
std::error_code CopyAttributes(int from, int to) {
  std::vector<char> names;
  for (;;) {
    const ssize_t n = ::flistxattr(from, nullptr, 0);
    if (n < 0) return errno == ENOTSUP || errno == EOPNOTSUPP ? std::error_code() : Errno(errno);
    names.resize(size_t(n));
    const ssize_t got = n == 0 ? 0 : ::flistxattr(from, names.data(), names.size());
    if (got >= 0) {
      names.resize(size_t(got));
      break;
    }
    if (errno != ERANGE) return Errno(errno);
  }
  bool has_acl = false;
  std::vector<char> value;
  for (size_t at = 0; at < names.size();) {
    const std::string name(names.data() + at);
    at += name.size() + 1;
    if (name.empty()) continue;
    has_acl = has_acl || name == "system.posix_acl_access";
    ssize_t n;
    for (;;) {
      n = ::fgetxattr(from, name.c_str(), nullptr, 0);
      if (n < 0) break;
      value.resize(size_t(n));
      n = n == 0 ? 0 : ::fgetxattr(from, name.c_str(), value.data(), value.size());
      if (n >= 0 || errno != ERANGE) break;
    }
    if (n < 0) {
      if (errno == ENODATA || MayLeaveOut(name, errno)) continue;
      return Errno(errno);
    }
    if (::fsetxattr(to, name.c_str(), value.data(), size_t(n), 0) != 0 && !MayLeaveOut(name, errno))
      return Errno(errno);
  }
  if (!has_acl && ::fremovexattr(to, "system.posix_acl_access") != 0 && errno != ENODATA &&
      errno != ENOTSUP && errno != EOPNOTSUPP)
    return Errno(errno);
  return {};
}

// Owner and group, attributes, mode: the owner first, since a change of owner clears the
// set-id bits and may drop a capability attribute; the mode last, since setting an ACL
// changes the group bits. With `owner_required` unset a file whose owner cannot be set
// keeps mode 0600 narrowed by the source's mode and no attributes, and that is success.
std::error_code CopyOwnership(int from, int to, bool owner_required) {
  struct stat src {};
  struct stat dst {};
  if (::fstat(from, &src) != 0 || ::fstat(to, &dst) != 0) return Errno(errno);
  if ((src.st_uid != dst.st_uid || src.st_gid != dst.st_gid) &&
      ::fchown(to, src.st_uid == dst.st_uid ? uid_t(-1) : src.st_uid,
               src.st_gid == dst.st_gid ? gid_t(-1) : src.st_gid) != 0) {
    if (owner_required) return Errno(errno);
    return ::fchmod(to, src.st_mode & 0600) == 0 ? std::error_code() : Errno(errno);
  }
  if (std::error_code ec = CopyAttributes(from, to)) return ec;
  if (::fchmod(to, src.st_mode & 07777) != 0) return Errno(errno);
  return {};
}

}  // namespace

std::error_code FileSystem::TakeOwnership(const std::string& from, const std::string& to) {
  const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Errno(errno);
  const int out = ::open(to.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  std::error_code ec = out < 0 ? Errno(errno) : CopyOwnership(in, out, true);
  if (out >= 0) CloseKeepingLocks(out);
  CloseKeepingLocks(in);
  return ec;
}

bool FileSystem::SameFile(const std::string& a, const std::string& b) {
  struct stat sa {};
  struct stat sb {};
  const bool has_a = ::lstat(a.c_str(), &sa) == 0, has_b = ::lstat(b.c_str(), &sb) == 0;
  if (has_a && has_b) return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  if (has_a || has_b) return false;
  // Neither exists: ask the folder. A name that cannot be created is taken as one of its own.
  const int fd = ::open(a.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  ::close(fd);
  const bool same = ::lstat(a.c_str(), &sa) == 0 && ::lstat(b.c_str(), &sb) == 0 &&
                    sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  ::unlink(a.c_str());
  return same;
}

std::error_code CreatePrivate(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Errno(errno);
  // The umask can only narrow 0600; a folder's default ACL could widen it.
  std::error_code ec;
  if (::fchmod(fd, 0600) != 0) ec = Errno(errno);
  ::close(fd);
  if (ec) ::unlink(path.c_str());
  return ec;
}

std::string ResolveLinks(const std::string& path) {
  std::error_code ec;
  if (!std::filesystem::is_symlink(path, ec)) return path;
  // Only a link is resolved; any other path keeps its text exactly, since the names the
  // operations derive from it are defined on that text.
  std::filesystem::path target = std::filesystem::weakly_canonical(path, ec);
  return ec ? path : target.string();
}
namespace {

constexpr const char* kCompanions[] = {"-journal", "-wal", "-shm"};

}  // namespace

std::error_code MoveCompanions(const std::string& from, const std::string& to, bool all) {
  std::error_code first;
  for (const char* suffix : kCompanions) {
    const std::string name = from + suffix;
    if (!Files().Exists(name)) continue;
    const std::string_view kind(suffix);
    struct stat st {};
    const bool keep = kind != "-shm" &&
                      (all ? ::lstat(name.c_str(), &st) == 0 && st.st_size > 0
                           : pagefile::CompanionApplies(
                                 name, kind == "-journal" ? pagefile::Companion::kHotJournal
                                                          : pagefile::Companion::kWriteAheadLog));
    std::error_code ec = keep ? Files().Rename(name, to + suffix) : Files().Remove(name);
    if (!first) first = ec;
  }
  return first;
}

std::error_code RemoveCompanions(const std::string& path) {
  std::error_code first;
  for (const char* suffix : kCompanions)
    if (std::error_code ec = Files().Remove(path + suffix); !first) first = ec;
  return first;
}

namespace {

std::error_code LastError() {
  return std::error_code(errno, std::generic_category());
}

int OpenRetry(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

std::error_code SyncPath(const std::string& path, int flags) {
  int fd = OpenRetry(path.c_str(), flags);
  if (fd < 0) return LastError();
  std::error_code ec;
  if (::fsync(fd) != 0) ec = LastError();
  CloseKeepingLocks(fd);
  return ec;
}

class RealFileSystem final : public FileSystem {
 public:
  bool Exists(const std::string& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  std::error_code Remove(const std::string& path) override {
    if (::unlink(path.c_str()) == 0 || errno == ENOENT) return {};
    return LastError();
  }

  std::error_code Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return LastError();
    return {};
  }

  std::error_code Link(const std::string& from, const std::string& to) override {
    if (::link(from.c_str(), to.c_str()) != 0) return LastError();
    return {};
  }

  std::error_code Copy(const std::string& from, const std::string& to) override {
    int in = OpenRetry(from.c_str(), O_RDONLY);
    if (in < 0) return LastError();
    struct stat st;
    if (::fstat(in, &st) != 0) {
      auto ec = LastError();
      CloseKeepingLocks(in);
      return ec;
    }
    // Made 0600, and given the source's owner and mode (or left 0600 where the owner cannot
    // be set) before its sync: a copy is never readable by more than its source.
    int out = OpenRetry(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (out < 0) {
      auto ec = LastError();
      CloseKeepingLocks(in);
      return ec;
    }
    std::error_code ec;
    // copy_file_range lets the kernel (or the file system, by reflink) do the work; plain
    // read/write covers file systems that refuse it.
    bool use_range = true;
    char buffer[1 << 16];
    WritebackAhead ahead(to);
    for (;;) {
      ahead.Poll();
      ssize_t n;
      if (use_range) {
        n = ::copy_file_range(in, nullptr, out, nullptr, 32 << 20, 0);
        if (n < 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
          use_range = false;
          continue;
        }
      } else {
        n = ::read(in, buffer, sizeof buffer);
        if (n > 0) {
          for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0) {
              if (errno == EINTR) continue;
              n = -1;
              break;
            }
            done += w;
          }
        }
      }
      if (n < 0) {
        if (errno == EINTR) continue;
        ec = LastError();
        break;
      }
      if (n == 0) break;
    }
    if (!ec) ec = CopyOwnership(in, out, false);
    if (::close(out) != 0 && !ec) ec = LastError();
    CloseKeepingLocks(in);
    // The sync is a step of its own through the seam, so that tests see it (and see it
    // missing): the swaps rename this copy over a database.
    if (!ec) ec = Files().SyncFile(to);
    if (ec) ::unlink(to.c_str());
    return ec;
  }

  std::error_code SyncFile(const std::string& path) override { return SyncPath(path, O_RDONLY); }

  std::error_code SyncParentDir(const std::string& path) override {
    std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (parent.empty()) parent = ".";
    return SyncPath(parent.string(), O_RDONLY | O_DIRECTORY);
  }
};

FileSystem* g_files = nullptr;

}  // namespace

WritebackAhead::~WritebackAhead() {
  if (fd_ >= 0) ::close(fd_);
}

long long WritebackAhead::Poll() {
  // Large enough that the hints cost nothing beside the writes, small enough that the disk
  // starts early.
  constexpr long long kStep = 32ll << 20;
  if (fd_ < 0) fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return -1;
  if (st.st_size - hinted_ >= kStep) {
    (void)::sync_file_range(fd_, hinted_, st.st_size - hinted_, SYNC_FILE_RANGE_WRITE);
    hinted_ = st.st_size;
  }
  return st.st_size;
}

WritebackMeanwhile::WritebackMeanwhile(std::string path) : ahead_(std::move(path)) {
  try {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> hold(m_);
      while (!stop_) {
        hold.unlock();
        ahead_.Poll();
        hold.lock();
        wake_.wait_for(hold, std::chrono::milliseconds(100), [this] { return stop_; });
      }
    });
  } catch (const std::system_error&) {
  }
}

WritebackMeanwhile::~WritebackMeanwhile() {
  {
    std::lock_guard<std::mutex> hold(m_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

FileSystem& RealFiles() {
  static RealFileSystem real;
  return real;
}

FileSystem& Files() {
  return g_files ? *g_files : RealFiles();
}

FileSystem* SetFiles(FileSystem* fs) {
  FileSystem* previous = &Files();
  g_files = fs;
  return previous;
}

}  // namespace tidewell::engine
