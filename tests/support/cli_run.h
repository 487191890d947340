// tidewell-cli run as a user runs it: a child process with its own folder (and, for the
// permission cases, an ordinary user's rights), judged by what it prints and its exit status.
#pragma once

#include <string>
#include <vector>

namespace tidewell::testing {

struct CliRun {
  int exit = -1;
  std::string out, err;
  std::vector<std::string> lines;  // stdout, one per line
};

struct CliWhere {
  std::string cwd;  // empty: the test's own
  int uid = -1;     // >= 0: run as this user (only when the test runs as root)
};

CliRun RunCli(const std::vector<std::string>& args, const CliWhere& where = {});

}  // namespace tidewell::testing
