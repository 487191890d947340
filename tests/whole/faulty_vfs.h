// Faults inside SQLite's own file I/O: a VFS in front of the default one that makes the k-th
// open, write, truncate, sync or delete fail, so the writes of the compaction, the salvage
// and the copies fail as a full or broken disk would make them fail.
#pragma once

#include <string>
#include <vector>

namespace tidewell::whole {

class FaultyVfs {
 public:
  // Becomes the default VFS of this process; the destructor puts the previous one back.
  FaultyVfs();
  ~FaultyVfs();
  FaultyVfs(const FaultyVfs&) = delete;
  FaultyVfs& operator=(const FaultyVfs&) = delete;

  // The k-th counted operation (1-based) fails; `disk_full` picks SQLITE_FULL for writes
  // (and truncates), otherwise the I/O error of the operation.
  void FailAt(int k, bool disk_full);
  int Count() const;
  const std::vector<std::string>& Log() const;
};

}  // namespace tidewell::whole
