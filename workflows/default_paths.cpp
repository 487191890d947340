#include "workflows/default_paths.h"

#include <filesystem>
#include <system_error>

#include "workflows/modXFiles.h"

namespace tidewell {
namespace {

constexpr const char* kDatabaseName = "Vardlink.mdb";
constexpr const char* kTemplateName = "Vardlink_Default.mdb";

// A plain existence test: the folder names are paths, not patterns, and a folder such as
// "/opt/site [old]" must not be searched as a glob.
bool Exists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

bool BesideTheCrawler(const std::string& program_folder) {
  return Exists(JoinPath(program_folder, kDatabaseName));
}

}  // namespace

std::string DefaultDatabase(const std::string& program_folder, const std::string& current_folder) {
  if (BesideTheCrawler(program_folder)) return JoinPath(program_folder, kDatabaseName);
  return JoinPath(current_folder, kDatabaseName);
}

std::string DefaultTemplate(const std::string& program_folder, const std::string& database) {
  const std::string in_program_folder = JoinPath(program_folder, kTemplateName);
  if (BesideTheCrawler(program_folder) || Exists(in_program_folder)) return in_program_folder;
  return JoinPath(std::filesystem::path(database).parent_path().string(), kTemplateName);
}

std::string CurrentFolder() {
  std::error_code ec;
  const std::filesystem::path here = std::filesystem::current_path(ec);
  return ec ? std::string() : here.string();
}

}  // namespace tidewell
