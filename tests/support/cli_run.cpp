#include "tests/support/cli_run.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "tests/support/files.h"

namespace tidewell::testing {

CliRun RunCli(const std::vector<std::string>& args) {
  const TempDir output;
  const std::string out = output.File("out"), err = output.File("err");
  std::vector<char*> argv{const_cast<char*>(TIDEWELL_CLI_PATH)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (std::freopen("/dev/null", "r", stdin) && std::freopen(out.c_str(), "w", stdout) &&
        std::freopen(err.c_str(), "w", stderr))
      ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  CliRun r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadAll(out), ReadAll(err), {}};
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) r.lines.push_back(line);
  return r;
}

}  // namespace tidewell::testing
