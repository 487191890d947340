#include "tests/support/full_disk.h"

#include <cstring>
#include <map>

namespace tidewell::testing {

namespace {

struct Limited {
  sqlite3_file base;
  sqlite3_file* real;  // right after this struct
  bool limited;
  std::string* name;  // in g_sizes
};

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
std::string g_folder;
sqlite3_int64 g_limit = 0;
// The size of each file under the folder, and their sum: the disk's used bytes.
std::map<std::string, sqlite3_int64> g_sizes;
sqlite3_int64 g_used = 0;

void Resize(const std::string& name, sqlite3_int64 size) {
  sqlite3_int64& now = g_sizes[name];
  g_used += size - now;
  now = size;
}
sqlite3_io_methods g_methods;

sqlite3_file* Real(sqlite3_file* f) {
  return reinterpret_cast<Limited*>(f)->real;
}

int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  auto* l = reinterpret_cast<Limited*>(f);
  if (l->limited) {
    const sqlite3_int64 size = g_sizes[*l->name];
    const sqlite3_int64 end = offset + amount;
    if (end > size && g_used + (end - size) > g_limit) return SQLITE_FULL;
    if (end > size) Resize(*l->name, end);
  }
  return Real(f)->pMethods->xWrite(Real(f), data, amount, offset);
}

int Close(sqlite3_file* f) {
  const int rc = Real(f)->pMethods ? Real(f)->pMethods->xClose(Real(f)) : SQLITE_OK;
  f->pMethods = nullptr;
  return rc;
}

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  auto* l = reinterpret_cast<Limited*>(file);
  l->real = reinterpret_cast<sqlite3_file*>(l + 1);
  l->limited = name && std::strncmp(name, g_folder.c_str(), g_folder.size()) == 0;
  const int rc = g_real->xOpen(g_real, name, l->real, flags, out_flags);
  if (rc != SQLITE_OK || !l->real->pMethods) {
    file->pMethods = nullptr;
    return rc;
  }
  if (l->limited) {
    auto [it, first] = g_sizes.try_emplace(name, 0);
    l->name = const_cast<std::string*>(&it->first);
    // What a file held before is on the disk already: only growth takes free space.
    if (first) l->real->pMethods->xFileSize(l->real, &it->second);
  }
  // Every method but the write and the close goes straight to the real file.
  const sqlite3_io_methods* m = l->real->pMethods;
  g_methods = *m;
  g_methods.xWrite = Write;
  g_methods.xClose = Close;
  g_methods.xRead = [](sqlite3_file* f, void* d, int n, sqlite3_int64 o) {
    return Real(f)->pMethods->xRead(Real(f), d, n, o);
  };
  g_methods.xTruncate = [](sqlite3_file* f, sqlite3_int64 size) {
    auto* lf = reinterpret_cast<Limited*>(f);
    if (lf->limited && size < g_sizes[*lf->name]) Resize(*lf->name, size);
    return Real(f)->pMethods->xTruncate(Real(f), size);
  };
  g_methods.xSync = [](sqlite3_file* f, int fl) { return Real(f)->pMethods->xSync(Real(f), fl); };
  g_methods.xFileSize = [](sqlite3_file* f, sqlite3_int64* s) {
    return Real(f)->pMethods->xFileSize(Real(f), s);
  };
  g_methods.xLock = [](sqlite3_file* f, int k) { return Real(f)->pMethods->xLock(Real(f), k); };
  g_methods.xUnlock = [](sqlite3_file* f, int k) { return Real(f)->pMethods->xUnlock(Real(f), k); };
  g_methods.xCheckReservedLock = [](sqlite3_file* f, int* r) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), r);
  };
  g_methods.xFileControl = [](sqlite3_file* f, int op, void* a) {
    return Real(f)->pMethods->xFileControl(Real(f), op, a);
  };
  g_methods.xSectorSize = [](sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); };
  g_methods.xDeviceCharacteristics = [](sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
  };
  // No shared memory and no memory mapping: the files go through the write above.
  g_methods.iVersion = 1;
  g_methods.xShmMap = nullptr;
  g_methods.xShmLock = nullptr;
  g_methods.xShmBarrier = nullptr;
  g_methods.xShmUnmap = nullptr;
  g_methods.xFetch = nullptr;
  g_methods.xUnfetch = nullptr;
  file->pMethods = &g_methods;
  return SQLITE_OK;
}

}  // namespace

FullDisk::FullDisk(std::string folder, sqlite3_int64 free) {
  g_real = sqlite3_vfs_find(nullptr);
  g_folder = std::move(folder);
  g_limit = free;
  g_vfs = *g_real;
  g_vfs.zName = "tidewell-full-disk";
  g_vfs.szOsFile = static_cast<int>(sizeof(Limited)) + g_real->szOsFile;
  g_vfs.xOpen = Open;
  g_vfs.xDelete = [](sqlite3_vfs*, const char* name, int sync) {
    if (auto it = g_sizes.find(name); it != g_sizes.end()) Resize(it->first, 0);
    return g_real->xDelete(g_real, name, sync);
  };
  g_sizes.clear();
  g_used = 0;
  sqlite3_vfs_register(&g_vfs, 1);
}

FullDisk::~FullDisk() {
  sqlite3_vfs_unregister(&g_vfs);
  sqlite3_vfs_register(g_real, 1);
}

}  // namespace tidewell::testing
