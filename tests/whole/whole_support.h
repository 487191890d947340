// Shared pieces of the whole-tool tests: the real workflows run through the shared runners
// with a scripted host, and a check that no row of a database went missing.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/scripted_host.h"
#include "workflows/runners.h"

namespace tidewell::whole {

// A window that is never closed by the user, on fixed paths.
class FakeWindow : public WindowPort {
 public:
  FakeWindow(std::string db, std::string tmpl) : db_(std::move(db)), tmpl_(std::move(tmpl)) {}
  void SetBusy(bool) override {}
  std::string DbName(bool full) override { return full ? db_ : tmpl_; }
  std::string PathBoxText() override { return db_; }
  bool CloseRequested() override { return false; }
  void CloseWindow() override { ++closed; }
  int closed = 0;

 private:
  std::string db_, tmpl_;
};

const char* Name(Workflow w);
const char* ClosingMessage(Workflow w);
// Names the instances of a test run once per workflow.
inline std::string WorkflowParamName(const ::testing::TestParamInfo<Workflow>& p) {
  return Name(p.param);
}
Outcome RunWorkflow(Workflow w, testing::ScriptedHost& host, const std::string& db,
                    const std::string& tmpl);

// Every row of every table, each row as one text of its values, sorted per table. Read with
// a plain sqlite3 connection, read only. Empty when the file cannot be read whole.
struct TableRows {
  std::vector<std::string> columns;
  std::vector<std::string> rows;
};
using Contents = std::map<std::string, TableRows>;
std::optional<Contents> ReadContents(const std::string& path);
// True when `path` holds every row of every table of `original`, reading only the columns
// the original has (a regenerated file may have gained fields).
bool HoldsAll(const std::string& path, const Contents& original);
// The names under which a database may legitimately sit after any workflow: its own name,
// the compaction's backup, the regeneration's backup and the repair's damaged original.
std::vector<std::string> KeptNames(const std::string& db);
// The first of KeptNames that holds every row, or empty.
std::string WhereAllRowsAre(const std::string& db, const Contents& original);
// "ok" or the first problem PRAGMA integrity_check reports (or why the file cannot be opened).
std::string IntegrityOf(const std::string& path);

// The sample database (small), its queue database and the template in `dir`.
struct SampleFiles {
  std::string db, queue, tmpl;
};
SampleFiles MakeSmallSample(const testing::TempDir& dir, int rows = 120);
// Copies the pristine sample into a fresh folder's files (same names).
void CopyFiles(const std::vector<std::string>& from, const std::vector<std::string>& to);
// Names in `dir` that are neither in `expected` nor any of their kept names.
std::vector<std::string> StrayFiles(const std::string& dir, const std::vector<std::string>& dbs,
                                    const std::vector<std::string>& also_allowed = {});
// Breaks the pages of one table so the repair has something to salvage.
void DamageTable(const std::string& db, const std::string& table);

std::vector<std::string> BoxTexts(const testing::ScriptedHost& host);
std::string Listing(const std::string& dir);  // names, sizes and a hash of each file

}  // namespace tidewell::whole
