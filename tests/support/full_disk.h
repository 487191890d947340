// A full disk as SQLite meets it: while a FullDisk lives, every SQLite connection opened
// without naming a file system goes through one in which the files under `folder` can grow
// by `free` bytes in all (what a truncation or a deletion gives back counts again). A write
// that would take more fails as on a full disk (SQLITE_FULL).
#pragma once

#include <sqlite3.h>

#include <string>

namespace tidewell::testing {

class FullDisk {
 public:
  FullDisk(std::string folder, sqlite3_int64 free);
  ~FullDisk();
  FullDisk(const FullDisk&) = delete;
  FullDisk& operator=(const FullDisk&) = delete;
};

}  // namespace tidewell::testing
