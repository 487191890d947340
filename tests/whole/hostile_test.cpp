// Hostile input: odd names, files that are not what their name says, odd databases, a file
// another program holds open and a user who may not write. The workflow must say what is
// wrong, end with its closing message and lose nothing that was there.
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

enum Setup { kSample, kHotJournal, kLink, kFolder, kEmpty, kOneByte };
enum Who { kUser, kSqliteReader, kEngineReader, kReadOnlyFile, kReadOnlyFolder };
constexpr int kNobody = 65534;

struct Case {
  Setup setup;
  Workflow w;
  std::string says = "";                         // in a box; @ stands for the database's path
  Who who = kUser;                               // who else is there, or who runs it
  std::string name = "Vardlink.mdb", made = "";  // the database's name; a file made beside it
};

// clang-format off
using enum Workflow;
const Case kCases[] = {
    {kSample, kStart, "", kUser, "with blanks/Vard link.mdb", "with blanks/Vard link-Queue.BAK"},
    {kSample, kCompress, "", kUser, "it's \"quoted\"/Vard link.mdb", "it's \"quoted\"/Vard link.BAK"},
    {kSample, kRepair, "", kUser, "Größe ñ 日本/Vard link.mdb"},
    {kSample, kRegenerate, "", kUser, "Vard[1]*?.mdb", "Vard[1]*?.BKK"},
    // Named like its own backup: the new copy takes the name. Names are cut by characters.
    {kSample, kStart, "", kUser, "site.BAK", "site-Queue.BAK"},
    {kSample, kRegenerate, "", kUser, "site.BKK", "site-Queue.BKK"},
    {kSample, kCompress, "", kUser, "Straße", "StrBAK"},
    // A crawler killed inside a transaction: rolled back first, then the work is done.
    {kHotJournal, kStart, "", kUser, "Vardlink.mdb", "Vardlink.BAK"}, {kHotJournal, kRepair},
    {kLink, kCompress}, {kLink, kRegenerate},
    {kFolder, kStart, "The database '@' must be available for exclusive access."},
    {kFolder, kRepair, "An error has occured during the repair of '@'."},
    {kFolder, kCompress}, {kFolder, kRegenerate, "Open: @: 3049 "},
    {kEmpty, kStart}, {kEmpty, kRegenerate, "Open: @: 3049 The file '@' is not a database"},
    {kOneByte, kCompress}, {kOneByte, kRepair},
    {kSample, kStart, "' must be available for exclusive access.", kSqliteReader},
    {kSample, kRepair, "3045", kEngineReader}, {kSample, kRegenerate, "", kEngineReader},
    {kSample, kStart, "The database '@' must be available for exclusive access.", kReadOnlyFile},
    {kSample, kCompress, "", kReadOnlyFile}, {kSample, kRegenerate, "", kReadOnlyFile},
    {kSample, kCompress, "", kReadOnlyFolder},
    {kSample, kRegenerate, "Create: @_$temp.mdb: 3051 Cannot create '@_$temp.mdb': Permission denied.", kReadOnlyFolder},
};
// clang-format on

class Hostile : public ::testing::TestWithParam<size_t> {};  // the row of kCases

TEST_P(Hostile, SaysWhatIsWrongAndLosesNothing) {
  const Case& c = kCases[GetParam()];
  if (c.who >= kReadOnlyFile && ::geteuid() != 0) GTEST_SKIP() << "needs root to be another user";
  testing::TempDir dir;
  const fs::path folder = fs::path(dir.File("d") + "/" + c.name).parent_path();
  fs::create_directories(folder);
  fs::permissions(dir.path(), fs::perms::all);  // the other user must reach the folder
  SampleFiles f(dir.path());
  f.db = dir.File("d/" + c.name), f.queue = sample::QueueDatabaseName(f.db);
  sample::MakeTemplateDatabase(f.tmpl);
  // Where the database's bytes are: behind the link, or in the folder named like it.
  const std::string target = c.setup == kLink     ? dir.File("real.mdb")
                             : c.setup == kFolder ? f.db + "/inside"
                                                  : f.db;
  if (c.setup == kFolder) fs::create_directory(f.db), testing::WriteAll(target, "keep me");
  if (c.setup != kFolder && c.setup < kEmpty) sample::MakeSampleDatabase(target, {60});
  if (c.setup < kEmpty)
    sample::MakeQueueDatabase(c.setup == kLink ? sample::QueueDatabaseName(target) : f.queue, {60});
  for (const std::string& file : {f.db, f.queue})  // an empty file is an empty database
    if (c.setup >= kEmpty) testing::WriteAll(file, c.setup == kOneByte ? "x" : "");
  for (auto [from, to] : {std::pair(target, f.db), {sample::QueueDatabaseName(target), f.queue}})
    if (c.setup == kLink) fs::create_symlink(from, to);
  const auto rows = ReadContents(target);  // the committed rows, before the journal is left
  ASSERT_TRUE(c.setup != kHotJournal || testing::LeaveHotJournal(f.db, "DELETE FROM Links"));
  const std::string bytes = ReadAll(target);
  using Holder = testing::DatabaseHolder;
  std::optional<Holder> holder;
  if (c.who == kSqliteReader || c.who == kEngineReader)
    holder.emplace(f.db, c.who == kSqliteReader ? Holder::kSqliteRead : Holder::kEngineShared);
  ASSERT_TRUE(!holder || holder->Holding());
  for (const fs::path& p : {folder, fs::path(f.db), fs::path(f.queue)})
    ASSERT_TRUE(c.who < kReadOnlyFile || ::chown(p.c_str(), kNobody, kNobody) == 0);
  if (c.who == kReadOnlyFile) fs::permissions(f.db, fs::perms::owner_read | fs::perms::others_read);
  if (c.who == kReadOnlyFolder)
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  // What must not change: a folder named like a file, or one where the user may not write.
  const fs::path kept = c.setup == kFolder ? fs::path(f.db) : folder;
  const auto listing = Snapshot(kept);

  std::string says = c.says;
  for (size_t at; (at = says.find('@')) != std::string::npos;) says.replace(at, 1, f.db);
  // The workflow, as that user when it is to be run as one; 0: its boxes are as they should.
  const auto child = testing::RunInChild([&] {
    if (c.who >= kReadOnlyFile && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) return 2;
    const auto boxes = RunWorkflow(c.w, f);
    std::string all;
    for (const std::string& b : boxes) all += b + "\n";
    const bool ok = boxes.back() == ClosingMessage(c.w) && all.find(says) != std::string::npos;
    if (!ok) std::fputs(all.c_str(), stderr);  // the child ends without flushing its buffers
    return ok ? 0 : 1;
  });
  EXPECT_EQ(child.exit_code, 0) << "the boxes above lack the closing message or: " << says;
  // The user's data: every row under the database's own name, sound, or else the bytes as they
  // were under one of its kept names (the folders' files under their own).
  EXPECT_TRUE((rows && HoldsAll(target, *rows) && IntegrityOf(target) == "ok") ||
              AnyKeptName(target, [&](auto& n) { return ReadAll(n) == bytes; }));
  EXPECT_FALSE(fs::exists(f.db + "-journal"));
  EXPECT_TRUE(c.made.empty() || fs::exists(dir.File("d/" + c.made))) << c.made;
  EXPECT_TRUE(c.setup != kLink || (fs::is_symlink(f.db) && fs::is_symlink(f.queue)));
  EXPECT_TRUE(Snapshot(kept) == listing || (c.who != kReadOnlyFolder && kept == folder));
  EXPECT_TRUE(c.who != kReadOnlyFile ||
              (ReadAll(f.db) == bytes &&
               (fs::status(f.db).permissions() & fs::perms::owner_write) == fs::perms::none));
}

INSTANTIATE_TEST_SUITE_P(Cases, Hostile, ::testing::Range<size_t>(0, std::size(kCases)));

}  // namespace
}  // namespace tidewell::whole
