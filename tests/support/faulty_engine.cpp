#include "tests/support/faulty_engine.h"

namespace tidewell::testing {
namespace {

using engine::Database;

class FaultyDatabase final : public Database {
 public:
  FaultyDatabase(std::weak_ptr<FaultyEngine*> faults, std::unique_ptr<Database> real)
      : faults_(std::move(faults)), owned_(std::move(real)), real_(owned_.get()) {}
  // One the real engine lends for a call and keeps.
  FaultyDatabase(std::weak_ptr<FaultyEngine*> faults, Database& lent)
      : faults_(std::move(faults)), real_(&lent) {}

  const std::string& Name() const override { return real_->Name(); }
  bool IsOpen() const override { return real_->IsOpen(); }
  void Close() override { real_->Close(); }
  void Execute(const std::string& sql) override {
    Enter("Execute");
    real_->Execute(sql);
  }
  std::unique_ptr<engine::Recordset> OpenTable(const std::string& name) override {
    Enter("OpenTable");
    return real_->OpenTable(name);
  }
  int32_t TableCount() override {
    Enter("TableCount");
    return real_->TableCount();
  }
  // Definitions read here stay the real database's: their appends go straight to it.
  engine::TableDef ReadTable(int32_t position) override { return real_->ReadTable(position); }
  engine::TableDef ReadTable(std::string_view name) override { return real_->ReadTable(name); }
  void AppendTable(const engine::TableDef& table) override { real_->AppendTable(table); }
  void AppendField(std::string_view table, const engine::Field& field) override {
    real_->AppendField(table, field);
  }
  void AppendIndex(std::string_view table, const engine::Index& index) override {
    real_->AppendIndex(table, index);
  }

 private:
  // A database may outlive the wrapper that opened it (a test closes it late); from then on
  // it simply forwards.
  void Enter(const std::string& operation) {
    if (auto faults = faults_.lock()) (*faults)->Enter(operation);
  }
  std::weak_ptr<FaultyEngine*> faults_;
  std::unique_ptr<Database> owned_;
  Database* real_;
};

}  // namespace

FaultyEngine::FaultyEngine() : previous_(engine::SetDBEngine(this)) {}

FaultyEngine::~FaultyEngine() {
  engine::SetDBEngine(previous_ == &engine::SqliteEngine() ? nullptr : previous_);
}

void FaultyEngine::FailNext(const std::string& operation, int32_t number, std::string description,
                            int nth) {
  plans_[operation].at_call[calls_[operation] + nth] = {number, std::move(description)};
}

void FaultyEngine::FailAlways(const std::string& operation, int32_t number,
                              std::string description) {
  plans_[operation].always = engine::EngineError{number, std::move(description)};
}

void FaultyEngine::OnCall(const std::string& operation, std::function<void(int)> hook) {
  plans_[operation].hook = std::move(hook);
}

std::vector<std::string> FaultyEngine::Log(const std::set<std::string>& only) const {
  std::vector<std::string> out;
  for (const std::string& entry : log_)
    if (only.count(entry.substr(0, entry.find(' '))) != 0) out.push_back(entry);
  return out;
}

void FaultyEngine::Enter(const std::string& operation) {
  Enter(operation, operation);
}

void FaultyEngine::Enter(const std::string& operation, std::string logged) {
  log_.push_back(std::move(logged));
  int call = ++calls_[operation];
  auto it = plans_.find(operation);
  if (it == plans_.end()) return;
  Plan& plan = it->second;
  if (plan.hook) plan.hook(call);
  if (auto at = plan.at_call.find(call); at != plan.at_call.end()) {
    engine::EngineError e = at->second;
    plan.at_call.erase(at);
    throw engine::EngineException(std::move(e));
  }
  if (plan.always) throw engine::EngineException(*plan.always);
}

std::unique_ptr<engine::Database> FaultyEngine::OpenDatabase(const std::string& name,
                                                             std::optional<bool> exclusive,
                                                             std::optional<bool> readOnly,
                                                             std::optional<std::string> connect) {
  Enter("OpenDatabase");
  return std::make_unique<FaultyDatabase>(
      alive_, engine::SqliteEngine().OpenDatabase(name, exclusive, readOnly, connect));
}

std::unique_ptr<engine::Database> FaultyEngine::CreateDatabase(const std::string& name,
                                                               const std::string& locale,
                                                               int32_t option) {
  Enter("CreateDatabase");
  return std::make_unique<FaultyDatabase>(
      alive_, engine::SqliteEngine().CreateDatabase(name, locale, option));
}

void FaultyEngine::CompactDatabase(const std::string& source, const std::string& destination,
                                   const std::string& locale, std::optional<int32_t> options) {
  Enter("CompactDatabase");
  engine::SqliteEngine().CompactDatabase(source, destination, locale, options);
}

void FaultyEngine::CompactionFollows(const std::string& name) {
  engine::SqliteEngine().CompactionFollows(name);
}

void FaultyEngine::ReadBeforeRepair(const std::string& name,
                                    std::function<void(engine::Database&)> read) {
  if (!read) return engine::SqliteEngine().ReadBeforeRepair(name, {});
  engine::SqliteEngine().ReadBeforeRepair(
      name, [faults = std::weak_ptr<FaultyEngine*>(alive_), read](engine::Database& lent) {
        FaultyDatabase wrapped(faults, lent);
        read(wrapped);
      });
}

void FaultyEngine::RepairDatabase(const std::string& name) {
  Enter("RepairDatabase");
  engine::SqliteEngine().RepairDatabase(name);
}

void FaultyEngine::Idle(int32_t action) {
  Enter("Idle", "Idle " + std::to_string(action));
  engine::SqliteEngine().Idle(action);
}

void FaultyEngine::BeginTrans() {
  Enter("BeginTrans");
  engine::SqliteEngine().BeginTrans();
}

void FaultyEngine::CommitTrans(int32_t option) {
  Enter("CommitTrans");
  engine::SqliteEngine().CommitTrans(option);
}

void FaultyEngine::SetProgress(engine::ProgressFn progress) {
  engine::SqliteEngine().SetProgress(std::move(progress));
}

}  // namespace tidewell::testing
