#include "tests/whole/cli_run.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/files.h"

namespace tidewell::whole {

CliRun RunCli(const std::vector<std::string>& args, const CliWhere& where) {
  char out_name[] = "/tmp/tidewell-cli-out-XXXXXX";
  char err_name[] = "/tmp/tidewell-cli-err-XXXXXX";
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
    std::string program = TIDEWELL_CLI_PATH;
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
  r.out = testing::ReadAll(out_name);
  r.err = testing::ReadAll(err_name);
  ::unlink(out_name);
  ::unlink(err_name);
  return r;
}

}  // namespace tidewell::whole
