#include "tests/support/files.h"

#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "tests/support/queries.h"

namespace tidewell::testing {

TempDir::TempDir(const std::filesystem::path& parent) {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    auto candidate =
        parent / ("tidewell-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
    if (std::filesystem::create_directory(candidate)) {
      path_ = candidate;
      return;
    }
  }
  throw std::runtime_error("cannot make a scratch folder");
}

TempDir::~TempDir() {
  std::error_code ec;
  // A test may have made parts read-only; give write access back before removing.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void Sql(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  char* err = nullptr;
  const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  const std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  if (rc != SQLITE_OK) throw std::runtime_error("test SQL failed: " + msg);
}

uint32_t BigEndian32(const std::string& bytes, size_t offset) {
  uint32_t n = 0;
  for (size_t i = offset; i < offset + 4; ++i) n = n << 8 | uint8_t(bytes.at(i));
  return n;
}

uint32_t PageSizeOf(const std::string& db_path) {
  std::string head = ReadAll(db_path).substr(0, 100);
  if (head.size() < 18) throw std::runtime_error("not a database: " + db_path);
  uint32_t size = (static_cast<uint8_t>(head[16]) << 8) | static_cast<uint8_t>(head[17]);
  return size == 1 ? 65536 : size;
}

void OverwriteAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void FillPage(const std::string& db_path, uint32_t page, uint8_t byte) {
  uint32_t size = PageSizeOf(db_path);
  OverwriteAt(db_path, static_cast<uint64_t>(page - 1) * size,
              std::string(size, static_cast<char>(byte)));
}

uint32_t RootPageOf(const std::string& db_path, const std::string& name) {
  const int64_t root =
      QueryInt(db_path, "SELECT rootpage FROM sqlite_schema WHERE name = '" + name + "'");
  if (root <= 0) throw std::runtime_error("no root page for " + name);
  return uint32_t(root);
}

}  // namespace tidewell::testing
