#include "tests/whole/faulty_vfs.h"

#include <sqlite3.h>

#include <cstring>

namespace tidewell::whole {
namespace {

// One instance per process at a time, as the default VFS is per process too.
struct State {
  sqlite3_vfs* real = nullptr;
  sqlite3_vfs vfs{};
  int count = 0;
  int fail_at = 0;
  bool disk_full = false;
  std::vector<std::string> log;
  VfsObserver* observer = nullptr;
} g;

// Counts one operation; returns the error it must fail with, or SQLITE_OK.
int Step(const char* what, const char* name, int io_error) {
  ++g.count;
  g.log.push_back(std::string(what) + " " + (name ? name : "(temp)"));
  if (g.fail_at == 0 || g.count != g.fail_at) return SQLITE_OK;
  return io_error;
}

struct File {
  sqlite3_file base;  // our methods
  const char* name;
  sqlite3_file* inner() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

int Close(sqlite3_file* f) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods ? file->inner()->pMethods->xClose(file->inner()) : SQLITE_OK;
}
int Read(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xRead(file->inner(), buf, n, off);
}
int Write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
  auto* file = reinterpret_cast<File*>(f);
  if (int rc = Step("write", file->name, g.disk_full ? SQLITE_FULL : SQLITE_IOERR_WRITE)) return rc;
  const int rc = file->inner()->pMethods->xWrite(file->inner(), buf, n, off);
  if (rc == SQLITE_OK && g.observer) g.observer->Wrote(file->name, buf, n, off);
  return rc;
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  auto* file = reinterpret_cast<File*>(f);
  if (int rc = Step("truncate", file->name, g.disk_full ? SQLITE_FULL : SQLITE_IOERR_TRUNCATE))
    return rc;
  const int rc = file->inner()->pMethods->xTruncate(file->inner(), size);
  if (rc == SQLITE_OK && g.observer) g.observer->Truncated(file->name, size);
  return rc;
}
int Sync(sqlite3_file* f, int flags) {
  auto* file = reinterpret_cast<File*>(f);
  if (int rc = Step("sync", file->name, SQLITE_IOERR_FSYNC)) return rc;
  const int rc = file->inner()->pMethods->xSync(file->inner(), flags);
  if (rc == SQLITE_OK && g.observer) g.observer->Synced(file->name);
  return rc;
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xFileSize(file->inner(), size);
}
int Lock(sqlite3_file* f, int level) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xLock(file->inner(), level);
}
int Unlock(sqlite3_file* f, int level) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xUnlock(file->inner(), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xCheckReservedLock(file->inner(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xFileControl(file->inner(), op, arg);
}
int SectorSize(sqlite3_file* f) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xSectorSize(file->inner());
}
int DeviceCharacteristics(sqlite3_file* f) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xDeviceCharacteristics(file->inner());
}
int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xShmMap(file->inner(), region, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xShmLock(file->inner(), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
  auto* file = reinterpret_cast<File*>(f);
  file->inner()->pMethods->xShmBarrier(file->inner());
}
int ShmUnmap(sqlite3_file* f, int del) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xShmUnmap(file->inner(), del);
}
int Fetch(sqlite3_file* f, sqlite3_int64 off, int n, void** out) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xFetch(file->inner(), off, n, out);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
  auto* file = reinterpret_cast<File*>(f);
  return file->inner()->pMethods->xUnfetch(file->inner(), off, p);
}

const sqlite3_io_methods kMethods = {3,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     Fetch,
                                     Unfetch};

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* out_flags) {
  auto* file = reinterpret_cast<File*>(f);
  file->base.pMethods = nullptr;
  file->name = name;
  std::memset(file->inner(), 0, static_cast<size_t>(g.real->szOsFile));
  // Opens that may create or write a file are counted; read-only opens change nothing.
  if (flags & (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE))
    if (int rc = Step("open", name, SQLITE_CANTOPEN)) return rc;
  int rc = g.real->xOpen(g.real, name, file->inner(), flags, out_flags);
  if (file->inner()->pMethods) file->base.pMethods = &kMethods;
  if (rc == SQLITE_OK && g.observer) g.observer->Opened(name, flags);
  return rc;
}
int Delete(sqlite3_vfs*, const char* name, int sync_dir) {
  if (int rc = Step("delete", name, SQLITE_IOERR_DELETE)) return rc;
  const int rc = g.real->xDelete(g.real, name, sync_dir);
  if (rc == SQLITE_OK && g.observer) g.observer->Deleted(name, sync_dir != 0);
  return rc;
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return g.real->xAccess(g.real, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return g.real->xFullPathname(g.real, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) {
  return g.real->xDlOpen(g.real, name);
}
void DlError(sqlite3_vfs*, int n, char* out) {
  g.real->xDlError(g.real, n, out);
}
void (*DlSym(sqlite3_vfs*, void* h, const char* sym))(void) {
  return g.real->xDlSym(g.real, h, sym);
}
void DlClose(sqlite3_vfs*, void* h) {
  g.real->xDlClose(g.real, h);
}
int Randomness(sqlite3_vfs*, int n, char* out) {
  return g.real->xRandomness(g.real, n, out);
}
int Sleep(sqlite3_vfs*, int us) {
  return g.real->xSleep(g.real, us);
}
int CurrentTime(sqlite3_vfs*, double* out) {
  return g.real->xCurrentTime(g.real, out);
}
int GetLastError(sqlite3_vfs*, int n, char* out) {
  return g.real->xGetLastError ? g.real->xGetLastError(g.real, n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return g.real->xCurrentTimeInt64(g.real, out);
}

}  // namespace

FaultyVfs::FaultyVfs() {
  sqlite3_initialize();
  g = State{};
  g.real = sqlite3_vfs_find(nullptr);
  g.vfs.iVersion = 2;
  g.vfs.szOsFile = static_cast<int>(sizeof(File)) + g.real->szOsFile;
  g.vfs.mxPathname = g.real->mxPathname;
  g.vfs.zName = "tidewell-faulty";
  g.vfs.xOpen = Open;
  g.vfs.xDelete = Delete;
  g.vfs.xAccess = Access;
  g.vfs.xFullPathname = FullPathname;
  g.vfs.xDlOpen = DlOpen;
  g.vfs.xDlError = DlError;
  g.vfs.xDlSym = DlSym;
  g.vfs.xDlClose = DlClose;
  g.vfs.xRandomness = Randomness;
  g.vfs.xSleep = Sleep;
  g.vfs.xCurrentTime = CurrentTime;
  g.vfs.xGetLastError = GetLastError;
  g.vfs.xCurrentTimeInt64 = CurrentTimeInt64;
  sqlite3_vfs_register(&g.vfs, 1);
}

FaultyVfs::~FaultyVfs() {
  sqlite3_vfs_unregister(&g.vfs);
  sqlite3_vfs_register(g.real, 1);
}

void FaultyVfs::FailAt(int k, bool disk_full) {
  g.count = 0;
  g.log.clear();
  g.fail_at = k;
  g.disk_full = disk_full;
}

int FaultyVfs::Count() const {
  return g.count;
}

void FaultyVfs::Observe(VfsObserver* observer) {
  g.observer = observer;
}

const std::vector<std::string>& FaultyVfs::Log() const {
  return g.log;
}

}  // namespace tidewell::whole
