// The parts of the object model that do not depend on the backend: collections over new
// and attached table definitions, the never-opened database and the engine in front.
#include <algorithm>
#include <cctype>

#include "engine/engine.h"

namespace tidewell::engine {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

[[noreturn]] void NotInCollection(std::string_view what, std::string_view name) {
  Raise(kErrItemNotFound,
        "Item '" + std::string(name) + "' not found in the " + std::string(what) + " collection.");
}

[[noreturn]] void PositionOutOfRange(std::string_view what, int32_t position) {
  Raise(kErrItemNotFound, "There is no item at position " + std::to_string(position) + " in the " +
                              std::string(what) + " collection.");
}

}  // namespace

TableDef TableDef::Attached(Database* owner, std::string name, std::vector<Field> fields,
                            std::vector<Index> indexes) {
  TableDef t(std::move(name));
  t.owner_ = owner;
  t.fields_ = std::move(fields);
  t.indexes_ = std::move(indexes);
  return t;
}

int32_t FieldCollection::Count() const {
  return static_cast<int32_t>(owner_->fields_.size());
}

Field FieldCollection::Item(int32_t position) const {
  if (position < 0 || position >= Count()) PositionOutOfRange("Fields", position);
  return owner_->fields_[static_cast<size_t>(position)];
}

Field FieldCollection::Item(std::string_view name) const {
  for (const Field& f : owner_->fields_)
    if (SameName(f.Name, name)) return f;
  NotInCollection("Fields of table '" + owner_->Name + "'", name);
}

void FieldCollection::Append(const Field& field) {
  if (owner_->owner_ != nullptr) {
    // Attached: the database decides, and the snapshot is refreshed from what it stored.
    owner_->owner_->AppendField(owner_->Name, field);
    *owner_ = owner_->owner_->ReadTable(owner_->Name);
    return;
  }
  if (field.Name.empty()) Raise(kErrInvalidName, "A field needs a name.");
  for (const Field& f : owner_->fields_)
    if (SameName(f.Name, field.Name))
      Raise(kErrObjectExists,
            "The field '" + field.Name + "' already exists in table '" + owner_->Name + "'.");
  owner_->fields_.push_back(field);
}

int32_t IndexCollection::Count() const {
  return static_cast<int32_t>(owner_->indexes_.size());
}

Index IndexCollection::Item(int32_t position) const {
  if (position < 0 || position >= Count()) PositionOutOfRange("Indexes", position);
  return owner_->indexes_[static_cast<size_t>(position)];
}

Index IndexCollection::Item(std::string_view name) const {
  for (const Index& i : owner_->indexes_)
    if (SameName(i.Name, name)) return i;
  NotInCollection("Indexes of table '" + owner_->Name + "'", name);
}

void IndexCollection::Append(const Index& index) {
  if (owner_->owner_ != nullptr) {
    owner_->owner_->AppendIndex(owner_->Name, index);
    *owner_ = owner_->owner_->ReadTable(owner_->Name);
    return;
  }
  if (index.Name.empty()) Raise(kErrInvalidName, "An index needs a name.");
  for (const Index& i : owner_->indexes_) {
    if (SameName(i.Name, index.Name))
      Raise(kErrObjectExists,
            "The index '" + index.Name + "' already exists on table '" + owner_->Name + "'.");
    if (i.Primary && index.Primary)
      Raise(kErrPrimaryExists,
            "Table '" + owner_->Name + "' already has a primary index ('" + i.Name + "').");
  }
  owner_->indexes_.push_back(index);
}

int32_t TableDefCollection::Count() const {
  return db_->TableCount();
}
TableDef TableDefCollection::Item(int32_t position) const {
  return db_->ReadTable(position);
}
TableDef TableDefCollection::Item(std::string_view name) const {
  return db_->ReadTable(name);
}
void TableDefCollection::Append(const TableDef& table) {
  db_->AppendTable(table);
}

namespace {

class NeverOpenDatabase final : public Database {
 public:
  explicit NeverOpenDatabase(std::string name) : name_(std::move(name)) {}
  const std::string& Name() const override { return name_; }
  bool IsOpen() const override { return false; }
  void Close() override {}
  void Execute(const std::string&) override { Fail(); }
  std::unique_ptr<Recordset> OpenTable(const std::string&) override { Fail(); }
  int32_t TableCount() override { Fail(); }
  TableDef ReadTable(int32_t) override { Fail(); }
  TableDef ReadTable(std::string_view) override { Fail(); }
  void AppendTable(const TableDef&) override { Fail(); }
  void AppendField(std::string_view, const Field&) override { Fail(); }
  void AppendIndex(std::string_view, const Index&) override { Fail(); }

 private:
  [[noreturn]] void Fail() const {
    Raise(kErrNotOpen, name_.empty() ? std::string("The database is not open.")
                                     : "The database '" + name_ + "' is not open.");
  }
  std::string name_;
};

DatabaseEngine* g_engine_override = nullptr;

}  // namespace

std::unique_ptr<Database> NotOpenDatabase(std::string name) {
  return std::make_unique<NeverOpenDatabase>(std::move(name));
}

DatabaseEngine& DBEngine() {
  return g_engine_override ? *g_engine_override : SqliteEngine();
}

DatabaseEngine* SetDBEngine(DatabaseEngine* engine) {
  DatabaseEngine* previous = &DBEngine();
  g_engine_override = engine;
  return previous;
}

}  // namespace tidewell::engine
