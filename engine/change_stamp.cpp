#include "engine/change_stamp.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/engine.h"
#include "engine/file_lock.h"

namespace tidewell::engine {

std::string ChangeStamp(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string stamp;
  struct stat st {};
  if (::fstat(fd, &st) == 0) {
    char counter[4] = {};
    const bool has_header = ::pread(fd, counter, sizeof counter, 24) == sizeof counter;
    stamp = (has_header ? std::string(counter, sizeof counter) : std::string()) + "|" +
            std::to_string(st.st_size) + "|" + std::to_string(st.st_mtim.tv_sec) + "." +
            std::to_string(st.st_mtim.tv_nsec);
  }
  CloseKeepingLocks(fd);
  return stamp;
}

std::string CommittedStamp(const std::string& path) {
  BringToCommittedState(path);
  return ChangeStamp(path);
}

}  // namespace tidewell::engine
