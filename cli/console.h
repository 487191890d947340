// tidewell-cli: the command line, the window-less port and the check action.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "cli/summary.h"

namespace tidewell::cli {

struct CliOptions {
  std::string action;  // start, compress, repair, regenerate, check
  std::string database;
  std::string template_db;
  bool json = false;
  bool quiet = false;
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

// Where the file's bytes go, from its header, its freelist and a bounded sample of its
// pages (never a pass over the whole file), read as SQLite's next open reads them: a
// write-ahead log's last commit laid over the file, a hot journal's pages put back.
struct SpaceFigures {
  bool header_ok = false;   // a SQLite header with a usable page size
  uint64_t file_bytes = 0;  // the file alone, as it is on disk
  uint32_t page_size = 0;
  uint64_t page_count = 0;  // the header's count when it is current, else the file's size
  uint64_t free_pages = 0;  // on the freelist
  uint64_t free_bytes = 0;
  bool wal_mode = false;  // the only journal mode the file itself records
  // Whose pages were laid over the file's: "wal" (its last commit), "journal" (a hot
  // journal's, put back), or "file" (none).
  std::string read_through = "file";
  // Estimates, from `sampled_pages` of the pages in use (all of them in a small file).
  uint64_t sampled_pages = 0;
  uint64_t unused_bytes = 0;  // inside pages in use
  uint64_t compacted_bytes = 0;
};

// A rollback journal or WAL file beside the database.
struct SideFile {
  bool present = false;
  uint64_t bytes = 0;
  bool valid_header = false;
  // Left by a writer that did not finish: the next open that may write replays it.
  bool hot = false;
};

struct FileCheck {
  std::string path;
  bool found = false;
  SpaceFigures space;
  SideFile journal;  // path + "-journal"
  SideFile wal;      // path + "-wal"
  bool opened = false;
  bool left_unopened = false;  // on purpose: opening would change something; see open_error
  std::string open_error;
  std::vector<TableCount> tables;
  std::vector<std::string> integrity;  // problems the file format check listed
  bool Sound() const;
};

// Measures the file and its side files, then opens it read-only and shared, counts the
// records of every table and runs the file format's own integrity check. Changes nothing,
// creates nothing: a file that a read-only open would change or add files beside (a hot
// journal, a WAL-mode file without its shared-memory file) is measured but not opened.
FileCheck CheckDatabase(const std::string& path);

SpaceFigures MeasureSpace(const std::string& path);
SideFile InspectJournal(const std::string& path);
SideFile InspectWal(const std::string& path);

// The whole program; returns the exit status.
int Main(int argc, char** argv);

}  // namespace tidewell::cli
