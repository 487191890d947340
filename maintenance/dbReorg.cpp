#include "maintenance/dbReorg.h"

#include <memory>
#include <optional>
#include <stdexcept>

#include "engine/change_stamp.h"
#include "engine/engine.h"
#include "engine/errors.h"
#include "engine/file_system.h"
#include "engine/notes.h"
#include "maintenance/modXStrings.h"
#include "maintenance/progress_route.h"

namespace tidewell {
namespace {

// Moves the compacted copy T to P and keeps the old P as K.
//
// The plain order (delete K, rename P to K, rename T to P) leaves a moment in which no file
// is named P, and a crash right then leaves the database only under its backup name. We
// do it so that a complete database is under P or K at every instant, and the disk never
// holds only a half-written file under either name:
//   - T is on disk before it gets here: the engine syncs the compacted copy and fails the
//     compaction when it cannot, so once T is named P its contents are on disk, not just
//     its new name (otherwise a power cut could leave an empty or torn P).
//   - T is given P's owner, group, attributes and mode, and synced again, so that whoever
//     owns P (the crawler's user) still owns what is under its name, and no cut leaves P's
//     name on a file with another owner. Where they cannot be given (a user who is not
//     root compacting another user's file), P stays as it is and T keeps the copy.
//   - K is removed: P is still the complete old database.
//   - P is hard-linked to K: both names now reach the same complete old database, and no
//     byte was copied. The folder is synced so that K exists on disk before P is replaced.
//   - T is renamed over P. rename(2) replaces the target atomically, so P is at every
//     instant either the old or the compacted database; K keeps the old one.
//   - The folder is synced so that the new P survives a crash.
// A crash at any point leaves at most a leftover T, which the next call deletes first; a
// swap that does not happen removes T itself.
//
// Failures here do not change the result, as the caller asked. Where the link is not
// possible (a file system without hard links) K is made as a synced copy instead. If K
// could not be made at all, P is left alone: renaming T over it would lose the old
// database. If the final rename fails, K is made its own copy, so that later writes to P
// cannot change the backup through the shared link.
bool SwapIntoPlace(const std::string& p, const ReorgNames& n) {
  using engine::Fate;
  engine::FileSystem& fs = engine::Files();
  if (!fs.Writable(p)) {
    engine::Tell(p, Fate::kNotReplaced, "the file is read-only");
    return false;
  }
  if (std::error_code ec = fs.TakeOwnership(p, n.temp); ec || (ec = fs.SyncFile(n.temp))) {
    engine::Tell(p, Fate::kNotReplaced,
                 "the compacted copy could not be given the owner and mode of the file (" +
                     ec.message() + ")");
    return false;
  }
  // Decided by the file system, not by the text: on a folder that ignores case "site.bak"
  // is its own backup name "site.BAK".
  if (fs.SameFile(n.backup, p)) {
    // A database named like its own backup ("site.BAK"): removing K would remove P itself.
    // There is no second name to keep the old file under, so the compacted copy takes P's
    // name in one rename and P is complete at every instant.
    if (fs.Rename(n.temp, p)) {
      engine::Tell(p, Fate::kNotReplaced, "the compacted copy could not be renamed");
      return false;
    }
    fs.SyncParentDir(p);
    engine::Tell(p, Fate::kReplaced);
    return true;
  }
  fs.Remove(n.backup);
  engine::RemoveCompanions(n.backup);
  bool backup_made = !fs.Link(p, n.backup);
  if (!backup_made && !fs.Exists(n.backup)) backup_made = !fs.Copy(p, n.backup);
  if (!backup_made) {
    engine::Tell(p, Fate::kNotReplaced, "no backup could be made as " + n.backup);
    return false;
  }
  fs.SyncParentDir(p);
  // A journal or log left under P would be played into the compacted file.
  if (engine::MoveCompanions(p, n.backup) || fs.Rename(n.temp, p)) {
    engine::MoveCompanions(n.backup, p);
    if (!fs.Remove(n.backup)) fs.Copy(p, n.backup);
    engine::Tell(p, Fate::kNotReplaced, "the compacted copy could not be renamed");
    return false;
  }
  fs.SyncParentDir(p);
  engine::Tell(p, Fate::kReplaced);
  return true;
}

}  // namespace

ReorgNames ReorgNamesFor(const std::string& db_path) {
  // Three characters are cut whatever they are: the extension is deliberately not parsed,
  // so "site.mdb" gives "site." and "site.db" gives "site".
  const std::optional<std::string> base = DropLastCharacters(db_path, 3);
  if (!base)
    throw std::invalid_argument("database path too short to derive its backup names: '" + db_path +
                                "'");
  return {*base, *base + "$", *base + "BAK"};
}

int16_t dbReorg(Host& host, const std::string& p_strDbName, int16_t p_intShowError,
                int16_t p_intAutoRepair, int16_t p_intVersion) {
  engine::PendingError err;
  ReorgNamesFor(p_strDbName);  // a path too short is refused before any file is touched
  const std::string p = engine::ResolveLinks(p_strDbName);
  const ReorgNames names = ReorgNamesFor(p);

  // T and P are different names on any folder a name of three characters or more can be
  // in; a folder that says otherwise gets no compaction rather than a removed database.
  if (engine::Files().SameFile(names.temp, p)) {
    engine::Tell(p, engine::Fate::kFailed,
                 "not compacted: its temporary name " + names.temp + " is the file itself");
    return -1;
  }
  engine::Files().Remove(names.temp);
  err.Clear();
  int16_t result = 0;
  std::string before;  // P as the last compaction found it

  const std::optional<int32_t> options =
      p_intVersion == 0 ? std::nullopt : std::optional<int32_t>(p_intVersion);
  auto compact = [&] {
    ProgressRoute route(host);
    before = engine::CommittedStamp(p);
    engine::DBEngine().CompactDatabase(p_strDbName, names.temp, std::string(engine::kGeneralLocale),
                                       options);
  };

  if (!err.Run(compact)) {
    result = -1;
    if (err.Number() == engine::kErrNotADatabase && p_intAutoRepair != 0) {
      err.Clear();
      bool repaired = err.Run([&] {
        ProgressRoute route(host);
        engine::DBEngine().RepairDatabase(p_strDbName);
      });
      if (repaired && err.Run(compact) && !err.Failed()) result = 0;
    }
    if (err.Failed()) engine::Tell(p, engine::Fate::kFailed, "not compacted: " + err.Description());
    if (err.Failed() && p_intShowError != 0) {
      // Plain concatenation: the engine's description may hold "%n%" and must show as it is.
      host.MsgBox(
          "Error during compacting! " + std::to_string(err.Number()) + ": " + err.Description(),
          vbOKOnly);
    }
  }

  if (result == 0) {
    // Where a held file cannot be renamed the swap simply fails while another program has
    // P open. Here the rename would succeed, and that program would go on writing into what
    // is then the backup. So P is held exclusively across the swap, and left alone (as a
    // failed rename leaves it) when someone else has it open.
    engine::PendingError swap_err;
    std::unique_ptr<engine::Database> guard;
    bool replaced = false;
    if (swap_err.Run([&] { guard = engine::DBEngine().OpenDatabase(p_strDbName, true); }) &&
        guard) {
      // Written to since the compaction began: T lacks that write, so it must not replace
      // P. P stays as it is, as when someone holds it.
      const std::string now = engine::ChangeStamp(p);
      if (!now.empty() && now == before)
        replaced = SwapIntoPlace(p, names);
      else
        engine::Tell(p, engine::Fate::kNotReplaced, "the file changed while it was compacted");
      swap_err.Run([&] { guard->Close(); });
    } else {
      engine::Tell(p, engine::Fate::kInUse, "another program has the file open");
    }
    // A copy that did not take P's name is of no use to anyone: P is complete as it is, and
    // the next compaction starts afresh.
    if (!replaced) {
      engine::Files().Remove(names.temp);
      engine::RemoveCompanions(names.temp);
    }
  }
  return result;
}

}  // namespace tidewell
