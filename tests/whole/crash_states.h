// What a power cut can leave of one folder. A recorder sits behind both file seams (our own
// file layer and SQLite's VFS) while a workflow runs for real, and logs every folder change
// and every write with its bytes, and which syncs make them durable. The explorer then
// rebuilds, from the folder as it was plus that log, the states a power cut can leave: a
// file keeps what its last sync saw plus any choice of its later writes (one may be torn
// at a sector boundary), and the folder keeps what its last sync saw plus, in order, a
// prefix of its later changes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tests/support/faulty_files.h"
#include "tests/whole/faulty_vfs.h"

namespace tidewell::whole {

struct DiskOp {
  enum Kind { kCreate, kLink, kRename, kRemove, kWrite, kTruncate, kSync, kDirSync } kind;
  int file = 0;      // which file (an inode): names come and go, writes go to the file
  std::string name;  // file name within the folder; for a rename, the old one
  std::string to;    // the new name of a rename
  int64_t offset = 0;
  std::string data;  // what a write wrote; for a sync, the whole file as it then was
};

struct Recording {
  std::map<std::string, std::string> base;  // the folder before the workflow
  std::vector<DiskOp> ops;
};

// Records what happens in `folder` for as long as it lives.
class CrashRecorder : public testing::FaultyFiles, public VfsObserver {
 public:
  explicit CrashRecorder(const std::string& folder);
  ~CrashRecorder() override;
  const Recording& recording() const { return rec_; }

  std::error_code Remove(const std::string& path) override;
  std::error_code Rename(const std::string& from, const std::string& to) override;
  std::error_code Link(const std::string& from, const std::string& to) override;
  std::error_code Copy(const std::string& from, const std::string& to) override;
  std::error_code SyncFile(const std::string& path) override;
  std::error_code SyncParentDir(const std::string& path) override;

  void Opened(const char* name, int flags) override;
  void Wrote(const char* name, const void* data, int n, int64_t offset) override;
  void Truncated(const char* name, int64_t size) override;
  void Synced(const char* name) override;
  void Deleted(const char* name, bool sync_dir) override;

 private:
  std::string In(const char* path) const;
  int FileOf(const std::string& name);  // creates it in the log when it is new to us
  void Gone(const std::string& name);
  void SyncedNow(const std::string& path);
  void Push(DiskOp::Kind kind, int file = 0, std::string name = {}, std::string to = {},
            int64_t offset = 0, std::string data = {}) {
    rec_.ops.push_back({kind, file, std::move(name), std::move(to), offset, std::move(data)});
  }

  std::string folder_;
  Recording rec_;
  std::map<std::string, int> names_;
  int next_file_ = 0;
  std::set<std::string> dir_sync_due_;  // journals: their first sync syncs the folder
  std::unique_ptr<FaultyVfs> vfs_;
};

// Writes into `folder` what the whole log leaves, to compare with what the run left.
void WriteFinalState(const Recording& rec, const std::string& folder);

// Materializes every distinct crash state of `rec` in `folder` (emptied first) and calls
// `check` with a description of it; stops when `check` returns false. Returns how many
// distinct states were made.
int ExploreCrashStates(const Recording& rec, const std::string& folder,
                       const std::function<bool(const std::string& where)>& check);

}  // namespace tidewell::whole
