// A fault-injecting engine for tests: it forwards every call to the real SQLite engine,
// except the calls it was told to fail. While it exists it is the engine DBEngine()
// returns; its destructor puts the previous one back.
//
//   FaultyEngine faults;
//   faults.FailNext("CompactDatabase", 3043, "Disk full");       // the next compaction fails
//   faults.FailNext("OpenDatabase", 3049, "Damaged", 2);         // the 2nd open from now fails
//   faults.FailAlways("RepairDatabase", 3056, "Cannot repair");  // every repair fails
//   ... run the operation ...
//   EXPECT_EQ(faults.Log({"CompactDatabase"}).size(), 1u);
//
// Operation names are the method names: engine calls "OpenDatabase", "CreateDatabase",
// "CompactDatabase", "RepairDatabase", "Idle", "BeginTrans", "CommitTrans"; calls on a
// database it opened or created "Execute", "OpenTable", "TableCount" (the Count of its
// TableDefs); its other calls go straight through. A failing call throws
// EngineException{number, description} and is not passed on. Calls are counted and logged
// whether they fail or not.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/errors.h"

namespace tidewell::testing {

// 0 when the call succeeds, else the number of the engine's error.
inline int32_t ErrorOf(const std::function<void()>& call) try {
  return call(), 0;
} catch (const engine::EngineException& e) {
  return e.error().number;
}

class FaultyEngine final : public engine::DatabaseEngine {
 public:
  FaultyEngine();
  ~FaultyEngine() override;
  FaultyEngine(const FaultyEngine&) = delete;
  FaultyEngine& operator=(const FaultyEngine&) = delete;

  // The nth call of `operation` from now on (1 = the next one) fails.
  void FailNext(const std::string& operation, int32_t number, std::string description, int nth = 1);
  // Every call of `operation` from now on fails, until Clear().
  void FailAlways(const std::string& operation, int32_t number, std::string description);
  // Runs `hook` before each call of `operation` (with the call's 1-based count), e.g. to
  // kill the process at a chosen point. The hook may throw EngineException itself.
  void OnCall(const std::string& operation, std::function<void(int call)> hook);

  // Every call of the given operations since this engine was installed, in order, by
  // operation name; an Idle call carries its action ("Idle 8"), since which flush came when
  // is what tests look at ("Idle" matches it).
  std::vector<std::string> Log(const std::set<std::string>& only) const;

  // Called by the wrappers; throws when the plan says so.
  void Enter(const std::string& operation);

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
  void CompactionFollows(const std::string& name) override;
  void ReadBeforeRepair(const std::string& name,
                        std::function<void(engine::Database&)> read) override;
  void Idle(int32_t action) override;
  void BeginTrans() override;
  void CommitTrans(int32_t option) override;
  void SetProgress(engine::ProgressFn progress) override;

 private:
  struct Plan {
    std::map<int, engine::EngineError> at_call;  // absolute call number -> error
    std::optional<engine::EngineError> always;
    std::function<void(int)> hook;
  };
  void Enter(const std::string& operation, std::string logged);

  std::map<std::string, int> calls_;
  std::vector<std::string> log_;
  std::map<std::string, Plan> plans_;
  engine::DatabaseEngine* previous_;
  // Databases opened through this engine hold it weakly, so closing one after the engine
  // is gone is safe.
  std::shared_ptr<FaultyEngine*> alive_ = std::make_shared<FaultyEngine*>(this);
};

}  // namespace tidewell::testing
