// Writes gathered into larger ones. SQLite writes a file a page at a time; a new file filled
// from start to end, or a sort's run, then costs the kernel one call and one pass through
// its write path per page. Opened through this VFS, a file's consecutive writes are held
// in a buffer of 64 KB and written together. Everything else is the default VFS's of
// the moment, which is what a test's fault-injecting VFS stands in for.
//
// Nothing held is lost unseen: a read of it, a size change, a sync, a lock given up and
// the SQLITE_FCNTL_SYNC that every commit sends (synchronous or not) write it first, and
// their result is that write's. A write that failed fails every later call on the file.
// Journals are written as SQLite asks, so a crash finds in them what SQLite put there.
#pragma once

#include <sqlite3.h>

namespace tidewell::engine::sqlite {

// The VFS's name for sqlite3_open_v2, or nullptr (the default VFS) where it could not be
// registered.
const char* GatheringVfs();

}  // namespace tidewell::engine::sqlite
