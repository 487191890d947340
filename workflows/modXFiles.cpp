#include "workflows/modXFiles.h"

#include <glob.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace tidewell {

bool FileExists(const std::string& p_strPath) {
  if (p_strPath.empty()) return false;
  // A literal name first: folders like "site [old]" would otherwise be read as a
  // bracket expression and never match themselves.
  struct stat st {};
  if (::lstat(p_strPath.c_str(), &st) == 0) return true;

  glob_t found{};
  // GLOB_PERIOD lets wildcards match hidden entries as well, like the search with the
  // hidden attribute does.
  const int rc = ::glob(p_strPath.c_str(), GLOB_PERIOD | GLOB_ERR | GLOB_NOSORT, nullptr, &found);
  const bool any =
      rc == 0 && found.gl_pathc > 0 && found.gl_pathv[0] != nullptr && found.gl_pathv[0][0] != '\0';
  ::globfree(&found);
  return any;
}

std::string ApplicationFolder() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return exe.parent_path().string();
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace tidewell
