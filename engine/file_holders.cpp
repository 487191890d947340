#include "engine/file_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "engine/errors.h"
#include "engine/file_lock.h"

namespace tidewell::engine {
namespace {

struct Identity {
  dev_t dev = 0;
  ino_t ino = 0;
};

bool IdentityOf(const std::string& path, Identity& id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

// Calls `found` with the pid of each process listed in /proc; stops when it returns true.
template <typename Fn>
bool EachProcess(const Fn& found) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool hit = false;
  while (!hit) {
    const dirent* e = ::readdir(proc);
    if (!e) break;
    char* end = nullptr;
    const long pid = std::strtol(e->d_name, &end, 10);
    if (pid > 0 && *end == '\0') hit = found(static_cast<pid_t>(pid));
  }
  ::closedir(proc);
  return hit;
}

// Whether a descriptor of process `pid` (its folder in /proc given) leads to `id`. Folders
// of other users' processes cannot be read without root; they read as empty.
bool HasOpen(const std::string& fd_dir, const Identity& id) {
  DIR* dir = ::opendir(fd_dir.c_str());
  if (!dir) return false;
  bool hit = false;
  while (!hit) {
    const dirent* e = ::readdir(dir);
    if (!e) break;
    if (e->d_name[0] == '.') continue;
    struct stat st;
    // stat follows the link to the open file itself, so a file renamed or reached through
    // another name since it was opened is still recognised.
    hit = ::stat((fd_dir + "/" + e->d_name).c_str(), &st) == 0 && st.st_dev == id.dev &&
          st.st_ino == id.ino;
  }
  ::closedir(dir);
  return hit;
}

std::string Describe(pid_t pid) {
  std::string name;
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::getline(comm, name);
  return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

class RealProbe final : public HolderProbe {
 public:
  std::string OtherHolder(const std::string& path) override {
    switch (TryWriteLease(path)) {
      case LeaseAnswer::kFree:
        return {};
      case LeaseAnswer::kHeld:
        // The lease only says that someone does; /proc may say who.
        if (std::string who = HolderInProc(path); !who.empty()) return who;
        return "another process";
      case LeaseAnswer::kCannotTell:
        break;
    }
    return HolderInProc(path);
  }
};

HolderProbe* g_probe = nullptr;

}  // namespace

LeaseAnswer TryWriteLease(const std::string& path) {
  Identity id;
  if (!IdentityOf(path, id)) return LeaseAnswer::kCannotTell;
  // A descriptor of our own refuses the lease as any other would; and one more open and
  // close of the file would drop the POSIX locks SQLite holds on it in this process.
  if (HasOpen("/proc/self/fd", id)) return LeaseAnswer::kCannotTell;
  // O_NONBLOCK: a lease someone else holds on the file fails the open instead of making us
  // wait for its holder to give it up; a file with a lease on it is in use.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == EWOULDBLOCK ? LeaseAnswer::kHeld : LeaseAnswer::kCannotTell;
  struct stat st;
  LeaseAnswer answer = LeaseAnswer::kCannotTell;
  if (::fstat(fd, &st) == 0 && st.st_dev == id.dev && st.st_ino == id.ino) {
    if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
      ::fcntl(fd, F_SETLEASE, F_UNLCK);
      answer = LeaseAnswer::kFree;
    } else if (errno == EAGAIN || errno == EBUSY) {
      answer = LeaseAnswer::kHeld;
    }  // EACCES: not the owner; EINVAL: no leases on this file system
  }
  CloseKeepingLocks(fd);
  return answer;
}

std::string HolderInProc(const std::string& path) {
  Identity id;
  if (!IdentityOf(path, id)) return {};
  const pid_t self = ::getpid();
  pid_t holder = 0;
  EachProcess([&](pid_t pid) {
    if (pid == self || !HasOpen("/proc/" + std::to_string(pid) + "/fd", id)) return false;
    holder = pid;
    return true;
  });
  return holder ? Describe(holder) : std::string();
}

HolderProbe& Holders() {
  static RealProbe real;
  return g_probe ? *g_probe : real;
}

HolderProbe* SetHolders(HolderProbe* probe) {
  HolderProbe* previous = &Holders();
  g_probe = probe;
  return previous;
}

void RefuseIfHeldElsewhere(const std::string& path) {
  if (const std::string who = Holders().OtherHolder(path); !who.empty())
    Raise(kErrFileInUse,
          "The database '" + path + "' is open in " + who + " and cannot be opened exclusively.");
}

}  // namespace tidewell::engine
