// Every delete, rename, link, copy and sync that the operations do goes through here, so
// that tests can make any one of them fail (or kill the process at it) deterministically.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

namespace tidewell::engine {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  virtual bool Exists(const std::string& path) = 0;
  // Removing a missing file is success.
  virtual std::error_code Remove(const std::string& path) = 0;
  virtual std::error_code Rename(const std::string& from, const std::string& to) = 0;
  // Hard link; fails when `to` exists.
  virtual std::error_code Link(const std::string& from, const std::string& to) = 0;
  // Copies `from` to a new file `to` (fails when it exists) and syncs it, the sync going
  // through Files().SyncFile like any other.
  virtual std::error_code Copy(const std::string& from, const std::string& to) = 0;
  virtual std::error_code SyncFile(const std::string& path) = 0;
  // Syncs the folder that holds `path`, so that renames and creations in it are durable.
  virtual std::error_code SyncParentDir(const std::string& path) = 0;
  // Whether this process may write the file itself. A file its owner made read-only is
  // never replaced by a maintained copy, even where the folder would allow the rename.
  virtual bool Writable(const std::string& path);
  // Gives `to`, a new file that is to take the name of `from`, what `from` has beside its
  // bytes: its owner and group, its extended attributes (ACLs and security labels among
  // them) and its mode, in that order, through a descriptor of `to` (fchown, fsetxattr,
  // fchmod). Not durable until `to` is synced. An attribute the file system or the
  // process may not set (ENOTSUP; EPERM or EACCES for security.* and trusted.*) is left
  // out; any other failure, the owner's above all, is returned, and `to` must then not
  // take the name.
  virtual std::error_code TakeOwnership(const std::string& from, const std::string& to);
  // Whether two names reach one file: for names that exist, the same device and inode;
  // where neither exists, whether the folder takes the two spellings as one (a folder
  // that ignores case, or folds names): `a` is created empty, `b` looked up, `a` removed.
  // Where only one exists they are two names. Changes nothing that stays.
  virtual bool SameFile(const std::string& a, const std::string& b);
};

// A new file, created empty with mode 0600 whatever the umask, so that nothing written
// into it is ever readable by more than its owner before it is given its final mode.
// Fails (EEXIST) when the name exists.
std::error_code CreatePrivate(const std::string& path);

// The file a path finally names: the end of a chain of symbolic links, or the path itself.
// The operations derive their temporary and backup names from it, so a link given as the
// database stays a link, and the file it leads to is maintained with its backups beside it.
std::string ResolveLinks(const std::string& path);

// A database's rollback journal and write-ahead log belong to the file under its name: left
// there when the file moves away, SQLite would play them into whatever file takes the name.
// MoveCompanions sends them after the file moved to `to`; ones SQLite would ignore go too
// when `all` is set (a damaged original is kept with every byte), else they are removed, as
// is the shared-memory index, which SQLite rebuilds. RemoveCompanions drops those of a file
// that is replaced. Both return the first failure.
std::error_code MoveCompanions(const std::string& from, const std::string& to, bool all = false);
std::error_code RemoveCompanions(const std::string& path);

// Starts the kernel writing a file out while it is still being written, so that the one sync
// at its end finds little left to write. Only a hint: it makes nothing durable, and where it
// fails nothing changes but the time the sync takes.
class WritebackAhead {
 public:
  explicit WritebackAhead(std::string path) : path_(std::move(path)) {}
  ~WritebackAhead();
  WritebackAhead(const WritebackAhead&) = delete;
  WritebackAhead& operator=(const WritebackAhead&) = delete;
  // Hands what was written since the last hint to the kernel, once enough has piled up.
  // Returns the file's size now, or -1 while it cannot be read.
  long long Poll();

 private:
  std::string path_;
  int fd_ = -1;
  long long hinted_ = 0;
};

// Hints a file's writes as WritebackAhead does, from a thread of its own every tenth of a
// second until it is destroyed: a hint waits while the disk's queue is full, and whoever
// fills the file should not wait with it. Without a thread to be had, nothing is hinted.
class WritebackMeanwhile {
 public:
  explicit WritebackMeanwhile(std::string path);
  ~WritebackMeanwhile();
  WritebackMeanwhile(const WritebackMeanwhile&) = delete;
  WritebackMeanwhile& operator=(const WritebackMeanwhile&) = delete;

 private:
  WritebackAhead ahead_;
  std::mutex m_;
  std::condition_variable wake_;
  bool stop_ = false;
  std::thread thread_;
};

// The file system of this process (the real one unless a test put another in front).
FileSystem& Files();
// Returns the one that was in place; nullptr restores the real one.
FileSystem* SetFiles(FileSystem* fs);
FileSystem& RealFiles();

}  // namespace tidewell::engine
