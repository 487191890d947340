// A real full disk: a small tmpfs that holds the database but not its compacted copy beside
// it. The original must come through byte for byte and the next run, with room, cleans up.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tests/support/files.h"
#include "tests/whole/whole_support.h"
#include "tools/sample_data.h"

namespace tidewell::whole {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedHost;
using testing::TempDir;

class FullDisk : public ::testing::TestWithParam<Workflow> {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    // Made outside first, to learn how big the compacted copy is.
    files = {scratch.File("Vardlink.mdb"), scratch.File("Vardlink-Queue.mdb"),
             scratch.File("Vardlink_Default.mdb")};
    sample::SampleOptions o;
    o.size_mb = 6;
    sample::MakeSampleDatabase(files.db, o);
    sample::MakeQueueDatabase(files.queue);
    sample::MakeTemplateDatabase(files.tmpl);
    sqlite3* conn = nullptr;
    const std::string compacted = scratch.File("compacted.mdb");
    ASSERT_EQ(sqlite3_open(files.db.c_str(), &conn), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(conn, ("VACUUM INTO '" + compacted + "'").c_str(), nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(conn);
    // Room for both databases and half of the compacted copy, plus a little for the folder.
    const uintmax_t size = fs::file_size(files.db) + fs::file_size(files.queue) +
                           fs::file_size(compacted) / 2 + 64 * 1024;
    room_after = (fs::file_size(files.db) + fs::file_size(compacted)) * 3;
    mount_point = scratch.File("disk");
    fs::create_directory(mount_point);
    const std::string options = "size=" + std::to_string(size / 4096 * 4096);
    if (::mount("tidewell-full", mount_point.c_str(), "tmpfs", 0, options.c_str()) != 0)
      GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    mounted = true;
    db = mount_point + "/Vardlink.mdb";
    queue = mount_point + "/Vardlink-Queue.mdb";
    CopyFiles({files.db, files.queue}, {db, queue});
  }
  void TearDown() override {
    if (mounted) ::umount2(mount_point.c_str(), MNT_DETACH);
  }

  TempDir scratch;
  std::string mount_point, db, queue;
  SampleFiles files;
  bool mounted = false;
  uintmax_t room_after = 0;
};

TEST_P(FullDisk, OriginalUntouchedAndLeftoversCleanedOnceThereIsRoom) {
  const std::string before = testing::ReadAll(db);
  const Contents rows = *ReadContents(db);
  ScriptedHost host;
  EXPECT_EQ(RunWorkflow(GetParam(), host, db, files.tmpl), Outcome::kDone);
  std::string all;
  for (const auto& b : BoxTexts(host)) all += b + "\n";
  EXPECT_TRUE(testing::ReadAll(db) == before) << "the original changed on a full disk\n" << all;
  EXPECT_TRUE(HoldsAll(db, rows));
  // Start and Compress call the compaction without error boxes, so the full disk is handled
  // silently: the closing message follows and no half-written copy is left.
  EXPECT_EQ(all.find("No space left"), std::string::npos) << all;
  EXPECT_EQ(BoxTexts(host).back(), ClosingMessage(GetParam()));
  EXPECT_FALSE(fs::exists(mount_point + "/Vardlink.BAK")) << "a backup of a swap that never was";
  // The queue database is small and fits: it is treated as usual.
  EXPECT_EQ(IntegrityOf(queue), "ok");
  std::printf("full disk, %s: left in the file system: %s", Name(GetParam()),
              Listing(mount_point).c_str());

  // Room again: the next run does the job and leaves only the documented files.
  const std::string bigger = "size=" + std::to_string(room_after / 4096 * 4096);
  ASSERT_EQ(::mount("tidewell-full", mount_point.c_str(), "tmpfs", MS_REMOUNT, bigger.c_str()), 0);
  ScriptedHost again;
  EXPECT_EQ(RunWorkflow(GetParam(), again, db, files.tmpl), Outcome::kDone);
  EXPECT_TRUE(HoldsAll(db, rows));
  EXPECT_FALSE(testing::ReadAll(db) == before) << "with room the compaction should have run";
  EXPECT_EQ(StrayFiles(mount_point, {db, queue}), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Workflows, FullDisk,
                         ::testing::Values(Workflow::kStart, Workflow::kCompress),
                         WorkflowParamName);

}  // namespace
}  // namespace tidewell::whole
