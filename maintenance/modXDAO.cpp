#include "maintenance/modXDAO.h"

#include <memory>
#include <optional>

#include "maintenance/modXStrings.h"

namespace tidewell {
namespace {

using engine::Database;
using engine::DBEngine;
using engine::PendingError;

constexpr const char* kCrLf = "\r\n";

// The error number the walk showed last. It lives as long as the module, as the crawler's
// own tools keep it, and every UpdateDB call starts it again at 0.
int32_t g_lngLastError = 0;

bool IsSystemTable(const std::string& name) {
  std::string prefix = name.substr(0, 4);
  for (char& c : prefix)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return prefix == "MSYS";
}

// Runs the walk's steps. A failed step never stops the walk: its error is shown once per
// change of number, and the walk goes on with the next step, whose inputs keep whatever
// the failed step would have overwritten.
class Walk {
 public:
  explicit Walk(Host& host) : host_(host) {}

  template <class Step>
  void operator()(Step&& step) {
    PendingError pending;
    if (pending.Run(std::forward<Step>(step))) return;
    if (pending.Number() == g_lngLastError) return;
    host_.MsgBox(std::string("Es ist ein Fehler beim konvertieren aufgetreten: ") + kCrLf + kCrLf +
                     "Fehler " + std::to_string(pending.Number()) + " : " + pending.Description(),
                 vbCritical, vbOK);
    g_lngLastError = pending.Number();
    shown_ = true;
  }

  bool Shown() const { return shown_; }

 private:
  Host& host_;
  bool shown_ = false;
};

// Opens the template shared and read-only, as the walk reads it. When that fails, the
// user is told which file and why, and `opened` stays false.
std::unique_ptr<Database> OpenTemplate(Host& host, const std::string& templatePath, bool& opened) {
  PendingError pending;
  std::unique_ptr<Database> tpl;
  pending.Run([&] { tpl = DBEngine().OpenDatabase(templatePath, false, true, std::nullopt); });
  opened = !pending.Failed();
  if (opened) return tpl;
  const std::string message = std::string("Es ist ein Fehler beim Öffnen von '%1%' aufgetreten.") +
                              kCrLf + kCrLf + "Fehler " + std::to_string(pending.Number()) + " - " +
                              pending.Description();
  host.MsgBox(FormatText(message, templatePath), vbCritical, vbOK);
  if (tpl) {
    PendingError ignored;
    ignored.Run([&] { tpl->Close(); });
  }
  return nullptr;
}

}  // namespace

bool TemplateOpens(Host& host, const std::string& templatePath) {
  bool opened = false;
  std::unique_ptr<Database> tpl = OpenTemplate(host, templatePath, opened);
  if (tpl) {
    PendingError ignored;
    ignored.Run([&] { tpl->Close(); });
  }
  return opened;
}

void dbIdle() {
  PendingError ignored;
  ignored.Run([] { DBEngine().Idle(engine::dbFreeLocks); });
  ignored.Run([] { DBEngine().Idle(engine::dbRefreshCache); });
}

bool UpdateDB(Host& host, engine::Database& target, const std::string& templatePath) {
  g_lngLastError = 0;
  dbIdle();

  bool opened = false;
  std::unique_ptr<Database> tpl = OpenTemplate(host, templatePath, opened);
  if (!opened) return true;

  Walk walk(host);
  // Everything the walk reads lives for the whole walk: a read that fails leaves the value
  // of the last one that worked, and the add that follows uses it.
  int32_t table_count = 0, field_count = 0, index_count = 0;
  std::string table_name, field_name, index_name, index_fields;
  int32_t field_type = 0, field_size = 0, field_attributes = 0;
  bool index_unique = false, index_primary = false;

  walk([&] { table_count = tpl->TableDefs().Count(); });
  for (int32_t i = 0; i < table_count; ++i) {
    dbIdle();
    walk([&] { DBEngine().BeginTrans(); });
    walk([&] { table_name = tpl->TableDefs().Item(i).Name; });
    if (!IsSystemTable(table_name)) {
      dbAddTable(host, target, table_name);

      walk([&] { field_count = tpl->TableDefs().Item(i).Fields().Count(); });
      for (int32_t j = 0; j < field_count; ++j) {
        walk([&] {
          const engine::Field f = tpl->TableDefs().Item(i).Fields().Item(j);
          field_name = f.Name;
          field_type = f.Type;  // widened with its sign
          field_size = f.Size;
          field_attributes = f.Attributes;
        });
        dbAddField(target, table_name, field_name, field_type, field_size, field_attributes);
      }

      walk([&] { index_count = tpl->TableDefs().Item(i).Indexes().Count(); });
      for (int32_t j = 0; j < index_count; ++j) {
        walk([&] {
          const engine::Index x = tpl->TableDefs().Item(i).Indexes().Item(j);
          index_name = x.Name;
          index_fields = x.Fields;
          index_unique = x.Unique;
          index_primary = x.Primary;
        });
        dbAddIndex(target, table_name, index_name, index_fields, index_unique, index_primary);
      }
    }
    // Forcing the operating system's flush puts each table's changes on disk before the
    // next table is begun; nothing is ever rolled back.
    walk([&] { DBEngine().CommitTrans(engine::dbForceOSFlush); });
    host.DoEvents();
  }

  walk([&] { tpl->Close(); });
  host.DoEvents();
  return walk.Shown();
}

void dbAddTable(Host& host, engine::Database& db, const std::string& tableName) {
  PendingError pending;
  engine::TableDef td_new;
  pending.Run([&] {
    engine::Field fld;
    fld.Name = "leer";
    fld.Type = engine::dbByte;
    fld.Size = 1;
    td_new.Name = tableName;
    td_new.Fields().Append(fld);
  });

  pending.Clear();
  pending.Run([&] { db.TableDefs().Append(td_new); });
  if (pending.Number() != engine::kErrTableExists && pending.Number() != 0) {
    host.MsgBox("Error db.TableDefs.Append tdNew: " + std::to_string(pending.Number()) + " " +
                    pending.Description(),
                vbOKOnly, vbOK);
  }
  pending.Clear();
}

void dbAddField(engine::Database& db, const std::string& tableName, const std::string& fieldName,
                int32_t fieldType, int32_t fieldSize, int32_t attributes) {
  PendingError pending;
  engine::Field fld_new;
  pending.Clear();

  // The engine's own lookup decides whether the field is there; whatever the target has
  // under that name stays as it is.
  if (pending.Run([&] { (void)db.TableDefs().Item(tableName).Fields().Item(fieldName).Type; }))
    return;

  fld_new.Name = fieldName;
  fld_new.Type = static_cast<int16_t>(fieldType);
  fld_new.Size = fieldSize;
  fld_new.Attributes = attributes;
  fld_new.AllowZeroLength = true;
  pending.Clear();
  pending.Run([&] { db.TableDefs().Item(tableName).Fields().Append(fld_new); });
  pending.Clear();
}

void dbAddIndex(engine::Database& db, const std::string& tableName, const std::string& indexName,
                const std::string& fields, bool unique, bool primary) {
  engine::Index idx_new;
  idx_new.Name = indexName;
  idx_new.Fields = fields;
  idx_new.Unique = unique;
  idx_new.Primary = primary;
  // The name exists, a primary key exists, a field is missing: every refusal leaves the
  // table as it is, which is all the update wants.
  PendingError ignored;
  ignored.Run([&] { db.TableDefs().Item(tableName).Indexes().Append(idx_new); });
}

}  // namespace tidewell
