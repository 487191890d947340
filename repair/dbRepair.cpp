#include "repair/dbRepair.h"

#include <memory>
#include <stdexcept>

#include "engine/engine.h"
#include "engine/errors.h"
#include "maintenance/dbReorg.h"
#include "maintenance/modXDAO.h"
#include "maintenance/modXStrings.h"
#include "maintenance/progress_route.h"
#include "repair/tableAnalysis.h"

namespace tidewell {
namespace {

std::unique_ptr<engine::Database> OpenExclusive(const std::string& name) {
  return engine::DBEngine().OpenDatabase(name, true);
}

void CloseQuietly(engine::PendingError& err, std::unique_ptr<engine::Database>& db) {
  if (db) err.Run([&] { db->Close(); });
  db.reset();
}

// Runs the engine's repair and reports its failure as the pipeline and the single-step
// repair both do. Returns true when the repair failed.
bool RepairStage(Host& host, engine::PendingError& err, const std::string& psDbName,
                 bool pbShowNoGood, std::string& ret) {
  err.Clear();
  err.Run([&] {
    ProgressRoute route(host);
    engine::DBEngine().RepairDatabase(psDbName);
  });
  host.DoEvents();
  if (!err.Failed()) return false;
  const std::string number = std::to_string(err.Number());
  const std::string description = err.Description();
  if (!pbShowNoGood) return true;
  if (err.Number() == engine::kErrCannotRepair) {
    host.MsgBox(FormatStr("The database file '%1%' can't be repaired.", psDbName), vbCritical);
    ret += "; The database can't be repaired, error 3056.";
  } else {
    host.MsgBox(FormatStr("An error has occured during the repair of '%1%'.", psDbName) +
                    "\r\n\r\n" + "Error" + " " + number + " - " + description,
                vbCritical);
    ret += "; Error while repairing, Error " + number + " - " + description + ".";
  }
  return true;
}

// The compaction's result is not looked at: a failed compaction leaves the repaired file
// in place. A path too short to derive the backup names is the same kind of failure.
void CompactStage(Host& host, const std::string& psDbName) {
  try {
    dbReorg(host, psDbName, 0, 0, 0);
  } catch (const std::invalid_argument&) {
  }
}

int16_t Finish(std::string* psReturnError, const std::string& ret, int16_t result) {
  if (psReturnError) *psReturnError = ret;
  return result;
}

}  // namespace

int16_t DbRepair_Repair(Host& host, const std::string& psDbName, bool pbShowAnalyse,
                        bool pbShowNoGood, std::string* psReturnError) {
  engine::PendingError err;
  std::string ret;
  bool opened = false;
  TableCounts counts;
  std::unique_ptr<engine::Database> db;

  host.SetStatus("Opening database");
  host.DoEvents();

  // Exclusive access is tested, not required: the repair below fails in turn while
  // another program still holds the file, and that ends the run.
  err.Run([&] { db = OpenExclusive(psDbName); });
  if (err.Failed() && err.Number() != engine::kErrNotADatabase) {
    const std::string number = std::to_string(err.Number());
    const std::string description = err.Description();
    if (pbShowNoGood) {
      host.MsgBox(
          FormatStr("The database '%1%' must be available for exclusive access.", psDbName) + " " +
              "Please close all other programs using this database and try again." + "\r\n\r\n" +
              "Error" + " " + number + " - " + description,
          vbCritical);
      ret += "; Database in use: " + number + " - " + description + ".";
    }
  }
  if (!err.Failed() && db) opened = true;

  err.Clear();
  CloseQuietly(err, db);
  dbIdle();
  err.Clear();
  host.DoEvents();

  host.SetStatus("Repairing database");
  host.DoEvents();
  // The compaction below can then take the copy the repair makes beside its check.
  try {
    ReorgNamesFor(psDbName);
    engine::DBEngine().CompactionFollows(psDbName);
  } catch (const std::invalid_argument&) {
  }
  // The records are counted as the repair finds the file, while that copy is being made:
  // the two read the file once between them.
  struct CountBefore {
    const std::string& name;
    ~CountBefore() { engine::DBEngine().ReadBeforeRepair(name, {}); }
  } count_before{psDbName};
  if (opened)
    engine::DBEngine().ReadBeforeRepair(
        psDbName, [&](engine::Database& found) { dbCountBefore(found, counts); });
  const bool failed = RepairStage(host, err, psDbName, pbShowNoGood, ret);
  host.DoEvents();
  err.Clear();
  if (failed) return Finish(psReturnError, ret, 1);

  host.SetStatus("Compacting database");
  host.DoEvents();
  CompactStage(host, psDbName);
  host.DoEvents();

  if (opened) {
    host.SetStatus("Checking database");
    host.DoEvents();
    err.Clear();
    if (!err.Run([&] { db = OpenExclusive(psDbName); }) || !db) {
      const std::string number = std::to_string(err.Number());
      const std::string description = err.Description();
      if (pbShowNoGood) {
        host.MsgBox(FormatStr("I can't check the database '%1%' after the repair.", psDbName) +
                        "\r\n\r\n" + "Error " + " " + number + " - " + description,
                    vbCritical);
        ret += "; Database not checkable, Error " + number + " - " + description + ".";
      }
      return Finish(psReturnError, ret, -1);
    }
    dbCountAfter(*db, counts);
    err.Clear();
    CloseQuietly(err, db);
    err.Clear();
    host.DoEvents();
  }

  dbAnalyse(host, counts, psDbName, pbShowAnalyse, ret);
  return Finish(psReturnError, ret, 0);
}

int16_t DbRepair_AdvCompress(Host& host, const std::string& psDbName, bool /*pbShowAnalyse*/,
                             bool /*pbShowNoGood*/, std::string* psReturnError) {
  engine::PendingError err;
  std::string ret;
  dbIdle();
  err.Clear();
  host.DoEvents();
  host.SetStatus("Compacting database");
  host.DoEvents();
  CompactStage(host, psDbName);
  host.DoEvents();
  return Finish(psReturnError, ret, 0);
}

int16_t DbRepair_AdvRepair(Host& host, const std::string& psDbName, bool /*pbShowAnalyse*/,
                           bool pbShowNoGood, std::string* psReturnError) {
  engine::PendingError err;
  std::string ret;
  dbIdle();
  err.Clear();
  host.DoEvents();
  host.SetStatus("Repairing database");
  host.DoEvents();
  const bool failed = RepairStage(host, err, psDbName, pbShowNoGood, ret);
  host.DoEvents();
  return Finish(psReturnError, ret, failed ? 1 : 0);
}

}  // namespace tidewell
