// Databases and engines for the repair tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace tidewell::testing {

// A crawler-like database made through our engine: each table gets an ID and a Url column
// and `rows` rows numbered from 1. `url_bytes` pads each Url so that tests can steer how
// many rows share a page.
void MakeDatabase(const std::string& path, const std::vector<std::pair<std::string, int>>& tables,
                  int url_bytes = 40);

// Rows of a table read with plain SQLite, or -1 when the file or table cannot be read.
int64_t RowsOf(const std::string& path, const std::string& table);
// A digest of every row of a table in ID order (plain SQLite); empty when it cannot be read.
std::string DigestOf(const std::string& path, const std::string& table);

// An engine in front of the real one that records the order of the calls and where the
// engine's progress is routed. Installed for its lifetime. (Failures are made with
// FaultyEngine.)
class ScriptedEngine : public engine::DatabaseEngine {
 public:
  ScriptedEngine();
  ~ScriptedEngine() override;
  ScriptedEngine(const ScriptedEngine&) = delete;
  ScriptedEngine& operator=(const ScriptedEngine&) = delete;

  // Each CompactDatabase reports one step of progress before it works, so that a test can
  // see where the engine's progress goes.
  bool report_progress = false;

  std::vector<std::string> calls;                       // in order
  std::vector<std::optional<int32_t>> compact_options;  // of every CompactDatabase
  int progress_routes = 0;                              // SetProgress calls with a function
  bool progress_cleared_last = true;                    // the last SetProgress took the route away

  std::unique_ptr<engine::Database> OpenDatabase(const std::string& name,
                                                 std::optional<bool> exclusive,
                                                 std::optional<bool> readOnly,
                                                 std::optional<std::string> connect) override;
  std::unique_ptr<engine::Database> CreateDatabase(const std::string& name,
                                                   const std::string& locale,
                                                   int32_t option) override;
  void CompactDatabase(const std::string& source, const std::string& destination,
                       const std::string& locale, std::optional<int32_t> options) override;
  void RepairDatabase(const std::string& name) override;
  void Idle(int32_t action) override;
  void BeginTrans() override;
  void CommitTrans(int32_t option) override;
  void SetProgress(engine::ProgressFn progress) override;

 private:
  void Enter(const std::string& call);
  engine::DatabaseEngine* previous_ = nullptr;
  engine::ProgressFn progress_;
};

}  // namespace tidewell::testing
