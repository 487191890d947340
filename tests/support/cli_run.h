// tidewell-cli run as a user runs it: a child process, judged by what it prints and its exit
// status.
#pragma once

#include <string>
#include <vector>

namespace tidewell::testing {

struct CliRun {
  int exit = -1;
  std::string out, err;
  std::vector<std::string> lines;  // stdout, one per line
};

CliRun RunCli(const std::vector<std::string>& args);

}  // namespace tidewell::testing
