// Telling whether someone wrote to a database since we last looked.
#pragma once

#include <string>

namespace tidewell::engine {

// What a commit to the file changes: SQLite's file change counter (bytes 24 to 27 of the
// header) and the file's size and modification time. Empty when the file cannot be read.
//
// A crawler between two transactions holds no lock, so no lock test can see it; a swap
// that puts a copy in the database's place compares a stamp taken before the copy began
// with one taken under its exclusive guard (when no one can commit any more), and leaves
// the database in place when they differ. The descriptor is closed through the engine,
// because closing a descriptor of a file drops every POSIX lock this process holds on it,
// the guard's SQLite lock included.
std::string ChangeStamp(const std::string& path);

// The stamp of the database once a hot journal left beside it has been rolled back (see
// engine::BringToCommittedState): the stamp the work that follows will find.
std::string CommittedStamp(const std::string& path);

}  // namespace tidewell::engine
