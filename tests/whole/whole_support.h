// Shared pieces of the whole-tool tests: the real workflows run through the shared runners
// with a scripted host, and what a folder and its databases hold.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/faulty_vfs.h"
#include "tests/support/files.h"
#include "tests/support/scripted_host.h"
#include "tools/sample_data.h"
#include "workflows/runners.h"

namespace tidewell::whole {

namespace fs = std::filesystem;
using testing::FaultyVfs;
using testing::ReadAll;

// Each workflow's name and the closing message its runner shows last.
inline const std::string kNames[][2] = {{"Start", "Done."},
                                        {"Compress", "Done with compress."},
                                        {"Repair", "Done with repair."},
                                        {"Regenerate", "Done with regeneration."}};
inline const auto Name = [](Workflow w) { return kNames[int(w)][0]; };
inline const auto ClosingMessage = [](Workflow w) { return kNames[int(w)][1]; };
// A workflow run on a sample, with Links broken or not (so that the repair's salvage and
// swap run too), and its name in a test's.
struct WorkflowRun {
  Workflow workflow;
  bool damaged;
};
inline std::string RunName(const WorkflowRun& c) {
  return Name(c.workflow) + (c.damaged ? "Damaged" : "");
}

// Owner, group and mode of a file, and its inode, which tells a file replaced under its name.
struct Meta {
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0;
  ino_t ino = 0;
  // Owner, group and mode; the inode is not part of what must be kept.
  bool operator==(const Meta& o) const { return uid == o.uid && gid == o.gid && mode == o.mode; }
  std::string Text() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%u:%u %04o", unsigned(uid), unsigned(gid),
                  unsigned(mode));
    return buffer;
  }
};
// A file's; where there is none, that of a file this process has just made (0600).
inline Meta MetaOf(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {::geteuid(), ::getegid(), 0600, 0};
  return {st.st_uid, st.st_gid, mode_t(st.st_mode & 07777), st.st_ino};
}

// The sample database, its queue database and the template, side by side in `dir`.
struct SampleFiles : WindowPort {  // and the window that shows them, never closed by the user
  explicit SampleFiles(const fs::path& dir)
      : db((dir / "Vardlink.mdb").string()),
        queue((dir / "Vardlink-Queue.mdb").string()),
        tmpl((dir / "Vardlink_Default.mdb").string()) {}
  std::string db, queue, tmpl;
  void SetBusy(bool) override {}
  std::string DbName(bool full) override { return full ? db : tmpl; }
  std::string PathBoxText() override { return db; }
  bool CloseRequested() override { return false; }
  void CloseWindow() override {}
};
// Made afresh: Links gets `rows` rows, or with size_mb the database is about that big.
// With `damaged`, the root page of Links is overwritten, so that the repair has something
// to salvage and its own swap runs.
inline SampleFiles MakeSample(const fs::path& dir, int rows, int size_mb, bool damaged) {
  SampleFiles f(dir);
  sample::MakeSampleDatabase(f.db, {rows, size_mb});
  sample::MakeQueueDatabase(f.queue, {rows});
  sample::MakeTemplateDatabase(f.tmpl);
  if (damaged) testing::FillPage(f.db, testing::RootPageOf(f.db, "Links"), 0x5a);
  return f;
}

// Runs `w` on `f` and returns the texts of its boxes. A run that does not end with kDone
// gets a last text of its own, so back() is the closing message only of a finished run.
inline std::vector<std::string> RunWorkflow(Workflow w, SampleFiles f,
                                            testing::ScriptedHost&& host = {}) {
  const Outcome outcome = Runners(host, f).Run(w);
  std::vector<std::string> texts = host.Texts();
  if (outcome != Outcome::kDone || texts.empty()) texts.push_back("(not finished)");
  return texts;
}

// The first column of every row of each of `sqls` on `path`, sorted, or nullopt when the
// file or a query fails. Opened for writing: a journal left by an interrupted write is rolled back
// first, as whoever opens the file next does.
using Rows = std::vector<std::string>;
inline std::optional<std::vector<Rows>> Query(const std::string& path, const Rows& sqls) {
  if (!fs::is_regular_file(path)) return std::nullopt;
  sqlite3* db = nullptr;
  std::vector<Rows> out;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  for (size_t i = 0; rc == SQLITE_OK && i < sqls.size(); ++i) {
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(db, sqls[i].c_str(), -1, &st, nullptr);
    for (out.emplace_back(); rc == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW;)
      out.back().emplace_back(static_cast<const char*>(sqlite3_column_blob(st, 0)),
                              size_t(sqlite3_column_bytes(st, 0)));
    if (rc == SQLITE_OK) rc = sqlite3_finalize(st);
    std::sort(out.back().begin(), out.back().end());
  }
  sqlite3_close(db);
  return rc == SQLITE_OK ? std::optional(out) : std::nullopt;
}
// "ok" or the first problem PRAGMA integrity_check reports (or that it could not run).
inline std::string IntegrityOf(const std::string& path) {
  const auto answer = Query(path, {"PRAGMA integrity_check"});
  return answer && !answer->front().empty() ? answer->front().front() : "cannot be checked";
}

// Every table's rows as texts of their values (types and bytes both count), sorted, by the
// query that reads them on the table's columns as they were (a regenerated table may have
// gained fields).
using Contents = std::map<std::string, Rows>;
inline std::optional<Contents> ReadContents(const std::string& path) {
  const auto selects = Query(path, {R"(SELECT 'SELECT ' || (SELECT group_concat('quote("' ||
      replace(c.name, '"', '""') || '")', '||'',''||') FROM pragma_table_info(s.name) c) ||
      ' FROM "' || replace(name, '"', '""') || '"' FROM sqlite_schema s
      WHERE type = 'table' AND name NOT LIKE 'sqlite\_%' ESCAPE '\')"});
  const auto rows = selects ? Query(path, selects->front()) : std::nullopt;
  if (!rows) return std::nullopt;
  Contents out;
  for (size_t i = 0; i < rows->size(); ++i) out[selects->front()[i]] = (*rows)[i];
  return out;
}
inline bool HoldsAll(const std::string& path, const Contents& original) {
  Rows sqls;
  std::vector<Rows> rows;
  for (const auto& [sql, r] : original) sqls.push_back(sql), rows.push_back(r);
  return Query(path, sqls) == rows;
}
// The names under which a database may sit after any workflow: its own, the compaction's
// backup, the regeneration's backup and the repair's damaged original.
inline std::vector<std::string> KeptNames(const std::string& db) {
  const std::string base = db.substr(0, db.size() - 3);
  return {db, base + "BAK", base + "BKK", db + ".damaged"};
}
inline bool AnyKeptName(const std::string& db, const std::function<bool(const std::string&)>& is) {
  const auto names = KeptNames(db);
  return std::any_of(names.begin(), names.end(), is);
}
// What is in `f`'s folder beyond its files, their kept names and the regeneration's new
// files (kept on purpose until the next regeneration).
inline std::vector<std::string> StrayFiles(const SampleFiles& f) {
  std::set<std::string> allowed{f.tmpl, f.db + "_$temp.mdb", f.queue + "_$temp.mdb"};
  for (const std::string& db : {f.db, f.queue})
    for (const std::string& n : KeptNames(db)) allowed.insert(n);
  std::vector<std::string> stray;
  for (const auto& e : fs::directory_iterator(fs::path(f.db).parent_path()))
    if (!allowed.count(e.path().string())) stray.push_back(e.path().filename().string());
  return stray;
}
// Each file of `dir` by name with its bytes.
inline std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir))
    files[e.path().filename().string()] = ReadAll(e.path().string());
  return files;
}

}  // namespace tidewell::whole
