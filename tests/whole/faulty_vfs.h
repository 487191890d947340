// Faults inside SQLite's own file I/O: a VFS in front of the default one that makes the k-th
// open, write, truncate, sync or delete fail, so the writes of the compaction, the salvage
// and the copies fail as a full or broken disk would make them fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tidewell::whole {

// Told of every operation that went through to the disk, after it did.
class VfsObserver {
 public:
  virtual ~VfsObserver() = default;
  virtual void Opened(const char* name, int flags) = 0;
  virtual void Wrote(const char* name, const void* data, int n, int64_t offset) = 0;
  virtual void Truncated(const char* name, int64_t size) = 0;
  virtual void Synced(const char* name) = 0;
  virtual void Deleted(const char* name, bool sync_dir) = 0;
};

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
  void Observe(VfsObserver* observer);
  const std::vector<std::string>& Log() const;
};

}  // namespace tidewell::whole
