// Another program has the database open without any lock: an idle SQLite connection, or a
// program that opened the file without SQLite. Whether it was there before the workflow
// began or opened the file while the work ran, the file is not swapped under it: it keeps
// the same file with the same bytes, its next write lands in the database, and the
// workflow says the file was in use.
#include <optional>
#include <utility>

#include "engine/notes.h"
#include "tests/support/child_process.h"
#include "tests/support/faulty_engine.h"
#include "tests/support/faulty_files.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

using Holder = testing::DatabaseHolder;
enum When { kBefore, kDuring };
enum Which { kMain, kQueue };

struct Case {
  Workflow w;
  Holder::Mode mode;
  When when;
  Which which = kMain;
};

// clang-format off
using enum Workflow;
const Case kCases[] = {
    {kStart, Holder::kSqliteIdle, kBefore}, {kStart, Holder::kPlainOpen, kBefore},
    {kStart, Holder::kSqliteIdle, kDuring}, {kStart, Holder::kPlainOpen, kDuring},
    {kCompress, Holder::kSqliteIdle, kBefore}, {kCompress, Holder::kPlainOpen, kBefore},
    {kCompress, Holder::kSqliteIdle, kDuring}, {kCompress, Holder::kPlainOpen, kDuring},
    {kRepair, Holder::kSqliteIdle, kBefore}, {kRepair, Holder::kPlainOpen, kBefore},
    {kRepair, Holder::kSqliteIdle, kDuring}, {kRepair, Holder::kPlainOpen, kDuring},
    {kRegenerate, Holder::kSqliteIdle, kBefore}, {kRegenerate, Holder::kPlainOpen, kBefore},
    {kRegenerate, Holder::kSqliteIdle, kDuring}, {kRegenerate, Holder::kPlainOpen, kDuring},
    // The queue database is checked when its turn comes.
    {kStart, Holder::kSqliteIdle, kBefore, kQueue}, {kCompress, Holder::kPlainOpen, kBefore, kQueue},
    {kRepair, Holder::kPlainOpen, kBefore, kQueue}, {kRegenerate, Holder::kSqliteIdle, kBefore, kQueue},
};
// clang-format on

class OtherHolder : public ::testing::TestWithParam<size_t> {};  // the row of kCases

TEST_P(OtherHolder, FileStaysUnderItAndTheWorkflowSaysSo) {
  const Case& c = kCases[GetParam()];
  testing::TempDir dir;
  // Damaged, so that the repair gets as far as its own swap.
  const bool damaged = c.which == kMain && (c.w == kStart || c.w == kRepair);
  SampleFiles f = MakeSample(dir.path(), 60, 0, damaged);
  const std::string held = c.which == kMain ? f.db : f.queue;
  const std::string other = c.which == kMain ? f.queue : f.db;
  const std::string bytes = ReadAll(held);
  const auto rows = ReadContents(held);
  const ino_t inode = MetaOf(held).ino;

  std::optional<Holder> holder;
  const auto hold = [&] { holder.emplace(held, c.mode); };
  testing::FaultyFiles files;
  testing::FaultyEngine engine;
  if (c.when == kBefore) {
    hold();
  } else if (c.w == kCompress) {  // the compacted copy is written; its swap is next
    files.OnStep("SyncFile " + held.substr(0, held.size() - 3) + "$", hold);
  } else if (c.w == kRegenerate) {  // the tables are being copied
    engine.OnCall("Execute", [&](int call) {
      if (call == 1) hold();
    });
  } else {  // the salvaged copy is written; the repair's swap is next
    files.OnStep("SyncFile " + held + ".repairing", hold);
  }

  testing::ScriptedHost host;
  const auto outcome = Runners(host, f).Run(c.w);
  ASSERT_TRUE(holder && holder->Holding()) << "the holder never came";

  EXPECT_EQ(outcome, Outcome::kDone);
  EXPECT_EQ(MetaOf(held).ino, inode);
  // Regenerate's structure update adds what the template has to the file itself, as SQLite
  // lets it; the rows stay.
  if (c.w == kRegenerate)
    EXPECT_TRUE(rows && HoldsAll(held, *rows));
  else
    EXPECT_TRUE(ReadAll(held) == bytes);
  EXPECT_TRUE(host.Noted(held, engine::Fate::kInUse));
  EXPECT_FALSE(host.Noted(other, engine::Fate::kInUse));
  std::string boxes;
  for (const auto& box : host.Boxes()) boxes += box.text + "\n";
  const auto said = [&](const std::string& text) { return boxes.find(text) != std::string::npos; };
  if (c.w == kStart && c.when == kBefore) {
    EXPECT_TRUE(said("The database '" + held + "' must be available for exclusive access."))
        << boxes;
  }
  if (c.w == kRepair || (c.w == kStart && c.when == kDuring)) {
    EXPECT_TRUE(said("An error has occured during the repair of '" + held + "'.")) << boxes;
  }

  // The holder's next write lands in the database under its own name.
  if (c.mode == Holder::kSqliteIdle) {
    ASSERT_TRUE(holder->Run("CREATE TABLE tw_later(x); INSERT INTO tw_later VALUES ('kept')"));
    holder->Stop();
    EXPECT_EQ(Query(held, {"SELECT x FROM tw_later"}), std::optional(std::vector<Rows>{{"kept"}}));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, OtherHolder, ::testing::Range<size_t>(0, std::size(kCases)));

}  // namespace
}  // namespace tidewell::whole
