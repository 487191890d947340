// SQLite's own file I/O watched and made to fail: a VFS in front of SQLite's default one for
// as long as it lives, which every connection opened without naming a VFS goes through.
#pragma once

#include <sqlite3.h>

#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace tidewell::testing {

// Told of an open for writing, write, truncate, sync or delete that went through to the
// disk: its kind ('o', 'w', 't', 's', 'd'), the file, the bytes written, the offset or size,
// and the open flags or whether a delete syncs the folder.
using VfsObserver = std::function<void(char, const char*, std::string_view, int64_t, int)>;

// Counts those operations and makes the `fail_at`-th fail (writes and truncates with
// SQLITE_FULL when `disk_full`, else with the operation's I/O error), and tells `observe` of
// the ones that were done.
class FaultyVfs {
 public:
  explicit FaultyVfs(int fail_at = 0, bool disk_full = false, VfsObserver observe = {}) {
    g.real = sqlite3_vfs_find(nullptr);
    g.vfs = *g.real;  // the rest of the real one works as it is: it needs nothing of a file
    g.vfs.zName = "tidewell-faulty";
    g.vfs.szOsFile = int(sizeof(File)) + g.real->szOsFile;
    g.vfs.xOpen = Open;
    g.vfs.xDelete = Delete;
    g.count = 0, g.fail_at = fail_at, g.disk_full = disk_full, g.observe = std::move(observe);
    g.folder.clear(), g.sizes.clear();
    sqlite3_vfs_register(&g.vfs, 1);
  }
  ~FaultyVfs() { sqlite3_vfs_unregister(&g.vfs), sqlite3_vfs_register(g.real, 1); }
  int Count() const { return g.count; }

 protected:
  // From now on the files under `folder` can grow by `free` bytes in all (what a truncation
  // or a deletion gives back counts again): a write that would take more fails as on a full
  // disk (SQLITE_FULL).
  static void Limit(std::string folder, sqlite3_int64 free) {
    g.folder = std::move(folder), g.free = free;
  }

 private:
  static inline struct {
    sqlite3_vfs* real;
    sqlite3_vfs vfs;
    int count, fail_at;
    bool disk_full;
    VfsObserver observe;
    std::string folder;                          // of the full disk, when there is one
    sqlite3_int64 free;                          // its free bytes
    std::map<std::string, sqlite3_int64> sizes;  // each file under it, as the disk knows it
    std::mutex mutex;                            // the salvage writes on a thread of its own
  } g;
  struct File {  // ours first, the real file right behind it
    sqlite3_file base;
    const char* name;
  };
  static sqlite3_file* Inner(sqlite3_file* f) { return reinterpret_cast<sqlite3_file*>(As(f) + 1); }
  static File* As(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
  template <auto m>
  struct Forward;
  template <typename R, typename... A, R (*sqlite3_io_methods::*m)(sqlite3_file*, A...)>
  struct Forward<m> {
    static R Call(sqlite3_file* f, A... a) { return (Inner(f)->pMethods->*m)(Inner(f), a...); }
  };
  template <auto m>
  static constexpr auto F = Forward<m>::Call;
  using M = sqlite3_io_methods;

  // Counts one operation; fails it with `error`, or does it and tells the observer.
  template <typename Op>
  static int Step(int error, const Op& op, char kind, const char* name, std::string_view data = {},
                  int64_t offset = 0, int flags = 0) {
    const int rc = ++g.count == g.fail_at ? error : op();
    if (rc == SQLITE_OK && g.observe) g.observe(kind, name, data, offset, flags);
    return rc;
  }
  // A file under the full disk's folder growing to `size` (when `grow`) or shrinking to it:
  // the growth takes free bytes, a shrinking gives them back. False when the growth does not
  // fit. `f`, when given, tells the size of a file the disk has not seen yet.
  static bool Resize(const char* name, sqlite3_int64 size, bool grow, sqlite3_file* f = nullptr) {
    if (g.folder.empty() || !name || std::strncmp(name, g.folder.c_str(), g.folder.size()) != 0)
      return true;
    std::lock_guard<std::mutex> hold(g.mutex);
    const auto [at, fresh] = g.sizes.try_emplace(name, 0);
    sqlite3_int64& now = at->second;
    if (fresh && f) F<&M::xFileSize>(f, &now);  // what it held is on the disk already
    if (grow ? size <= now : size >= now) return true;
    if (size - now > g.free) return false;
    g.free -= size - now, now = size;
    return true;
  }
  static int Write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    const auto write = [&] {
      return Resize(As(f)->name, off + n, true, f) ? F<&M::xWrite>(f, buf, n, off) : SQLITE_FULL;
    };
    return Step(g.disk_full ? SQLITE_FULL : SQLITE_IOERR_WRITE, write, 'w', As(f)->name,
                {static_cast<const char*>(buf), size_t(n)}, off);
  }
  static int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    const auto truncate = [&] {
      Resize(As(f)->name, size, false, f);
      return F<&M::xTruncate>(f, size);
    };
    return Step(g.disk_full ? SQLITE_FULL : SQLITE_IOERR_TRUNCATE, truncate, 't', As(f)->name, {},
                size);
  }
  static int Sync(sqlite3_file* f, int flags) {
    return Step(
        SQLITE_IOERR_FSYNC, [&] { return F<&M::xSync>(f, flags); }, 's', As(f)->name);
  }
  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out) {
    // clang-format off
    static const sqlite3_io_methods methods = {3, F<&M::xClose>, F<&M::xRead>, Write,
        Truncate, Sync, F<&M::xFileSize>, F<&M::xLock>, F<&M::xUnlock>,
        F<&M::xCheckReservedLock>, F<&M::xFileControl>, F<&M::xSectorSize>,
        F<&M::xDeviceCharacteristics>, F<&M::xShmMap>, F<&M::xShmLock>,
        F<&M::xShmBarrier>, F<&M::xShmUnmap>, F<&M::xFetch>, F<&M::xUnfetch>};
    // clang-format on
    std::memset(f, 0, size_t(g.vfs.szOsFile));
    As(f)->name = name;
    const auto open = [&] { return g.real->xOpen(g.real, name, Inner(f), flags, out); };
    // Read-only opens change nothing and are not counted.
    const int rc = flags & (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE)
                       ? Step(SQLITE_CANTOPEN, open, 'o', name, {}, 0, flags)
                       : open();
    if (rc == SQLITE_OK && Inner(f)->pMethods) f->pMethods = &methods;
    return rc;
  }
  static int Delete(sqlite3_vfs*, const char* name, int sync_dir) {
    const auto remove = [&] {
      Resize(name, 0, false);
      return g.real->xDelete(g.real, name, sync_dir);
    };
    return Step(SQLITE_IOERR_DELETE, remove, 'd', name, {}, 0, sync_dir);
  }
};

// A full disk as SQLite meets it: while a FullDisk lives, the files under `folder` can grow
// by `free` bytes in all.
struct FullDisk : FaultyVfs {
  FullDisk(std::string folder, sqlite3_int64 free) { Limit(std::move(folder), free); }
};

}  // namespace tidewell::testing
