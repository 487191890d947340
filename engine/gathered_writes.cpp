#include "engine/gathered_writes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace tidewell::engine::sqlite {
namespace {

// SQLite's unix VFS writes less than 128 KB a call; 64 KB saves most of the per-page cost.
constexpr size_t kGather = size_t{64} << 10;

// The file SQLite holds: ours in front, the real VFS's file behind it in memory of its own
// (its size is that of the default VFS when the file was opened, which may be a test's).
struct Gathered {
  sqlite3_file base;
  sqlite3_file* real;
  char* buffer;        // kGather bytes once a write is held
  size_t held;         // bytes of buffer in use
  sqlite3_int64 at;    // the file offset of buffer[0]
  bool gather;         // a database or a temporary file; a journal's writes go straight on
  bool drop_on_close;  // deleted on close: what is held need never reach the disk
  int failed;          // the error of a gathered write, told again by every later call
};

Gathered* Of(sqlite3_file* f) {
  return reinterpret_cast<Gathered*>(f);
}
const sqlite3_io_methods* Real(Gathered* g) {
  return g->real->pMethods;
}

// A write that failed is not tried again: what it held is lost, and the file with it, so
// every call after that fails alike, whether or not SQLite looks at the first one's result.
int Flush(Gathered* g) {
  if (g->failed != SQLITE_OK || g->held == 0) return g->failed;
  g->failed = Real(g)->xWrite(g->real, g->buffer, static_cast<int>(g->held), g->at);
  g->held = 0;
  return g->failed;
}

bool Overlaps(const Gathered* g, sqlite3_int64 offset, int amount) {
  return g->held > 0 && offset < g->at + static_cast<sqlite3_int64>(g->held) &&
         offset + amount > g->at;
}

int Close(sqlite3_file* f) {
  Gathered* g = Of(f);
  int rc = g->drop_on_close ? SQLITE_OK : Flush(g);
  const int closed = Real(g)->xClose(g->real);
  if (rc == SQLITE_OK) rc = closed;
  std::free(g->buffer);
  sqlite3_free(g->real);
  g->base.pMethods = nullptr;
  return rc;
}

// Past the end of the file on disk may lie a gap before what is held, which the held
// writes turn into zeros: such a read is made again once they are written.
int ReadStraight(Gathered* g, void* data, int amount, sqlite3_int64 offset) {
  const int rc = Real(g)->xRead(g->real, data, amount, offset);
  if (rc != SQLITE_IOERR_SHORT_READ || g->held == 0) return rc;
  if (int flushed = Flush(g); flushed != SQLITE_OK) return flushed;
  return Real(g)->xRead(g->real, data, amount, offset);
}

int Read(sqlite3_file* f, void* data, int amount, sqlite3_int64 offset) {
  Gathered* g = Of(f);
  if (Overlaps(g, offset, amount))
    if (int rc = Flush(g); rc != SQLITE_OK) return rc;
  return ReadStraight(g, data, amount, offset);
}

int Write(sqlite3_file* f, const void* data, int amount, sqlite3_int64 offset) {
  Gathered* g = Of(f);
  const auto n = static_cast<size_t>(amount);
  if (g->failed != SQLITE_OK) return g->failed;
  if (!g->gather) return Real(g)->xWrite(g->real, data, amount, offset);
  if (g->held > 0) {
    const sqlite3_int64 end = g->at + static_cast<sqlite3_int64>(g->held);
    if (offset >= g->at && offset + amount <= end) {  // written again while held
      std::memcpy(g->buffer + (offset - g->at), data, n);
      return SQLITE_OK;
    }
    if (offset == end && g->held + n <= kGather) {
      std::memcpy(g->buffer + g->held, data, n);
      g->held += n;
      return SQLITE_OK;
    }
    if (int rc = Flush(g); rc != SQLITE_OK) return rc;
  }
  if (n * 2 > kGather) return Real(g)->xWrite(g->real, data, amount, offset);
  if (!g->buffer) g->buffer = static_cast<char*>(std::malloc(kGather));
  if (!g->buffer) return Real(g)->xWrite(g->real, data, amount, offset);
  std::memcpy(g->buffer, data, n);
  g->held = n;
  g->at = offset;
  return SQLITE_OK;
}

int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  Gathered* g = Of(f);
  if (int rc = Flush(g); rc != SQLITE_OK) return rc;
  return Real(g)->xTruncate(g->real, size);
}

int Sync(sqlite3_file* f, int flags) {
  Gathered* g = Of(f);
  if (int rc = Flush(g); rc != SQLITE_OK) return rc;
  return Real(g)->xSync(g->real, flags);
}

int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  Gathered* g = Of(f);
  const int rc = Real(g)->xFileSize(g->real, size);
  if (rc == SQLITE_OK && g->held > 0)
    *size = std::max(*size, g->at + static_cast<sqlite3_int64>(g->held));
  return rc;
}

int Lock(sqlite3_file* f, int level) {
  return Real(Of(f))->xLock(Of(f)->real, level);
}

int Unlock(sqlite3_file* f, int level) {
  Gathered* g = Of(f);
  const int flushed = Flush(g);  // whoever takes the file next reads what was written
  const int rc = Real(g)->xUnlock(g->real, level);
  return flushed != SQLITE_OK ? flushed : rc;
}

int CheckReservedLock(sqlite3_file* f, int* out) {
  return Real(Of(f))->xCheckReservedLock(Of(f)->real, out);
}

int FileControl(sqlite3_file* f, int op, void* arg) {
  Gathered* g = Of(f);
  switch (op) {
    case SQLITE_FCNTL_SIZE_HINT:  // before every batch of pages; it only reserves room
    case SQLITE_FCNTL_BUSYHANDLER:
    case SQLITE_FCNTL_PRAGMA:
    case SQLITE_FCNTL_HAS_MOVED:
    case SQLITE_FCNTL_MMAP_SIZE:
      break;
    default:  // SQLITE_FCNTL_SYNC among them, which every commit sends, synchronous or not
      if (int rc = Flush(g); rc != SQLITE_OK) return rc;
  }
  return Real(g)->xFileControl(g->real, op, arg);
}

int SectorSize(sqlite3_file* f) {
  return Real(Of(f))->xSectorSize(Of(f)->real);
}

int DeviceCharacteristics(sqlite3_file* f) {
  return Real(Of(f))->xDeviceCharacteristics(Of(f)->real);
}

int ShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
  Gathered* g = Of(f);
  if (Real(g)->iVersion < 2) return SQLITE_IOERR_SHMMAP;
  return Real(g)->xShmMap(g->real, region, size, extend, out);
}

int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  Gathered* g = Of(f);
  if (Real(g)->iVersion < 2) return SQLITE_IOERR_SHMLOCK;
  return Real(g)->xShmLock(g->real, offset, n, flags);
}

void ShmBarrier(sqlite3_file* f) {
  Gathered* g = Of(f);
  if (Real(g)->iVersion >= 2) Real(g)->xShmBarrier(g->real);
}

int ShmUnmap(sqlite3_file* f, int delete_flag) {
  Gathered* g = Of(f);
  if (Real(g)->iVersion < 2) return SQLITE_OK;
  return Real(g)->xShmUnmap(g->real, delete_flag);
}

// A mapped page must show what was written to it.
int Fetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
  Gathered* g = Of(f);
  *out = nullptr;
  if (Real(g)->iVersion < 3) return SQLITE_OK;
  if (Overlaps(g, offset, amount))
    if (int rc = Flush(g); rc != SQLITE_OK) return rc;
  return Real(g)->xFetch(g->real, offset, amount, out);
}

int Unfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
  Gathered* g = Of(f);
  if (Real(g)->iVersion < 3) return SQLITE_OK;
  return Real(g)->xUnfetch(g->real, offset, page);
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

// The default VFS of the moment; this one is never made the default.
sqlite3_vfs* Under() {
  return sqlite3_vfs_find(nullptr);
}

int Open(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* out_flags) {
  Gathered* g = Of(file);
  *g = {};
  sqlite3_vfs* under = Under();
  g->real = static_cast<sqlite3_file*>(sqlite3_malloc(under->szOsFile));
  if (!g->real) return SQLITE_NOMEM;
  std::memset(g->real, 0, static_cast<size_t>(under->szOsFile));
  const int rc = under->xOpen(under, name, g->real, flags, out_flags);
  if (rc != SQLITE_OK || !g->real->pMethods) {
    if (g->real->pMethods) g->real->pMethods->xClose(g->real);
    sqlite3_free(g->real);
    g->real = nullptr;
    return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
  }
  // A rollback journal must hold a page before the database is written over it: one that
  // outlives the process (a crash) is written as SQLite asks.
  g->gather =
      (flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_SUPER_JOURNAL | SQLITE_OPEN_WAL)) == 0;
  g->drop_on_close = (flags & SQLITE_OPEN_DELETEONCLOSE) != 0;
  g->base.pMethods = &kMethods;
  return SQLITE_OK;
}

int Delete(sqlite3_vfs*, const char* name, int sync) {
  return Under()->xDelete(Under(), name, sync);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return Under()->xAccess(Under(), name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
  return Under()->xFullPathname(Under(), name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) {
  return Under()->xDlOpen(Under(), name);
}
void DlError(sqlite3_vfs*, int n, char* out) {
  Under()->xDlError(Under(), n, out);
}
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return Under()->xDlSym(Under(), handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) {
  Under()->xDlClose(Under(), handle);
}
int Randomness(sqlite3_vfs*, int n, char* out) {
  return Under()->xRandomness(Under(), n, out);
}
int Sleep(sqlite3_vfs*, int micros) {
  return Under()->xSleep(Under(), micros);
}
int CurrentTime(sqlite3_vfs*, double* out) {
  return Under()->xCurrentTime(Under(), out);
}
int GetLastError(sqlite3_vfs*, int n, char* out) {
  return Under()->xGetLastError ? Under()->xGetLastError(Under(), n, out) : 0;
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  sqlite3_vfs* under = Under();
  if (under->iVersion >= 2 && under->xCurrentTimeInt64) return under->xCurrentTimeInt64(under, out);
  double days = 0;
  const int rc = under->xCurrentTime(under, &days);
  *out = static_cast<sqlite3_int64>(days * 86400000.0);
  return rc;
}

}  // namespace

const char* GatheringVfs() {
  static sqlite3_vfs vfs;
  static const char* name = [] {
    sqlite3_vfs* under = Under();
    if (!under) return static_cast<const char*>(nullptr);
    vfs = {};
    vfs.iVersion = 2;
    vfs.szOsFile = sizeof(Gathered);
    vfs.mxPathname = under->mxPathname;
    vfs.zName = "tidewell-gathered";
    vfs.xOpen = Open;
    vfs.xDelete = Delete;
    vfs.xAccess = Access;
    vfs.xFullPathname = FullPathname;
    vfs.xDlOpen = DlOpen;
    vfs.xDlError = DlError;
    vfs.xDlSym = DlSym;
    vfs.xDlClose = DlClose;
    vfs.xRandomness = Randomness;
    vfs.xSleep = Sleep;
    vfs.xCurrentTime = CurrentTime;
    vfs.xGetLastError = GetLastError;
    vfs.xCurrentTimeInt64 = CurrentTimeInt64;
    return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK ? vfs.zName : nullptr;
  }();
  return name;
}

}  // namespace tidewell::engine::sqlite
