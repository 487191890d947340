// A power cut at any moment of any workflow. A recorder sits behind both file seams (our own
// file layer and SQLite's VFS) while a workflow runs for real, and logs every folder change
// and every write with its bytes, and which syncs make them durable. From the folder as it
// was and that log the explorer rebuilds the states a cut can leave: a file keeps what its
// last sync saw plus any choice of its later writes (one may be torn at a sector boundary),
// and the folder keeps what its last sync saw plus, in order, a prefix of its later changes.
// A file's owner, group and mode count as one more write to it: set by TakeOwnership, durable
// with the file's next sync. Every state must hold the database, old or new, under its own
// name with its own owner, group and mode, the old one under a backup name once it was
// replaced, and a second run on it must finish cleanly.
#include <sys/stat.h>

#include <random>
#include <set>

#include "tests/support/faulty_files.h"
#include "tests/whole/whole_support.h"

namespace tidewell::whole {
namespace {

struct Op {
  enum Kind { kCreate, kLink, kRename, kRemove, kWrite, kTruncate, kOwn, kSync, kDirSync } kind;
  int file = 0;  // which file (an inode): names come and go, writes go to the file
  std::string name = {}, to = {};  // its name in the folder; a rename's old and new one
  int64_t offset = 0;
  std::string data = {};  // what a write wrote; for a sync, the whole file as it then was
  Meta meta = {};         // a create's, or what TakeOwnership gave the file
};
struct Recording {
  std::map<std::string, std::string> base;  // the folder before the run
  std::map<std::string, Meta> base_meta;
  std::vector<Op> ops;
};

// Logs what happens in `dir` for as long as it lives.
class Recorder : public testing::FaultyFiles {
 public:
  explicit Recorder(const fs::path& dir) : dir_(dir), rec{Snapshot(dir), {}, {}} {
    for (const auto& [name, bytes] : rec.base)
      names_[name] = ++files_, rec.base_meta[name] = MetaOf((dir / name).string());
  }
  using Base = testing::FaultyFiles;
  using Path = const std::string&;
  std::error_code Remove(Path p) override { return Did(Base::Remove(p), 'd', p); }
  std::error_code Rename(Path a, Path b) override { return Did(Base::Rename(a, b), 'r', a, b); }
  std::error_code Link(Path a, Path b) override { return Did(Base::Link(a, b), 'l', a, b); }
  std::error_code SyncFile(Path p) override { return Did(Base::SyncFile(p), 's', p); }
  std::error_code SyncParentDir(Path p) override { return Did(Base::SyncParentDir(p), 'D', p); }
  std::error_code TakeOwnership(Path from, Path to) override {
    const std::error_code ec = Base::TakeOwnership(from, to);
    if (const std::string n = In(to); !ec && !n.empty())
      rec.ops.push_back({Op::kOwn, FileOf(n), n, "", 0, "", MetaOf(to)});
    return ec;
  }
  std::error_code Copy(Path from, Path to) override {
    // Logged ahead: the copy's own sync comes through this layer before it returns.
    const std::string n = In(to);
    const bool fresh = !n.empty() && !names_.count(n) && fs::exists(from);
    if (fresh) rec.ops.push_back({Op::kWrite, FileOf(n), n, "", 0, ReadAll(from)});
    const std::error_code ec = FaultyFiles::Copy(from, to);
    if (ec && fresh) Gone(n);
    return ec;
  }

  const fs::path dir_;
  Recording rec;

 private:
  std::error_code Did(std::error_code ec, char kind, Path a, std::string_view b = {}) {
    if (!ec) Saw(kind, a.c_str(), b, 0, 0);
    return ec;
  }
  // One operation that was done, from either seam; for a rename or link `data` is the new name.
  void Saw(char kind, const char* name, std::string_view data, int64_t offset, int flags) {
    const std::string n = In(name ? name : "");
    if (n.empty()) return;
    if (kind == 'w') rec.ops.push_back({Op::kWrite, FileOf(n), n, "", offset, std::string(data)});
    if (kind == 't') rec.ops.push_back({Op::kTruncate, FileOf(n), n, "", offset});
    if (kind == 'd') Gone(n);
    if (kind == 'o') FileOf(n);
    // SQLite's unix layer syncs the folder at the first sync of a journal it created.
    if (kind == 'o' && (flags & SQLITE_OPEN_CREATE) &&
        (flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_SUPER_JOURNAL | SQLITE_OPEN_WAL)))
      dir_sync_due_.insert(n);
    if (kind == 's')
      rec.ops.push_back({Op::kSync, FileOf(n), n, "", 0, ReadAll((dir_ / n).string())});
    if (const std::string to = kind == 'r' || kind == 'l' ? In(std::string(data)) : "";
        !to.empty()) {
      names_[to] = FileOf(n);
      if (kind == 'r') names_.erase(n);
      rec.ops.push_back(
          {kind == 'r' ? Op::kRename : Op::kLink, names_[to], kind == 'r' ? n : to, to});
    }
    if (kind == 'D' || (kind == 's' && dir_sync_due_.erase(n)) || (kind == 'd' && flags))
      rec.ops.push_back({Op::kDirSync});
  }
  // The name within the folder, or empty for a file elsewhere (or SQLite's nameless ones).
  std::string In(const std::string& path) const {
    const fs::path p(path);
    return p.parent_path() == dir_ ? p.filename().string() : std::string();
  }
  int FileOf(const std::string& name) {  // new to us, whoever made it: a create
    if (!names_.count(name))
      rec.ops.push_back(
          {Op::kCreate, names_[name] = ++files_, name, "", 0, "", MetaOf((dir_ / name).string())});
    return names_[name];
  }
  void Gone(const std::string& name) {
    if (names_.count(name)) rec.ops.push_back({Op::kRemove, names_[name], name});
    names_.erase(name);
  }

  std::map<std::string, int> names_;
  int files_ = 0;
  std::set<std::string> dir_sync_due_;  // journals: their first sync syncs the folder
  FaultyVfs vfs_{0, false, [this](auto... event) { Saw(event...); }};
};

// What is durable just before op `c`, and what is not yet.
struct Point {
  size_t c = 0, durable_end = 0;               // folder changes before durable_end are on disk
  std::vector<size_t> folder;                  // the later ones, in order
  std::map<int, std::string> synced;           // each file as its last sync saw it
  std::map<int, Meta> synced_meta;             // and its owner and mode then
  std::map<int, std::vector<size_t>> pending;  // its writes (and owner changes) since
  explicit Point(const Recording& rec) {       // before the first op: the folder as it was
    for (const auto& [name, bytes] : rec.base) {
      synced_meta.emplace(int(synced.size()) + 1, rec.base_meta.at(name));
      synced.emplace(int(synced.size()) + 1, bytes);
    }
  }
  void Advance(const std::vector<Op>& ops, size_t i) {
    const Op& op = ops[i];
    if (op.kind <= Op::kRemove) folder.push_back(i);
    if (op.kind == Op::kCreate) synced.emplace(op.file, std::string());
    if (op.kind == Op::kCreate) synced_meta.emplace(op.file, op.meta);
    if (op.kind == Op::kWrite || op.kind == Op::kTruncate || op.kind == Op::kOwn)
      pending[op.file].push_back(i);
    if (op.kind == Op::kSync) {
      for (size_t j : pending[op.file])
        if (ops[j].kind == Op::kOwn) synced_meta[op.file] = ops[j].meta;
      synced[op.file] = op.data, pending[op.file].clear();
    }
    if (op.kind == Op::kDirSync) durable_end = i, folder.clear();
  }
};

struct Choice {
  size_t k;                // how many of the unsynced folder changes reached the disk
  std::vector<char> keep;  // by op index: whether an unsynced write reached it
  size_t torn = SIZE_MAX;  // the one write that reached it only up to a sector in its middle
};

// The state as names, each with its file, bytes and owner and mode.
struct FileState {
  int file;
  std::string bytes;
  Meta meta;
};
using State = std::map<std::string, FileState>;

State Build(const Recording& rec, const Point& p, const Choice& ch) {
  std::map<std::string, int> names;
  for (const auto& [name, bytes] : rec.base) names.emplace(name, int(names.size()) + 1);
  for (size_t i = 0; i < std::max(p.durable_end, ch.k ? p.folder[ch.k - 1] + 1 : 0); ++i) {
    const Op& op = rec.ops[i];
    if (op.kind == Op::kRename || op.kind == Op::kRemove) names.erase(op.name);
    if (op.kind <= Op::kRename) names[op.kind == Op::kRename ? op.to : op.name] = op.file;
  }
  State out;
  for (const auto& [name, f] : names) {
    std::string bytes = p.synced.count(f) ? p.synced.at(f) : std::string();
    Meta meta = p.synced_meta.count(f) ? p.synced_meta.at(f) : Meta{};
    if (p.pending.count(f))
      for (size_t j : p.pending.at(f)) {
        const Op& op = rec.ops[j];
        if (ch.keep[j] && op.kind == Op::kOwn) meta = op.meta;
        const size_t at = size_t(op.offset),
                     n = j == ch.torn ? op.data.size() / 2 / 512 * 512 : op.data.size();
        if (ch.keep[j] && op.kind == Op::kTruncate) bytes.resize(at);
        if (ch.keep[j] && op.kind == Op::kWrite)
          bytes.resize(std::max(bytes.size(), at + n)), bytes.replace(at, n, op.data, 0, n);
      }
    out[name] = {f, std::move(bytes), meta};
  }
  return out;
}

// Writes a state into the emptied folder; names that share a file are hard links.
void Materialize(const State& state, const fs::path& dir) {
  for (const auto& e : fs::directory_iterator(dir)) fs::remove_all(e.path());
  std::map<int, fs::path> first;
  for (const auto& [name, fc] : state)
    if (auto [it, fresh] = first.emplace(fc.file, dir / name); fresh) {
      testing::WriteAll(it->second.string(), fc.bytes);
      // Another owner only where this process may give it (as root).
      if (::chown(it->second.c_str(), fc.meta.uid, fc.meta.gid) != 0) {
      }
      ::chmod(it->second.c_str(), fc.meta.mode);
    } else {
      fs::create_hard_link(it->second, dir / name);
    }
}

// 0, count and up to n values spread between them.
std::vector<size_t> Spread(size_t count, size_t n) {
  std::set<size_t> out{0, count};
  for (size_t i = 1; i < n; ++i) out.insert(count * i / n);
  return {out.begin(), out.end()};
}

// The states a cut just before op p.c can leave: the unsynced folder changes kept up to
// a point with no unsynced write or with all of them; per file its writes lost, only its
// writes kept, the first half kept, its last write torn; a cut at any moment since the last
// sync with everything before it kept in order; writes kept at random out of order.
std::vector<Choice> Choices(const std::vector<Op>& ops, const Point& p, std::mt19937& random) {
  std::vector<size_t> writes, tail = p.folder;
  for (const auto& [f, list] : p.pending) writes.insert(writes.end(), list.begin(), list.end());
  std::sort(writes.begin(), writes.end());
  const size_t m = p.folder.size();
  std::vector<char> lost(p.c, 0), kept(p.c, 0);
  for (size_t j : writes) kept[j] = 1;
  std::vector<Choice> out;
  for (size_t k : Spread(m, 8)) out.push_back({k, lost}), out.push_back({k, kept});
  for (const auto& [f, list] : p.pending) {
    if (list.empty()) continue;
    std::vector<char> without = kept, only = lost, half = kept;
    for (size_t j : list) without[j] = 0, only[j] = 1;
    for (size_t i = list.size() / 2; i < list.size(); ++i) half[list[i]] = 0;
    for (const auto& keep : {without, only, half}) out.push_back({m, keep});
    if (ops[list.back()].data.size() >= 1024) out.push_back({m, kept, list.back()});
  }
  tail.insert(tail.end(), writes.begin(), writes.end());
  std::sort(tail.begin(), tail.end());
  for (size_t t : Spread(tail.size(), 6)) {
    Choice ch{0, lost};
    for (size_t i = 0; i < t; ++i) ops[tail[i]].kind <= Op::kRemove ? ++ch.k : ch.keep[tail[i]] = 1;
    out.push_back(ch);
  }
  for (int r = 0; r < 3 && !writes.empty(); ++r) {
    Choice ch{random() % (m + 1), lost};
    for (size_t j : writes) ch.keep[j] = char(random() & 1);
    out.push_back(ch);
  }
  return out;
}

// Makes every distinct crash state of the log in `dir` and calls `check` with where the cut
// was; stops when `check` returns false. Returns how many distinct states were made.
int Explore(const Recording& rec, const fs::path& dir,
            const std::function<bool(const std::string&)>& check) {
  std::set<std::string> seen;
  std::mt19937 random(20261206);
  Point p(rec);
  for (size_t i = 0; i <= rec.ops.size(); ++i) {  // stopping at each sync and at the end
    if (i == rec.ops.size() || rec.ops[i].kind >= Op::kSync) {
      p.c = i;
      const auto choices = Choices(rec.ops, p, random);
      for (size_t c = 0; c < choices.size(); ++c) {
        const State state = Build(rec, p, choices[c]);
        std::string key;
        for (const auto& [name, fc] : state)
          key += name + '\1' + std::to_string(fc.file) + '\1' +
                 std::to_string(std::hash<std::string>{}(fc.bytes)) + '\1' + fc.meta.Text() + '\2';
        if (!seen.insert(key).second) continue;
        Materialize(state, dir);
        if (!check("cut before operation " + std::to_string(i) + ", state " + std::to_string(c)))
          return int(seen.size());
      }
    }
    if (i < rec.ops.size()) p.Advance(rec.ops, i);
  }
  return int(seen.size());
}

// One database's content before and after the recorded run.
struct Expected {
  std::string name, old_bytes;
  std::optional<Contents> old_rows, new_rows;
  Meta meta;  // what the database's name must always have
};

// The workflow run once under the recorder, on a fresh small sample.
struct Recorded {
  explicit Recorded(const WorkflowRun& c) {
    const SampleFiles f = MakeSample(dir.path(), 30, 0, c.damaged);
    // The crawler's files: another user's where this process may give them one (as root),
    // and never the mode a new file of this process gets.
    for (const auto& [db, mode] : {std::pair(f.db, 0640), std::pair(f.queue, 0604)}) {
      if (::geteuid() == 0 && ::chown(db.c_str(), 65534, 65534) != 0) ADD_FAILURE() << db;
      ::chmod(db.c_str(), mode_t(mode));
      expected.push_back({fs::path(db).filename(), ReadAll(db), ReadContents(db), {}, MetaOf(db)});
    }
    rec = [&] {  // the recorder leaves both seams before the states are explored
      Recorder recorder(dir.path());
      EXPECT_EQ(RunWorkflow(c.workflow, f).back(), ClosingMessage(c.workflow));
      return recorder.rec;
    }();
    for (Expected& e : expected) e.new_rows = ReadContents(dir.File(e.name));
  }
  // The log, not the folder, says what reached the disk, so the folders may live in memory,
  // where the many syncs of the runs cost nothing.
  testing::TempDir dir{"/dev/shm"};
  Recording rec;
  std::vector<Expected> expected;
};

bool HoldsOld(const std::string& path, const Expected& e) {
  return ReadAll(path) == e.old_bytes ||
         (e.old_rows && IntegrityOf(path) == "ok" && HoldsAll(path, *e.old_rows));
}

// What is wrong with the state in `dir`, or empty.
std::string Violation(const fs::path& dir, Workflow w, const std::vector<Expected>& expected) {
  for (const Expected& e : expected) {
    const std::string p = (dir / e.name).string();
    if (!(MetaOf(p) == e.meta))
      return e.name + " has owner and mode " + MetaOf(p).Text() + ", not " + e.meta.Text();
    if (ReadAll(p) == e.old_bytes) continue;
    if (IntegrityOf(p) != "ok") return e.name + " is not sound: " + IntegrityOf(p);
    if (!HoldsOld(p, e) && !(e.new_rows && HoldsAll(p, *e.new_rows)))
      return e.name + " holds neither the old nor the new content";
    if (!AnyKeptName(p, [&](auto& k) { return HoldsOld(k, e); }))
      return e.name + " was replaced, but no backup holds the old content";
  }
  const SampleFiles f(dir);
  if (RunWorkflow(w, f).back() != ClosingMessage(w)) return "the second run did not finish";
  const auto stray = StrayFiles(f);
  return stray.empty() ? std::string() : "the second run left " + stray.front();
}

class PowerCut : public ::testing::TestWithParam<WorkflowRun> {};

TEST_P(PowerCut, EveryStateKeepsTheOldOrTheNewDatabase) {
  const WorkflowRun c = GetParam();
  Recorded run(c);
  testing::TempDir states("/dev/shm");
  {  // the log with every write and folder change kept must give the folder the run left
    Point p(run.rec);
    for (size_t i = 0; i < run.rec.ops.size(); ++i) p.Advance(run.rec.ops, i);
    const State left =
        Build(run.rec, p, {p.folder.size(), std::vector<char>(run.rec.ops.size(), 1)});
    Materialize(left, states.path());
    ASSERT_TRUE(Snapshot(states.path()) == Snapshot(run.dir.path())) << "the log misses a change";
    // Once the run has said it is done, a cut changes nothing: every folder change it made
    // and every write to a file it left is on disk. Regenerate's own copy is the exception:
    // the database was made from it and synced, and the next run deletes it first.
    EXPECT_TRUE(p.folder.empty()) << p.folder.size() << " folder changes not synced, the last "
                                  << run.rec.ops[p.folder.back()].name;
    for (const auto& [name, f] : left)
      EXPECT_TRUE(name.ends_with("_$temp.mdb") || !p.pending.count(f.file) ||
                  p.pending.at(f.file).empty())
          << name;
  }
  int bad = 0;
  const int n = Explore(run.rec, states.path(), [&](const std::string& at) {
    const std::string v = Violation(states.path(), c.workflow, run.expected);
    if (!v.empty()) ADD_FAILURE() << at << ": " << v;
    return v.empty() || ++bad < 3;
  });
  std::printf("%s%s: %zu disk operations recorded, %d distinct crash states checked\n",
              Name(c.workflow).c_str(), c.damaged ? " (damaged)" : "", run.rec.ops.size(), n);
}

INSTANTIATE_TEST_SUITE_P(Workflows, PowerCut,
                         ::testing::Values(WorkflowRun{Workflow::kStart, false},
                                           WorkflowRun{Workflow::kCompress, false},
                                           WorkflowRun{Workflow::kRepair, false},
                                           WorkflowRun{Workflow::kRegenerate, false},
                                           WorkflowRun{Workflow::kStart, true},
                                           WorkflowRun{Workflow::kRepair, true}),
                         [](const auto& i) { return RunName(i.param); });

}  // namespace
}  // namespace tidewell::whole
