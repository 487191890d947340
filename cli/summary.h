// The closing summary of a console run: per file, what was done, what was left beside it
// and how to go back, and from that the exit status. The operations' own boxes say what
// went wrong as it happens; this says where things ended up.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/notes.h"

namespace tidewell::cli {

// Exit statuses. When several apply, the first of 130, 4, 3, 2, 1 wins.
enum ExitCode : int {
  kExitOk = 0,
  kExitAfterError = 1,   // an error message was shown (check: a file is not sound)
  kExitNotFound = 2,     // a file was not found
  kExitNotReplaced = 3,  // a file was not compacted, regenerated or repaired as asked
  kExitInUse = 4,        // another program had a file open; it was left alone
  kExitUsage = 64,
  kExitInterrupted = 130,
};

// The names a run uses or leaves beside a database, derived from the file its path leads
// to; a name the path is too short for is empty.
struct BesideNames {
  std::string damaged, repairing;       // the repair's
  std::string backup, temp;             // the compaction's .BAK and $
  std::string regenerated, swap, kept;  // the regeneration's _$temp.mdb, its copy, and .BKK
  std::vector<std::string> All() const;
  // Those only a run at work has: a run stopped at once removes them.
  std::vector<std::string> Temporary() const;
};
BesideNames BesideNamesFor(const std::string& file);

struct LeftFile {
  std::string path;
  uint64_t bytes = 0;
};

struct FileSummary {
  std::string file;
  std::string done;  // one line: what became of it
  std::vector<LeftFile> left;
  std::string undo;    // the command that puts the old file back, or empty
  std::string reason;  // why it was not treated as asked, or empty
  int exit = kExitOk;  // this file's share of the exit status
};

class RunSummary {
 public:
  // `action`: start, compress, repair or regenerate.
  explicit RunSummary(std::string action) : action_(std::move(action)) {}

  void Begin(const std::string& file);
  void Note(engine::Fate fate, std::string_view detail);
  void ErrorShown() {
    if (!files_.empty()) files_.back().error_shown = true;
  }
  // The file being treated, or empty before the first.
  const std::string& Current() const;

  std::vector<FileSummary> Finish() const;

 private:
  struct Stamp {
    bool exists = false;
    ino_t ino = 0;
    uint64_t bytes = 0;
    int64_t mtime_ns = 0;
    bool operator==(const Stamp&) const = default;
  };
  struct Record {
    std::string file;
    BesideNames names;
    Stamp before;
    std::map<std::string, Stamp> beside;  // our derived names as the run found them
    std::vector<std::pair<engine::Fate, std::string>> notes;
    bool error_shown = false;
  };
  static Stamp StampOf(const std::string& path);

  std::string action_;
  std::vector<Record> files_;
};

// "348.1 MB"
std::string HumanBytes(uint64_t bytes);

}  // namespace tidewell::cli
