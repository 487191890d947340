// Small helpers shared by the SQLite backend and its salvage: statements that finalize
// themselves, quoting, and the mapping of SQLite's result codes onto our error numbers.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/errors.h"

namespace tidewell::engine::sqlite {

// "name" with inner quotes doubled: any object name is safe in a statement this way.
std::string QuoteId(std::string_view name);
// 'text' with inner quotes doubled.
std::string QuoteText(std::string_view text);
bool SameName(std::string_view a, std::string_view b);
std::string Upper(std::string_view s);

// Our number for a SQLite result code; `damaged` is what corruption means where it arose
// (3049 while opening, 3112 while reading a table, ...).
int32_t MapResult(int rc, std::string_view message, int32_t damaged);
[[noreturn]] void RaiseResult(sqlite3* db, int rc, const std::string& what,
                              int32_t damaged = kErrNotADatabase);

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);  // throws on a prepare error
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Prepares without throwing; ok() tells, rc() says why not.
  static Statement TryPrepare(sqlite3* db, std::string_view sql);
  Statement(Statement&& other) noexcept;

  bool ok() const { return st_ != nullptr; }
  int rc() const { return rc_; }
  sqlite3_stmt* get() const { return st_; }

  Statement& Bind(int i, std::string_view text);
  Statement& Bind(int i, int64_t value);
  // SQLITE_ROW, SQLITE_DONE or an error code.
  int Step();
  void Reset();
  std::string Text(int column) const;
  int64_t Int(int column) const;
  bool IsNull(int column) const;

 private:
  Statement() = default;
  sqlite3_stmt* st_ = nullptr;
  int rc_ = SQLITE_OK;
};

// Runs statements that return no rows; returns the result code.
int Exec(sqlite3* db, const std::string& sql);

// The threads SQLite sorts on when it builds an index: two a core, at most four, since the
// thread that feeds them and writes the index leaves a core idle while it waits for one.
unsigned SortThreads();
// Lets SQLite sort on that many threads.
void SortOnAllCores(sqlite3* db);

}  // namespace tidewell::engine::sqlite
