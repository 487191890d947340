// Scratch folders and deliberately damaged files for tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace tidewell::testing {

// A fresh folder under the system's temporary folder (or `parent`), removed with everything
// in it.
class TempDir {
 public:
  explicit TempDir(const std::filesystem::path& parent = std::filesystem::temp_directory_path());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadAll(const std::string& path);
// Runs `sql` with plain SQLite, the file made when there is none; throws when it fails.
void Sql(const std::string& path, const std::string& sql);
void WriteAll(const std::string& path, const std::string& bytes);

// The 4-byte big-endian number at `offset`, as the file format stores them.
uint32_t BigEndian32(const std::string& bytes, size_t offset);
// Page numbers are 1-based as in the SQLite file format; page 1 holds the header.
uint32_t PageSizeOf(const std::string& db_path);
void FillPage(const std::string& db_path, uint32_t page, uint8_t byte);
void OverwriteAt(const std::string& path, uint64_t offset, const std::string& bytes);
// Root page of a table or index, read with SQLite from the catalog.
uint32_t RootPageOf(const std::string& db_path, const std::string& name);

}  // namespace tidewell::testing
