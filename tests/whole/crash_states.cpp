#include "tests/whole/crash_states.h"

#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "tests/support/files.h"

namespace tidewell::whole {

namespace fs = std::filesystem;
using testing::ReadAll;

CrashRecorder::CrashRecorder(const std::string& folder) : folder_(folder) {
  for (const auto& e : fs::directory_iterator(folder))
    rec_.base[e.path().filename().string()] = ReadAll(e.path().string());
  for (const auto& [name, bytes] : rec_.base) names_[name] = ++next_file_;
  vfs_ = std::make_unique<FaultyVfs>();
  vfs_->Observe(this);
}

CrashRecorder::~CrashRecorder() {
  vfs_->Observe(nullptr);
}

// The name within the folder, or empty for a file elsewhere (or SQLite's nameless ones).
std::string CrashRecorder::In(const char* path) const {
  const fs::path p(path ? path : "");
  return p.parent_path() == fs::path(folder_) ? p.filename().string() : std::string();
}

int CrashRecorder::FileOf(const std::string& name) {
  auto it = names_.find(name);
  if (it != names_.end()) return it->second;
  // New to us, whoever made it (SQLite, our layer, or a plain open(2) of the engine).
  names_[name] = ++next_file_;
  Push(DiskOp::kCreate, next_file_, name);
  return next_file_;
}

void CrashRecorder::Gone(const std::string& n) {
  if (!names_.count(n)) return;
  Push(DiskOp::kRemove, names_[n], n);
  names_.erase(n);
}

void CrashRecorder::SyncedNow(const std::string& path) {
  if (auto n = In(path.c_str()); !n.empty())
    Push(DiskOp::kSync, FileOf(n), n, "", 0, ReadAll(path));
}

std::error_code CrashRecorder::Remove(const std::string& path) {
  std::error_code ec = FaultyFiles::Remove(path);
  if (auto n = In(path.c_str()); !ec && !n.empty()) Gone(n);
  return ec;
}

std::error_code CrashRecorder::Rename(const std::string& from, const std::string& to) {
  std::error_code ec = FaultyFiles::Rename(from, to);
  if (auto a = In(from.c_str()), b = In(to.c_str()); !ec && !a.empty() && !b.empty()) {
    const int file = FileOf(a);
    names_.erase(a);
    names_[b] = file;
    Push(DiskOp::kRename, file, a, b);
  }
  return ec;
}

std::error_code CrashRecorder::Link(const std::string& from, const std::string& to) {
  std::error_code ec = FaultyFiles::Link(from, to);
  if (auto a = In(from.c_str()), b = In(to.c_str()); !ec && !a.empty() && !b.empty()) {
    names_[b] = FileOf(a);
    Push(DiskOp::kLink, names_[b], b);
  }
  return ec;
}

std::error_code CrashRecorder::Copy(const std::string& from, const std::string& to) {
  // Logged ahead: the copy's own sync comes through this layer before it returns.
  const std::string n = In(to.c_str());
  const bool fresh = !n.empty() && !names_.count(n) && fs::exists(from);
  if (fresh) Push(DiskOp::kWrite, FileOf(n), n, "", 0, ReadAll(from));
  std::error_code ec = FaultyFiles::Copy(from, to);
  if (ec && fresh) Gone(n);
  return ec;
}

std::error_code CrashRecorder::SyncFile(const std::string& path) {
  std::error_code ec = FaultyFiles::SyncFile(path);
  if (!ec) SyncedNow(path);
  return ec;
}

std::error_code CrashRecorder::SyncParentDir(const std::string& path) {
  std::error_code ec = FaultyFiles::SyncParentDir(path);
  if (!ec && !In(path.c_str()).empty()) Push(DiskOp::kDirSync);
  return ec;
}

void CrashRecorder::Opened(const char* name, int flags) {
  const std::string n = In(name);
  if (n.empty() || !(flags & (SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE))) return;
  FileOf(n);
  // SQLite's unix layer syncs the folder at the first sync of a journal it created.
  if ((flags & SQLITE_OPEN_CREATE) &&
      (flags & (SQLITE_OPEN_MAIN_JOURNAL | SQLITE_OPEN_SUPER_JOURNAL | SQLITE_OPEN_WAL)))
    dir_sync_due_.insert(n);
}

void CrashRecorder::Wrote(const char* name, const void* data, int n, int64_t offset) {
  if (auto f = In(name); !f.empty())
    Push(DiskOp::kWrite, FileOf(f), f, "", offset,
         std::string(static_cast<const char*>(data), static_cast<size_t>(n)));
}

void CrashRecorder::Truncated(const char* name, int64_t size) {
  if (auto f = In(name); !f.empty()) Push(DiskOp::kTruncate, FileOf(f), f, "", size);
}

void CrashRecorder::Synced(const char* name) {
  if (In(name).empty()) return;
  SyncedNow(name);
  if (dir_sync_due_.erase(In(name))) Push(DiskOp::kDirSync);
}

void CrashRecorder::Deleted(const char* name, bool sync_dir) {
  if (In(name).empty()) return;
  Gone(In(name));
  if (sync_dir) Push(DiskOp::kDirSync);
}

namespace {

using State = std::map<std::string, std::pair<int, std::string>>;  // name: file, bytes

bool FolderOp(DiskOp::Kind k) {
  return k <= DiskOp::kRemove;
}

// What is durable just before op `c`, and what is not yet.
struct Point {
  size_t c = 0, durable_end = 0;               // folder changes before durable_end are on disk
  std::vector<size_t> folder;                  // the later ones, in order
  std::map<int, std::string> synced;           // each file as its last sync saw it
  std::map<int, std::vector<size_t>> pending;  // its writes since
};

struct Choice {
  size_t k;                // how many of the unsynced folder changes reached the disk
  std::vector<char> keep;  // by op index: whether an unsynced write reached it
  size_t torn;             // the one write that reached it only up to a sector in its middle
  std::string what;
};

Point Start(const Recording& rec) {
  Point p;
  int file = 0;
  for (const auto& [name, bytes] : rec.base) p.synced[++file] = bytes;
  return p;
}

void Advance(Point& p, const DiskOp& op, size_t i) {
  if (FolderOp(op.kind)) p.folder.push_back(i);
  if (op.kind == DiskOp::kCreate) p.synced.emplace(op.file, std::string());
  if (op.kind == DiskOp::kWrite || op.kind == DiskOp::kTruncate) p.pending[op.file].push_back(i);
  if (op.kind == DiskOp::kSync) {
    p.synced[op.file] = op.data;
    p.pending[op.file].clear();
  }
  if (op.kind == DiskOp::kDirSync) {
    p.durable_end = i;
    p.folder.clear();
  }
}

State Build(const Recording& rec, const Point& p, const Choice& ch) {
  std::map<std::string, int> names;
  int file = 0;
  for (const auto& [name, bytes] : rec.base) names[name] = ++file;
  const size_t kept_end = ch.k ? p.folder[ch.k - 1] + 1 : 0;
  for (size_t i = 0; i < std::max(p.durable_end, kept_end); ++i) {
    const DiskOp& op = rec.ops[i];
    if (op.kind == DiskOp::kRename || op.kind == DiskOp::kRemove) names.erase(op.name);
    if (op.kind == DiskOp::kRename) names[op.to] = op.file;
    if (op.kind == DiskOp::kCreate || op.kind == DiskOp::kLink) names[op.name] = op.file;
  }
  State out;
  for (const auto& [name, f] : names) {
    std::string bytes = p.synced.count(f) ? p.synced.at(f) : std::string();
    if (auto it = p.pending.find(f); it != p.pending.end())
      for (size_t j : it->second) {
        const DiskOp& op = rec.ops[j];
        const size_t at = static_cast<size_t>(op.offset);
        const size_t n = j == ch.torn ? op.data.size() / 2 / 512 * 512 : op.data.size();
        if (!ch.keep[j]) continue;
        if (op.kind == DiskOp::kTruncate) bytes.resize(at);
        if (op.kind == DiskOp::kWrite && bytes.size() < at + n) bytes.resize(at + n);
        if (op.kind == DiskOp::kWrite) bytes.replace(at, n, op.data, 0, n);
      }
    out[name] = {f, std::move(bytes)};
  }
  return out;
}

// Writes a state into the emptied folder; names that share a file are hard links.
void Materialize(const State& state, const std::string& folder) {
  for (const auto& e : fs::directory_iterator(folder)) fs::remove_all(e.path());
  std::map<int, fs::path> first;
  for (const auto& [name, fc] : state) {
    const fs::path path = fs::path(folder) / name;
    if (auto [it, is_new] = first.emplace(fc.first, path); is_new)
      testing::WriteAll(path.string(), fc.second);
    else
      fs::create_hard_link(it->second, path);
  }
}

// 0, count and up to n values spread between them.
std::vector<size_t> Spread(size_t count, size_t n) {
  std::set<size_t> out{0, count};
  for (size_t i = 1; i < n; ++i) out.insert(count * i / n);
  return {out.begin(), out.end()};
}

// The states a cut just before op p.c can leave.
std::vector<Choice> Choices(const Recording& rec, const Point& p, std::mt19937& random) {
  std::vector<size_t> writes;
  for (const auto& [f, list] : p.pending) writes.insert(writes.end(), list.begin(), list.end());
  std::sort(writes.begin(), writes.end());
  const size_t m = p.folder.size(), none = SIZE_MAX;
  std::vector<char> lost(p.c, 0), kept(p.c, 0);
  for (size_t j : writes) kept[j] = 1;
  std::vector<Choice> out;
  for (size_t k : Spread(m, 8)) {
    const std::string folder = std::to_string(k) + " of " + std::to_string(m) + " folder changes";
    out.push_back({k, lost, none, folder + ", no unsynced write"});
    out.push_back({k, kept, none, folder + ", every write"});
  }
  for (const auto& [f, list] : p.pending) {
    if (list.empty()) continue;
    std::vector<char> without = kept, only = lost, half = kept;
    for (size_t j : list) without[j] = 0, only[j] = 1;
    for (size_t i = list.size() / 2; i < list.size(); ++i) half[list[i]] = 0;
    const std::string name = "file " + std::to_string(f);
    out.push_back({m, without, none, name + "'s writes lost"});
    out.push_back({m, only, none, "only " + name + "'s writes kept"});
    out.push_back({m, half, none, "the first half of " + name + "'s writes kept"});
    if (rec.ops[list.back()].data.size() >= 1024)
      out.push_back({m, kept, list.back(), name + "'s last write torn"});
  }
  // A cut at any moment since the last sync, everything before it kept in order.
  std::vector<size_t> tail = p.folder;
  tail.insert(tail.end(), writes.begin(), writes.end());
  std::sort(tail.begin(), tail.end());
  for (size_t t : Spread(tail.size(), 6)) {
    Choice ch{0, lost, none, "cut after " + std::to_string(t) + " of the unsynced"};
    for (size_t i = 0; i < t; ++i) FolderOp(rec.ops[tail[i]].kind) ? ++ch.k : ch.keep[tail[i]] = 1;
    out.push_back(ch);
  }
  for (int r = 0; r < 3 && !writes.empty(); ++r) {
    Choice ch{random() % (m + 1), lost, none, "writes kept out of order"};
    for (size_t j : writes) ch.keep[j] = static_cast<char>(random() & 1);
    out.push_back(ch);
  }
  return out;
}

}  // namespace

void WriteFinalState(const Recording& rec, const std::string& folder) {
  Point p = Start(rec);
  for (size_t i = 0; i < rec.ops.size(); ++i) Advance(p, rec.ops[i], i);
  p.c = p.durable_end = rec.ops.size();
  Materialize(Build(rec, p, {0, std::vector<char>(p.c, 1), SIZE_MAX, ""}), folder);
}

int ExploreCrashStates(const Recording& rec, const std::string& folder,
                       const std::function<bool(const std::string& where)>& check) {
  static const char* const kKinds[] = {"create", "link",     "rename", "remove",
                                       "write",  "truncate", "sync",   "folder sync"};
  std::set<std::string> seen;
  std::mt19937 random(20261206);
  Point p = Start(rec);
  // One walk through the log, stopping at each sync and at the end.
  for (size_t i = 0; i <= rec.ops.size(); ++i) {
    if (i == rec.ops.size() || rec.ops[i].kind >= DiskOp::kSync) {
      p.c = i;
      for (const Choice& ch : Choices(rec, p, random)) {
        const State state = Build(rec, p, ch);
        std::string key;
        for (const auto& [name, fc] : state)
          key += name + '\1' + std::to_string(fc.first) + '\1' +
                 std::to_string(std::hash<std::string>{}(fc.second)) + '\2';
        if (!seen.insert(key).second) continue;
        Materialize(state, folder);
        std::string at = i == rec.ops.size() ? "the end" : kKinds[rec.ops[i].kind];
        if (i < rec.ops.size() && !rec.ops[i].name.empty()) at += " " + rec.ops[i].name;
        if (!check("power cut before operation " + std::to_string(i) + " of " +
                   std::to_string(rec.ops.size()) + " (" + at + "), " + ch.what))
          return static_cast<int>(seen.size());
      }
    }
    if (i < rec.ops.size()) Advance(p, rec.ops[i], i);
  }
  return static_cast<int>(seen.size());
}

}  // namespace tidewell::whole
