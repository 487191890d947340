// tidewell-cli: the command line, the window-less port and the check action.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace tidewell::cli {

enum ExitCode : int {
  kExitOk = 0,
  kExitAfterError = 1,  // the closing message came after an error box; check: unsound
  kExitNotFound = 2,
  kExitInterrupted = 130,
  kExitUsage = 64,
};

struct CliOptions {
  std::string action;  // start, compress, repair, regenerate, check
  std::string database;
  std::string template_db;
  bool json = false;
  std::deque<int> answers;
  bool help = false;
  bool version = false;
  std::string error;  // set on a usage error
};

// Defaults come from `app_folder` (the executable's folder).
CliOptions ParseArgs(const std::vector<std::string>& args, const std::string& app_folder);

std::string UsageText();

struct TableCount {
  std::string name;
  bool ok = false;
  int64_t records = 0;
  std::string error;
};

struct FileCheck {
  std::string path;
  bool found = false;
  bool opened = false;
  std::string open_error;
  std::vector<TableCount> tables;
  std::vector<std::string> integrity;  // problems the file format check listed
  bool Sound() const;
};

// Opens the file read-only and shared, counts the records of every table and runs the
// file format's own integrity check. Changes nothing.
FileCheck CheckDatabase(const std::string& path);

// The whole program; returns the exit status.
int Main(int argc, char** argv);

}  // namespace tidewell::cli
