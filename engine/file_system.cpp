#include "engine/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string_view>

#include "engine/file_lock.h"
#include "engine/pagefile/committed.h"

namespace tidewell::engine {

bool FileSystem::Writable(const std::string& path) {
  return ::access(path.c_str(), W_OK) == 0;
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
    int out = OpenRetry(to.c_str(), O_WRONLY | O_CREAT | O_EXCL, st.st_mode & 0777);
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
