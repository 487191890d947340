#include "tests/support/cli_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "tests/support/files.h"

namespace tidewell::testing {
namespace {

// Another user may not be able to reach the build folder at all (a clone in a private
// temporary folder is mode 0700), so runs as that user start a world-readable copy of the
// program instead. Made once per test process and removed when it ends.
const std::string& ProgramFor(const CliWhere& where) {
  static const std::string built = TIDEWELL_CLI_PATH;
  if (where.uid < 0) return built;
  static const std::string copy = [] {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("tidewell-cli-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    const fs::path program = dir / "tidewell-cli";
    fs::copy_file(built, program, fs::copy_options::overwrite_existing);
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(fs::temp_directory_path() / ("tidewell-cli-" + std::to_string(::getpid())),
                     ec);
    });
    return program.string();
  }();
  return copy;
}

}  // namespace

CliRun RunCli(const std::vector<std::string>& args, const CliWhere& where) {
  char out_name[] = "/tmp/tidewell-cli-out-XXXXXX";
  char err_name[] = "/tmp/tidewell-cli-err-XXXXXX";
  const std::string& program_path = ProgramFor(where);
  const int out = ::mkstemp(out_name);
  const int err = ::mkstemp(err_name);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (!where.cwd.empty() && ::chdir(where.cwd.c_str()) != 0) ::_exit(126);
    if (where.uid >= 0) {
      if (::setgid(static_cast<gid_t>(where.uid)) != 0 ||
          ::setuid(static_cast<uid_t>(where.uid)) != 0)
        ::_exit(126);
    }
    std::vector<char*> argv;
    std::string program = program_path;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ::close(out);
  ::close(err);
  CliRun r;
  r.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.out = ReadAll(out_name);
  r.err = ReadAll(err_name);
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) r.lines.push_back(line);
  ::unlink(out_name);
  ::unlink(err_name);
  return r;
}

}  // namespace tidewell::testing
