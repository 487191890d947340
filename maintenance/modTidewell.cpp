#include "maintenance/modTidewell.h"

#include <memory>

#include "engine/change_stamp.h"
#include "engine/engine.h"
#include "engine/file_system.h"
#include "engine/notes.h"
#include "maintenance/modXDAO.h"
#include "maintenance/modXStrings.h"

namespace tidewell {
namespace {

using engine::Database;
using engine::DBEngine;
using engine::Files;
using engine::PendingError;

constexpr const char* kCrLf = "\r\n";

std::string ErrorPart(const PendingError& pending) {
  return std::to_string(pending.Number()) + " - " + pending.Description();
}

// The engine calls Close on a closed handle harmlessly, but a handle that never came into
// being must not be touched at all.
void CloseQuietly(std::unique_ptr<Database>& db) {
  if (!db) return;
  PendingError ignored;
  ignored.Run([&] { db->Close(); });
}

// Makes K hold what P holds right now. A hard link costs nothing and keeps P in place the
// whole time; where the file system has no links, a synced copy does the same job.
bool KeepBackup(const std::string& p, const std::string& k) {
  engine::FileSystem& fs = Files();
  fs.Remove(k);
  engine::RemoveCompanions(k);
  if (!fs.Link(p, k)) return true;
  fs.Remove(k);
  if (!fs.Copy(p, k)) return true;
  fs.Remove(k);  // a half-made copy must not pass for a backup
  return false;
}

// Puts the regenerated file N under the database's own name P and keeps the previous file
// as K. P never goes missing: the old file is linked to K first, and the new content
// reaches P through a complete, synced temporary file and a single rename. A process
// killed anywhere in here leaves P with either its old or its new content.
void SwapIn(const std::string& p, const RegenerateNames& names) {
  using engine::Fate;
  engine::FileSystem& fs = Files();
  // Names compared by the file system, not by their text: on a folder that ignores case a
  // database "site.bkk" is its own backup name "site.BKK".
  if (names.backup.empty() || fs.SameFile(names.swap, p) || fs.SameFile(names.fresh, p)) {
    engine::Tell(p, Fate::kNotReplaced, "its name is too short for a backup name");
    return;
  }
  // A database its owner made read-only is not replaced; N keeps the regenerated copy.
  if (!fs.Writable(p)) {
    engine::Tell(p, Fate::kNotReplaced,
                 "the file is read-only; the regenerated copy is " + names.fresh);
    return;
  }
  // N itself is never renamed: what reaches P is the copy below, synced before its rename.
  // Without a backup of the old file the old content would be gone for good once P is
  // replaced; then the database stays as it was and N keeps the new copy. A database whose
  // name ends in BKK is its own backup name: removing K would remove P itself, so there is
  // no second name for the old file and P simply takes the new copy.
  const bool own_backup = fs.SameFile(names.backup, p);
  if (!own_backup && !KeepBackup(p, names.backup)) {
    engine::Tell(p, Fate::kNotReplaced, "no backup could be made as " + names.backup);
    return;
  }
  // When P stays as it is, K must not stay a second name of it: the crawler's next writes
  // to P would change the backup as well.
  auto keep_old = [&](const char* what, std::error_code ec) {
    fs.Remove(names.swap);
    engine::Tell(p, Fate::kNotReplaced,
                 std::string("the regenerated copy could not ") + what + " (" + ec.message() +
                     "); it is " + names.fresh);
    if (own_backup) return;
    engine::MoveCompanions(names.backup, p);
    if (!fs.Remove(names.backup)) fs.Copy(p, names.backup);
  };
  fs.Remove(names.swap);
  // The copy takes P's owner, group, attributes and mode before the sync that precedes its
  // rename: the crawler's user keeps its database, and no cut leaves P's name on a file with
  // another owner. Where they cannot be given, P stays as it is.
  // A journal or log left under P would be played into the new file.
  if (std::error_code ec = fs.Copy(names.fresh, names.swap)) return keep_old("be copied", ec);
  if (std::error_code ec = fs.TakeOwnership(p, names.swap); ec || (ec = fs.SyncFile(names.swap)))
    return keep_old("be given the owner and mode of the file", ec);
  std::error_code ec;
  if ((!own_backup && (ec = engine::MoveCompanions(p, names.backup))) ||
      (ec = fs.Rename(names.swap, p)))
    return keep_old("take its place", ec);
  fs.SyncParentDir(p);
  engine::Tell(p, Fate::kReplaced);
}

// Only a copy of what P still holds may replace it: a crawler that committed to P while the
// tables were copied would otherwise have that row kept only in the backup. The exclusive
// guard keeps every writer out while the stamp is compared and the files are swapped; a P
// held by someone else, or changed, stays as it is, and N keeps the copy.
void ReplaceDatabase(const std::string& p, const RegenerateNames& names,
                     const std::string& before) {
  PendingError ignored;
  std::unique_ptr<Database> guard;
  if (!ignored.Run([&] { guard = DBEngine().OpenDatabase(p, true); }) || !guard) {
    engine::Tell(p, engine::Fate::kInUse,
                 "another program has the file open; the regenerated copy is " + names.fresh);
    return;
  }
  const std::string now = engine::ChangeStamp(p);
  if (!now.empty() && now == before)
    SwapIn(p, names);
  else
    engine::Tell(p, engine::Fate::kNotReplaced,
                 "the file changed while it was copied; the regenerated copy is " + names.fresh);
  CloseQuietly(guard);
}

}  // namespace

RegenerateNames RegenerateNamesFor(const std::string& db_path) {
  RegenerateNames names;
  names.fresh = db_path + "_$temp.mdb";
  if (const auto base = DropLastCharacters(db_path, 3)) names.backup = *base + "BKK";
  names.swap = names.fresh + "$";
  return names;
}

int32_t FormatOption(int16_t p_intFormat) {
  switch (p_intFormat) {
    case 0:
      return 1;
    case 1:
      return 8;
    case 2:
      return 16;
    case 3:
      return 32;
    default:
      return 0;
  }
}

void dbRegenerate(Host& host, const std::string& p_strDbName, int16_t p_intFormat,
                  std::string& p_strError) {
  host.SetPointer(vbHourglass);

  const std::string p = engine::ResolveLinks(p_strDbName);
  const RegenerateNames names = RegenerateNamesFor(p);
  const std::string& n = names.fresh;
  std::string e;
  PendingError pending;
  Files().Remove(n);  // a missing N is fine; one that stays makes the creation fail below
  pending.Clear();

  std::unique_ptr<Database> fresh;
  pending.Run([&] {
    fresh = DBEngine().CreateDatabase(n, std::string(engine::kGeneralLocale),
                                      FormatOption(p_intFormat));
  });
  // N is made 0600; kept beside P, it gets P's owner and mode. Where it cannot, it stays
  // 0600, which no one but its owner can read.
  if (!pending.Failed()) Files().TakeOwnership(p, n);
  if (pending.Failed()) {
    host.MsgBox(
        "Create: " + n + ": " + std::to_string(pending.Number()) + " " + pending.Description(),
        vbOKOnly, vbOK);
    e += "; Erstellung-Fehler in " + n + " " + ErrorPart(pending);
    engine::Tell(p, engine::Fate::kFailed, "not regenerated: " + pending.Description());
    p_strError = e;
    CloseQuietly(fresh);
    host.SetPointer(vbDefault);
    return;
  }

  pending.Clear();
  const std::string before = engine::CommittedStamp(p);  // P as the copy will find it
  std::unique_ptr<Database> source;
  pending.Run([&] { source = DBEngine().OpenDatabase(p_strDbName); });
  if (pending.Failed()) {
    host.MsgBox("Open: " + p_strDbName + ": " + std::to_string(pending.Number()) + " " +
                    pending.Description(),
                vbOKOnly, vbOK);
    e += "; Öffnen-Fehler in " + p_strDbName + " " + ErrorPart(pending);
    engine::Tell(p, engine::Fate::kFailed, "not regenerated: " + pending.Description());
    p_strError = e;
    CloseQuietly(source);
    CloseQuietly(fresh);
    host.SetPointer(vbDefault);
    return;
  }

  int16_t refusals = 0;
  int32_t table_count = 0;
  // Without the list of tables there is nothing to tell a complete copy from an empty one,
  // so the database must not be replaced.
  if (!pending.Run([&] { table_count = source->TableDefs().Count(); })) ++refusals;
  for (int32_t i = 0; i < table_count; ++i) {
    std::string t;
    pending.Clear();
    // An unreadable definition leaves the name empty; the statement then fails and goes
    // through the questions like any other table that cannot be copied.
    pending.Run([&] { t = source->TableDefs().Item(i).Name; });
    std::string prefix = t.substr(0, 4);
    for (char& c : prefix)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (prefix == "MSYS") continue;

    const std::string statement = "SELECT * INTO [" + t + "] IN '" + n + "' FROM [" + t + "]";
    pending.Clear();
    pending.Run([&] { source->Execute(statement); });
    if (pending.Failed()) {
      const std::string question = std::string("Fehler bei SQL: ") + kCrLf + "Befehl '" +
                                   statement + "'" + kCrLf + "Fehler " + ErrorPart(pending) +
                                   kCrLf + kCrLf + "Weiter machen?";
      e += "; SQL-Fehler in " + statement + " " + ErrorPart(pending);
      if (host.MsgBox(question, vbYesNo, vbYes) == vbNo) break;
      if (host.MsgBox("Soll der Fehler ignoriert werden?", vbYesNo, vbNo) == vbNo) ++refusals;
      pending.Clear();
    }
    host.Progress("Copying tables", static_cast<uint64_t>(i) + 1,
                  static_cast<uint64_t>(table_count));
    host.DoEvents();
  }

  CloseQuietly(source);
  CloseQuietly(fresh);

  if (refusals == 0)
    ReplaceDatabase(p, names, before);
  else
    engine::Tell(p, engine::Fate::kNotReplaced,
                 "a table was not copied; the partial copy is " + names.fresh);

  p_strError = e;
  host.SetPointer(vbDefault);
}

void dbAdjustStructure(Host& host, const std::string& p_strDbName,
                       const std::string& p_strTemplateDb, std::string& /*p_strError*/) {
  host.SetPointer(vbHourglass);
  PendingError pending;
  std::unique_ptr<Database> db;
  pending.Run([&] { db = DBEngine().OpenDatabase(p_strDbName); });
  // The update still walks the template; every change it tries then fails on this handle
  // and is handled by the update's own rules.
  if (!db) db = engine::NotOpenDatabase(p_strDbName);
  host.Progress("Updating the structure from the template", 0, 0);
  UpdateDB(host, *db, p_strTemplateDb);
  host.Progress("Updating the structure from the template", 1, 1);
  host.SetPointer(vbDefault);
  CloseQuietly(db);
}

}  // namespace tidewell
