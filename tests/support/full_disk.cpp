#include "tests/support/full_disk.h"

#include <cstring>
#include <map>

namespace tidewell::testing {

namespace {

// A file under the folder is the real file system's own, opened by it; only its methods
// table is ours: the real one with the write and the truncation counted.
struct Limited {
  sqlite3_io_methods methods;
  const sqlite3_io_methods* real;
  std::string name;
};

sqlite3_vfs* g_real = nullptr;
sqlite3_vfs g_vfs;
std::string g_folder;
sqlite3_int64 g_free = 0;
std::map<sqlite3_file*, Limited> g_files;
// The size of each file under the folder as far as this disk knows it.
std::map<std::string, sqlite3_int64> g_sizes;

// Takes the growth from the free bytes, or gives a shrinking back; false when it does not fit.
bool Resize(const std::string& name, sqlite3_int64 size) {
  sqlite3_int64& now = g_sizes[name];
  if (size - now > g_free) return false;
  g_free -= size - now;
  now = size;
  return true;
}

int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  const Limited& l = g_files.at(f);
  if (offset + amount > g_sizes[l.name] && !Resize(l.name, offset + amount)) return SQLITE_FULL;
  return l.real->xWrite(f, data, amount, offset);
}

int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  const Limited& l = g_files.at(f);
  if (size < g_sizes[l.name]) Resize(l.name, size);
  return l.real->xTruncate(f, size);
}

int Close(sqlite3_file* f) {
  const sqlite3_io_methods* real = g_files.at(f).real;
  g_files.erase(f);
  return real->xClose(f);
}

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  const int rc = g_real->xOpen(g_real, name, file, flags, out_flags);
  if (rc != SQLITE_OK || !file->pMethods || !name ||
      std::strncmp(name, g_folder.c_str(), g_folder.size()) != 0) {
    return rc;
  }
  Limited& l = g_files[file];
  l.real = file->pMethods;
  l.name = name;
  l.methods = *l.real;
  l.methods.xWrite = Write;
  l.methods.xTruncate = Truncate;
  l.methods.xClose = Close;
  // What a file held before is on the disk already: only growth takes free space.
  if (g_sizes.try_emplace(name, 0).second) l.real->xFileSize(file, &g_sizes[name]);
  file->pMethods = &l.methods;
  return SQLITE_OK;
}

int Delete(sqlite3_vfs*, const char* name, int sync) {
  if (g_sizes.count(name)) Resize(name, 0);
  return g_real->xDelete(g_real, name, sync);
}

}  // namespace

FullDisk::FullDisk(std::string folder, sqlite3_int64 free) {
  g_real = sqlite3_vfs_find(nullptr);
  g_folder = std::move(folder);
  g_free = free;
  g_sizes.clear();
  g_vfs = *g_real;
  g_vfs.zName = "tidewell-full-disk";
  g_vfs.xOpen = Open;
  g_vfs.xDelete = Delete;
  sqlite3_vfs_register(&g_vfs, 1);
}

FullDisk::~FullDisk() {
  sqlite3_vfs_unregister(&g_vfs);
  sqlite3_vfs_register(g_real, 1);
}

}  // namespace tidewell::testing
