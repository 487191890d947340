#include "engine/sqlite_support.h"

#include <algorithm>
#include <cctype>
#include <thread>

namespace tidewell::engine::sqlite {

std::string QuoteId(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string QuoteText(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

int32_t MapResult(int rc, std::string_view message, int32_t damaged) {
  switch (rc & 0xff) {
    case SQLITE_NOTADB:
      return kErrNotADatabase;
    case SQLITE_CORRUPT:
      return damaged;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return kErrFileInUse;
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return kErrNoPermission;
    case SQLITE_IOERR:
    case SQLITE_FULL:
      return kErrDiskIo;
    case SQLITE_CANTOPEN:
      return kErrFileNotFound;
    case SQLITE_CONSTRAINT:
      return kErrDuplicateKey;
    default:
      break;
  }
  if (message.find("no such table") != std::string_view::npos) return kErrNoSuchTable;
  if (message.find("syntax error") != std::string_view::npos ||
      message.find("incomplete input") != std::string_view::npos ||
      message.find("unrecognized token") != std::string_view::npos)
    return kErrSyntax;
  if (message.find("already exists") != std::string_view::npos) return kErrTableExists;
  return kErrSqlite;
}

void RaiseResult(sqlite3* db, int rc, const std::string& what, int32_t damaged) {
  std::string message = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  Raise(MapResult(rc, message, damaged), what + ": " + message);
}

Statement::Statement(sqlite3* db, std::string_view sql) {
  rc_ = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &st_, nullptr);
  if (rc_ != SQLITE_OK) {
    sqlite3_finalize(st_);
    st_ = nullptr;
    RaiseResult(db, rc_, "Cannot run \"" + std::string(sql) + "\"");
  }
}

Statement Statement::TryPrepare(sqlite3* db, std::string_view sql) {
  Statement s;
  s.rc_ = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &s.st_, nullptr);
  if (s.rc_ != SQLITE_OK) {
    sqlite3_finalize(s.st_);
    s.st_ = nullptr;
  }
  return s;
}

Statement::Statement(Statement&& other) noexcept : st_(other.st_), rc_(other.rc_) {
  other.st_ = nullptr;
}

Statement::~Statement() {
  sqlite3_finalize(st_);
}

Statement& Statement::Bind(int i, std::string_view text) {
  sqlite3_bind_text(st_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  return *this;
}

Statement& Statement::Bind(int i, int64_t value) {
  sqlite3_bind_int64(st_, i, value);
  return *this;
}

int Statement::Step() {
  rc_ = sqlite3_step(st_);
  return rc_;
}

void Statement::Reset() {
  sqlite3_reset(st_);
  rc_ = SQLITE_OK;
}

std::string Statement::Text(int column) const {
  const unsigned char* t = sqlite3_column_text(st_, column);
  if (t == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(t),
                     static_cast<size_t>(sqlite3_column_bytes(st_, column)));
}

int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(st_, column);
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(st_, column) == SQLITE_NULL;
}

int Exec(sqlite3* db, const std::string& sql) {
  return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
}

unsigned SortThreads() {
  return std::clamp(2 * std::thread::hardware_concurrency(), 1u, 4u);
}

void SortOnAllCores(sqlite3* db) {
  Exec(db, "PRAGMA threads = " + std::to_string(SortThreads()));
}

}  // namespace tidewell::engine::sqlite
