#include "engine/gathered_writes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/faulty_vfs.h"
#include "tests/support/files.h"

namespace tidewell::engine::sqlite {
namespace {

using tidewell::testing::FullDisk;
using tidewell::testing::ReadAll;
using tidewell::testing::TempDir;

class VfsFile {
 public:
  VfsFile(sqlite3_vfs* vfs, const std::string& path)
      : memory_(static_cast<size_t>(vfs->szOsFile)), path_(path) {
    file_ = reinterpret_cast<sqlite3_file*>(memory_.data());
    int out = 0;
    ok_ = vfs->xOpen(vfs, path_.c_str(), file_,
                     SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_MAIN_DB,
                     &out) == SQLITE_OK;
  }
  ~VfsFile() { Close(); }
  bool ok() const { return ok_; }
  int Write(const std::string& data, sqlite3_int64 at) {
    return file_->pMethods->xWrite(file_, data.data(), static_cast<int>(data.size()), at);
  }
  std::pair<int, std::string> Read(int amount, sqlite3_int64 at) {
    std::string out(static_cast<size_t>(amount), '?');
    const int rc = file_->pMethods->xRead(file_, out.data(), amount, at);
    return {rc, out};
  }
  sqlite3_int64 Size() {
    sqlite3_int64 size = -1;
    file_->pMethods->xFileSize(file_, &size);
    return size;
  }
  int Truncate(sqlite3_int64 size) { return file_->pMethods->xTruncate(file_, size); }
  int Sync() { return file_->pMethods->xSync(file_, SQLITE_SYNC_NORMAL); }
  void Close() {
    if (ok_ && file_->pMethods) file_->pMethods->xClose(file_);
    ok_ = false;
  }

 private:
  std::vector<char> memory_;
  std::string path_;
  sqlite3_file* file_ = nullptr;
  bool ok_ = false;
};

// Through the gathering VFS a file reads, sizes and ends up byte for byte as one written
// straight: pages appended (most of what SQLite does), writes over what is held, before it
// and across it, writes larger than the buffer, reads across what is held and past the end
// of the file on disk, runs of reads with writes just ahead of them, truncations and syncs,
// in a random order.
TEST(GatheredWrites, AFileEndsUpAsOneWrittenStraight) {
  const char* name = GatheringVfs();
  ASSERT_NE(name, nullptr);
  TempDir dir;
  VfsFile straight(sqlite3_vfs_find(nullptr), dir.File("straight"));
  VfsFile gathered(sqlite3_vfs_find(name), dir.File("gathered"));
  ASSERT_TRUE(straight.ok() && gathered.ok());

  // First as a scan meets it: a page held just ahead of a run of reads.
  const std::string old_pages(64 << 10, 'o'), page(4096, 'n');
  ASSERT_EQ(straight.Write(old_pages, 0), SQLITE_OK);
  ASSERT_EQ(gathered.Write(old_pages, 0), SQLITE_OK);
  ASSERT_EQ(gathered.Write(page, 8192), straight.Write(page, 8192));
  for (sqlite3_int64 at = 0; at < 16384; at += 4096)
    ASSERT_EQ(gathered.Read(4096, at), straight.Read(4096, at)) << at;

  std::mt19937 random(20261206);
  auto below = [&](sqlite3_int64 n) {
    return std::uniform_int_distribution<sqlite3_int64>(0,
                                                        std::max<sqlite3_int64>(n, 1) - 1)(random);
  };
  sqlite3_int64 end = 64 << 10;  // where the next appended page goes
  sqlite3_int64 next_read = 0;   // where a read that goes on from the last one starts
  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE(step);
    const sqlite3_int64 size = straight.Size();
    const auto kind = below(100);
    if (kind < 55) {  // appended: a page, a short record, or more than the buffer holds
      static constexpr int kLengths[] = {4096, 4096, 4096, 512, 100, 70000};
      const std::string data(static_cast<size_t>(kLengths[below(6)]),
                             static_cast<char>('a' + step % 26));
      ASSERT_EQ(gathered.Write(data, end), straight.Write(data, end));
      end += static_cast<sqlite3_int64>(data.size());
    } else if (kind < 72) {  // anywhere, over or past the end, or just ahead of a run of reads
      const std::string data(static_cast<size_t>(1 + below(9000)),
                             static_cast<char>('A' + step % 26));
      const sqlite3_int64 at = kind < 64 ? below(size + 8192) : next_read + below(60000);
      ASSERT_EQ(gathered.Write(data, at), straight.Write(data, at));
    } else if (kind < 90) {  // on from the last read half of the time, as a scan reads
      const int amount = kind < 81 ? 4096 : static_cast<int>(1 + below(20000));
      const sqlite3_int64 at = kind < 81 ? next_read : below(size + 4096);
      ASSERT_EQ(gathered.Read(amount, at), straight.Read(amount, at)) << at << " " << amount;
      next_read = at + amount;
    } else if (kind < 96) {
      ASSERT_EQ(gathered.Size(), size);
    } else if (kind < 98) {
      const sqlite3_int64 to = below(size + 1);
      ASSERT_EQ(gathered.Truncate(to), straight.Truncate(to));
      end = std::min(end, to);
    } else {
      ASSERT_EQ(gathered.Sync(), straight.Sync());
    }
  }
  gathered.Close();
  straight.Close();
  EXPECT_EQ(ReadAll(dir.File("gathered")), ReadAll(dir.File("straight")));
}

// A gathered write the disk refuses fails the call that made it, and every call after it
// on the file: SQLite does not look at what every call returns, and the pages it held are
// gone.
TEST(GatheredWrites, AFailedWriteFailsEveryLaterCall) {
  TempDir dir;
  FullDisk full(dir.File(""), 100 << 10);
  VfsFile gathered(sqlite3_vfs_find(GatheringVfs()), dir.File("gathered"));
  ASSERT_TRUE(gathered.ok());
  const std::string page(4096, 'p');
  int rc = SQLITE_OK;
  sqlite3_int64 at = 0;
  for (; at < (1 << 20) && rc == SQLITE_OK; at += 4096) rc = gathered.Write(page, at);
  EXPECT_EQ(rc, SQLITE_FULL);
  EXPECT_LT(at, 200 << 10);
  EXPECT_EQ(gathered.Sync(), SQLITE_FULL);
  EXPECT_EQ(gathered.Write(page, 0), SQLITE_FULL);
  EXPECT_EQ(gathered.Truncate(0), SQLITE_FULL);
}

}  // namespace
}  // namespace tidewell::engine::sqlite
