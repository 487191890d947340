// The database stays the crawler's: owner, group, mode, ACL and attributes of the database
// and its queue database survive every workflow run as root, and as the file's own user
// with umask 022; no file a run leaves is readable by anyone who could not read the
// database; a user who cannot give a copy the owner leaves the database as it is. And names
// are compared by identity: on a folder that ignores case, a database named like its own
// backup keeps every row. The runs as root or as another user need root and are skipped
// (with a message) without it; the folder that ignores case is a fake behind the seam.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "engine/engine.h"
#include "engine/notes.h"
#include "maintenance/dbReorg.h"
#include "maintenance/modTidewell.h"
#include "maintenance/progress_route.h"
#include "tests/support/child_process.h"
#include "tests/support/faulty_files.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

// The crawler's user: nobody, in nogroup where that group exists.
struct Crawler {
  uid_t uid = 0;
  gid_t gid = 0;
  bool found = false;
  Crawler() {
    if (const passwd* pw = ::getpwnam("nobody")) {
      uid = pw->pw_uid, gid = pw->pw_gid, found = true;
      if (const group* gr = ::getgrnam("nogroup")) gid = gr->gr_gid;
    }
  }
};

#define NEEDS_ROOT_AND_NOBODY(crawler)                                                    \
  if (::geteuid() != 0)                                                                   \
    GTEST_SKIP() << "skipped: needs root (CI runs as root) to own files as another user"; \
  if (!(crawler).found) GTEST_SKIP() << "skipped: this machine has no user 'nobody'"

void Own(const std::string& path, const Crawler& c, mode_t mode) {
  ASSERT_EQ(::chown(path.c_str(), c.uid, c.gid), 0) << path << ": " << std::strerror(errno);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path << ": " << std::strerror(errno);
}

// An access ACL that lets one more user read: user::rw-, user:<uid>:r--, group::r--,
// mask::r--, other::---, in the kernel's xattr form. False where the folder has no ACLs.
bool GiveAcl(const std::string& path, uid_t reader) {
  struct Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const Entry entries[] = {
      {0x01, 6, ~0u}, {0x02, 4, reader}, {0x04, 4, ~0u}, {0x10, 4, ~0u}, {0x20, 0, ~0u}};
  std::string value(4, '\0');
  value[0] = 2;  // version
  value.append(reinterpret_cast<const char*>(entries), sizeof entries);
  return ::setxattr(path.c_str(), "system.posix_acl_access", value.data(), value.size(), 0) == 0;
}
std::string Xattr(const std::string& path, const char* name) {
  char buffer[256];
  const ssize_t n = ::getxattr(path.c_str(), name, buffer, sizeof buffer);
  return n < 0 ? std::string("(none)") : std::string(buffer, size_t(n));
}

// What is wrong with the owner, group and mode of any file in the folder, the template
// aside: each must be its database's (the queue database's for the names derived from it).
std::string WrongMeta(const SampleFiles& f, const Meta& db, const Meta& queue) {
  const std::string queue_name = fs::path(f.queue).filename().string();
  std::string wrong;
  for (const auto& e : fs::directory_iterator(fs::path(f.db).parent_path())) {
    const std::string name = e.path().filename().string();
    if (e.path().string() == f.tmpl) continue;
    const Meta& want = name.rfind(queue_name.substr(0, queue_name.size() - 4), 0) == 0 ? queue : db;
    const Meta got = MetaOf(e.path().string());
    if (!(got == want)) wrong += " " + name + " is " + got.Text() + ", not " + want.Text() + ";";
  }
  return wrong;
}

// Whether the crawler's user can write its database: a child that is that user opens it
// and inserts a row.
bool CrawlerWrites(const std::string& path, const Crawler& c) {
  return testing::RunInChild([&] {
           if (::setgid(c.gid) != 0 || ::setuid(c.uid) != 0) return 90;
           testing::Sql(path,
                        "CREATE TABLE IF NOT EXISTS crawler_probe (x);"
                        "INSERT INTO crawler_probe VALUES (1)");
           return 0;  // a failure throws, which ends the child with 125
         }).exit_code == 0;
}

// Watches each new file as it is given its final owner and mode: until then it must be
// readable by its owner alone, whatever the umask.
struct NarrowUntilOwned : testing::FaultyFiles {
  std::error_code TakeOwnership(const std::string& from, const std::string& to) override {
    // A copy of a file that already has them (the regeneration's copy of its new file) may
    // have them too.
    if (const Meta m = MetaOf(to); (m.mode & 077) && !(m == MetaOf(from)))
      wide += " " + fs::path(to).filename().string() + " was " + m.Text() + ";";
    return FaultyFiles::TakeOwnership(from, to);
  }
  std::string wide;
};

// Whether the run puts a new file under the database's name.
bool Replaces(const WorkflowRun& c) {
  return c.workflow != Workflow::kRepair || c.damaged;
}

class Ownership : public ::testing::TestWithParam<std::tuple<WorkflowRun, bool>> {  // and as root
 protected:
  void SetUp() override { NEEDS_ROOT_AND_NOBODY(crawler); }
  const Crawler crawler;
  testing::TempDir dir;
};

// Run as root on files of nobody, the database 0640 with an ACL and an attribute where the
// folder has them; or as the files' own user (nobody) with umask 022 on a database 0600. The
// queue database is 0600, the folder nobody's.
TEST_P(Ownership, TheCrawlersOwnerAndModeAreKept) {
  const auto [c, as_root] = GetParam();
  SampleFiles f = MakeSample(dir.path(), 40, 0, c.damaged);
  Own(dir.path().string(), crawler, 0755);
  Own(f.db, crawler, as_root ? 0640 : 0600);
  Own(f.queue, crawler, 0600);
  const bool acl = as_root && GiveAcl(f.db, crawler.uid + 1);
  const bool attr = as_root && ::setxattr(f.db.c_str(), "user.tidewell", "kept", 4, 0) == 0;
  const Meta db = MetaOf(f.db), queue = MetaOf(f.queue);
  const std::string acl_before = Xattr(f.db, "system.posix_acl_access");
  const auto child = testing::RunInChild([&] {
    if (!as_root && (::setgid(crawler.gid) != 0 || ::setuid(crawler.uid) != 0)) return 90;
    if (!as_root) ::umask(022);
    NarrowUntilOwned watch;
    if (RunWorkflow(c.workflow, f).back() != ClosingMessage(c.workflow)) return 1;
    std::fprintf(stderr, "%s", watch.wide.c_str());
    return watch.wide.empty() ? 0 : 2;
  });
  ASSERT_TRUE(child.exited && child.exit_code != 1) << "the run did not finish";
  EXPECT_EQ(child.exit_code, 0) << "a new file was readable by others before it had its mode";
  EXPECT_EQ(MetaOf(f.db).ino != db.ino, Replaces(c)) << "the database was not replaced";
  EXPECT_EQ(WrongMeta(f, db, queue), "");  // the database and its queue database among them
  if (!as_root) return;
  if (acl) {
    EXPECT_EQ(Xattr(f.db, "system.posix_acl_access"), acl_before) << "the ACL was lost";
  }
  if (attr) {
    EXPECT_EQ(Xattr(f.db, "user.tidewell"), "kept") << "the attribute was lost";
  }
  if (!acl || !attr)
    std::printf("this folder has no%s%s\n", acl ? "" : " ACLs", attr ? "" : " user attributes");
  EXPECT_TRUE(CrawlerWrites(f.db, crawler)) << "the crawler's user cannot write its database";
  EXPECT_TRUE(CrawlerWrites(f.queue, crawler)) << "... nor its queue database";
}

const WorkflowRun kCases[] = {{Workflow::kStart, false},    {Workflow::kStart, true},
                              {Workflow::kCompress, false}, {Workflow::kRepair, false},
                              {Workflow::kRepair, true},    {Workflow::kRegenerate, false}};
INSTANTIATE_TEST_SUITE_P(Workflows, Ownership,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const auto& i) {
                           return RunName(std::get<0>(i.param)) +
                                  (std::get<1>(i.param) ? "AsRoot" : "AsItsOwnUserWithUmask022");
                         });

// One file's compaction, repair or regeneration, its progress and notes routed to `host`
// as a runner routes them.
void Treat(Workflow w, testing::ScriptedHost& host, const std::string& p) {
  ProgressRoute route(host);
  std::string error;
  if (w == Workflow::kCompress) dbReorg(host, p, 0, 0, 0);
  if (w == Workflow::kRegenerate) dbRegenerate(host, p, 3, error);
  if (w != Workflow::kRepair) return;
  try {
    engine::DBEngine().RepairDatabase(p);
  } catch (const engine::EngineException&) {  // the repair also says so in a box
  }
}

// A user who is not root cannot give a copy root's owner: the database root owns (and lets
// everyone write) stays as it is, and the note says why.
TEST(OwnershipNotRoot, AnotherUsersFileIsNotReplacedAndTheNoteSaysWhy) {
  const Crawler crawler;
  NEEDS_ROOT_AND_NOBODY(crawler);
  for (const WorkflowRun c :
       {WorkflowRun{Workflow::kCompress, false}, WorkflowRun{Workflow::kRegenerate, false},
        WorkflowRun{Workflow::kRepair, true}}) {
    testing::TempDir dir;
    const SampleFiles f = MakeSample(dir.path(), 40, 0, c.damaged);
    Own(dir.path().string(), crawler, 0755);
    ASSERT_EQ(::chmod(f.db.c_str(), 0666), 0);  // root's, writable by all
    const Meta db = MetaOf(f.db);
    const std::string bytes = ReadAll(f.db);
    const auto child = testing::RunInChild([&] {
      if (::setgid(crawler.gid) != 0 || ::setuid(crawler.uid) != 0) return 90;
      testing::ScriptedHost host;
      Treat(c.workflow, host, f.db);
      for (const std::string& n : host.Notes())
        if (n.find(": not_replaced ") != std::string::npos && n.find("owner") != std::string::npos)
          return 0;
      for (const std::string& n : host.Notes()) std::fprintf(stderr, "note: %s\n", n.c_str());
      return 1;
    });
    EXPECT_TRUE(child.exited && child.exit_code == 0) << RunName(c) << ": no note that says why";
    EXPECT_EQ(MetaOf(f.db).ino, db.ino) << RunName(c);
    EXPECT_EQ(MetaOf(f.db).Text(), db.Text()) << RunName(c);
    EXPECT_TRUE(ReadAll(f.db) == bytes) << RunName(c) << ": the database was changed";
  }
}

// --- Names compared by identity ---

// A folder that ignores case, in front of a real one: a name reaches the entry of the
// folder that equals it but for case, as on exFAT, FAT or ext4 with casefold. SQLite opens
// the database by its own spelling, which is the entry's.
class CaseBlindFolder : public testing::FaultyFiles {
 public:
  using Path = const std::string&;
  bool Exists(Path p) override { return FaultyFiles::Exists(Fold(p)); }
  std::error_code Remove(Path p) override { return FaultyFiles::Remove(Fold(p)); }
  std::error_code Rename(Path a, Path b) override { return FaultyFiles::Rename(Fold(a), Fold(b)); }
  std::error_code Link(Path a, Path b) override { return FaultyFiles::Link(Fold(a), Fold(b)); }
  std::error_code Copy(Path a, Path b) override { return FaultyFiles::Copy(Fold(a), Fold(b)); }
  std::error_code SyncFile(Path p) override { return FaultyFiles::SyncFile(Fold(p)); }
  std::error_code TakeOwnership(Path a, Path b) override {
    return FaultyFiles::TakeOwnership(Fold(a), Fold(b));
  }
  bool Writable(Path p) override { return FaultyFiles::Writable(Fold(p)); }
  // Names that exist: what they reach. Names that do not: the folder takes them as one
  // when they are equal but for case, which is what creating one and looking up the other
  // finds on such a folder.
  bool SameFile(Path a, Path b) override {
    const std::string fa = Fold(a), fb = Fold(b);
    const bool ea = FaultyFiles::Exists(fa), eb = FaultyFiles::Exists(fb);
    if (ea && eb) return FaultyFiles::SameFile(fa, fb);
    return !ea && !eb && ::strcasecmp(fa.c_str(), fb.c_str()) == 0;
  }

 private:
  static std::string Fold(Path path) {
    const fs::path p(path);
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(p.parent_path(), ec))
      if (::strcasecmp(e.path().filename().c_str(), p.filename().c_str()) == 0)
        return e.path().string();
    return path;
  }
};

TEST(CaseBlindFolder, ADatabaseNamedLikeItsOwnBackupKeepsEveryRow) {
  for (const std::string name : {"site.bak", "site.bkk"}) {
    for (const Workflow w : {Workflow::kCompress, Workflow::kRegenerate}) {
      testing::TempDir dir;
      const std::string p = dir.File(name);
      sample::MakeSampleDatabase(p, {60});
      const auto rows = ReadContents(p);
      ASSERT_TRUE(rows);
      testing::ScriptedHost host;
      {
        CaseBlindFolder folder;
        Treat(w, host, p);
      }
      const std::string what = Name(w) + " of " + name;
      EXPECT_EQ(IntegrityOf(p), "ok") << what;
      EXPECT_TRUE(HoldsAll(p, *rows)) << what << ": rows are missing under " << name;
      const bool own_backup = (w == Workflow::kCompress) == (name == "site.bak");
      EXPECT_TRUE(host.Noted(p, engine::Fate::kReplaced))
          << what << ": not replaced" << (own_backup ? " (its own backup name)" : "");
    }
  }
}

// The real folder: two names that do not exist are one only where the folder says so.
TEST(SameFile, NamesThatDoNotExistAreAskedOfTheFolder) {
  testing::TempDir dir;
  engine::FileSystem& files = engine::RealFiles();
  EXPECT_TRUE(files.SameFile(dir.File("a"), (dir.path() / "." / "a").string()));
  EXPECT_FALSE(files.Exists(dir.File("a"))) << "the probe was left behind";
  testing::WriteAll(dir.File("b"), "x");
  EXPECT_FALSE(files.SameFile(dir.File("b"), dir.File("c")));
  ASSERT_EQ(::link(dir.File("b").c_str(), dir.File("d").c_str()), 0);
  EXPECT_TRUE(files.SameFile(dir.File("b"), dir.File("d")));
  // This folder tells case apart (ext4 or tmpfs without casefold).
  EXPECT_FALSE(files.SameFile(dir.File("e.bak"), dir.File("e.BAK")));
}

}  // namespace
}  // namespace tidewell::whole
