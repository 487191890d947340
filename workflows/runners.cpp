#include "workflows/runners.h"

#include <exception>
#include <optional>

#include "engine/engine.h"
#include "engine/file_system.h"
#include "engine/notes.h"
#include "maintenance/modTidewell.h"
#include "maintenance/modXDAO.h"
#include "maintenance/modXStrings.h"
#include "maintenance/progress_route.h"
#include "repair/dbRepair.h"
#include "workflows/modXFiles.h"

namespace tidewell {
namespace {

constexpr const char* kNotFoundText = "Oops, the database file '%1%' couldn't be found!";
constexpr int16_t kRegenerateFormat = 3;

// Runs one step "continue on error": whatever it throws is dropped and the next step runs.
template <class Step>
void Try(Step&& step) {
  try {
    step();
  } catch (...) {
  }
}

const char* ClosingMessage(Workflow w) {
  switch (w) {
    case Workflow::kStart:
      return "Done.";
    case Workflow::kCompress:
      return "Done with compress.";
    case Workflow::kRepair:
      return "Done with repair.";
    case Workflow::kRegenerate:
      return "Done with regeneration.";
  }
  return "Done.";
}

}  // namespace

Operations RealOperations() {
  Operations ops;
  ops.idle = [](int32_t action) { engine::DBEngine().Idle(action); };
  ops.repair = [](Host& host, const std::string& file) {
    ProgressRoute progress(host);
    std::string error;
    DbRepair_Repair(host, file, true, true, &error);
  };
  ops.adv_compress = [](Host& host, const std::string& file) {
    ProgressRoute progress(host);
    std::string error;
    DbRepair_AdvCompress(host, file, true, true, &error);
  };
  ops.adv_repair = [](Host& host, const std::string& file) {
    ProgressRoute progress(host);
    std::string error;
    DbRepair_AdvRepair(host, file, true, true, &error);
  };
  ops.regenerate = [](Host& host, const std::string& file, int16_t format) {
    ProgressRoute progress(host);
    std::string error;
    dbRegenerate(host, file, format, error);
  };
  ops.adjust_structure = [](Host& host, const std::string& file, const std::string& tmpl) {
    ProgressRoute progress(host);
    std::string error;
    dbAdjustStructure(host, file, tmpl, error);
  };
  ops.template_opens = [](Host& host, const std::string& file, const std::string& tmpl) {
    ProgressRoute route(host);
    if (TemplateOpens(host, tmpl)) return true;
    engine::Tell(file, engine::Fate::kFailed,
                 "not regenerated: the template " + tmpl + " cannot be opened");
    return false;
  };
  return ops;
}

std::string QueuePath(const std::string& p) {
  const std::optional<std::string> base = DropLastCharacters(p, 4);
  if (!base) return {};
  return *base + "-Queue.mdb";
}

Runners::Runners(Host& host, WindowPort& window, Operations ops)
    : host_(host), window_(window), ops_(std::move(ops)) {}

Outcome Runners::cmdCompress_Click() {
  return Run(Workflow::kStart);
}
Outcome Runners::cmdACompress_Click() {
  return Run(Workflow::kCompress);
}
Outcome Runners::cmdARepair_Click() {
  return Run(Workflow::kRepair);
}
Outcome Runners::cmdARegen_Click() {
  return Run(Workflow::kRegenerate);
}

std::string Runners::SourcePath(Workflow w) {
  // Start always works on the path fixed at start-up; the advanced buttons on whatever
  // the path box holds (it is locked while busy, so both reads agree).
  return w == Workflow::kStart ? window_.DbName(true) : window_.PathBoxText();
}

Outcome Runners::Run(Workflow w) {
  auto worker = [&](const std::string& file) {
    switch (w) {
      case Workflow::kStart:
        return RunRepair(file);
      case Workflow::kCompress:
        return RunAdvCompress(file);
      case Workflow::kRepair:
        return RunAdvRepair(file);
      case Workflow::kRegenerate:
        return RunRegenerate(file);
    }
    return false;
  };

  window_.SetBusy(true);
  const std::string p = SourcePath(w);
  if (!worker(p)) {
    window_.SetBusy(false);
    return Outcome::kNotFound;
  }
  host_.DoEvents();
  // A close asked for while the database was being treated is carried out here, with the
  // database finished and the queue database not yet touched.
  if (window_.CloseRequested()) {
    window_.SetBusy(false);
    return Outcome::kInterrupted;
  }

  const std::string q = QueuePath(SourcePath(w));
  if (q.empty()) {
    // Too short to lose four characters: there is no queue database to look for, so we
    // report it missing under the name the rule gives rather than search the current
    // folder for a stray "-Queue.mdb".
    NotFound("-Queue.mdb");
    window_.SetBusy(false);
    return Outcome::kNotFound;
  }
  // A queue database that is the database itself (a link to it, or a spelling a folder
  // that ignores case takes as the same name) was treated above; a second treatment would
  // put the first one's result in the backup in place of the database as it was.
  const bool same = engine::Files().SameFile(engine::ResolveLinks(q), engine::ResolveLinks(p));
  if (!same && !worker(q)) {
    window_.SetBusy(false);
    return Outcome::kNotFound;
  }
  if (window_.CloseRequested()) {
    window_.SetBusy(false);
    return Outcome::kInterrupted;
  }

  host_.MsgBox(ClosingMessage(w), vbInformation, vbOK);
  host_.DoEvents();
  if (w == Workflow::kStart) {
    window_.CloseWindow();
    return Outcome::kDone;
  }
  window_.SetBusy(false);
  return Outcome::kDone;
}

void Runners::Flush() {
  Try([&] { ops_.idle(engine::dbFreeLocks); });
  Try([&] { ops_.idle(engine::dbRefreshCache); });
}

void Runners::NotFound(const std::string& file) {
  host_.MsgBox(FormatStr(kNotFoundText, file), vbCritical, vbOK);
}

bool Runners::Work(const std::string& file, const std::function<void()>& operation) {
  host_.BeginFile(file);
  Flush();
  if (!FileExists(file)) {
    NotFound(file);
    return false;
  }
  host_.SetPointer(vbHourglass);
  host_.DoEvents();
  Try(operation);
  host_.DoEvents();
  host_.DoEvents();
  host_.SetPointer(vbDefault);
  Flush();
  host_.SetPointer(vbDefault);
  return true;
}

bool Runners::RunRepair(const std::string& p_strFile) {
  return Work(p_strFile, [&] { ops_.repair(host_, p_strFile); });
}

bool Runners::RunAdvCompress(const std::string& p_strFile) {
  return Work(p_strFile, [&] { ops_.adv_compress(host_, p_strFile); });
}

bool Runners::RunAdvRepair(const std::string& p_strFile) {
  return Work(p_strFile, [&] { ops_.adv_repair(host_, p_strFile); });
}

bool Runners::RunRegenerate(const std::string& p_strFile) {
  // The copy carries no index; only the structure update puts them back, from the
  // template. Without a template that opens, a regeneration would leave the database
  // without its unique indexes, so nothing is touched, and the workflow stops here as for
  // a missing file: the queue database is left alone too.
  bool template_opens = false;
  const bool found = Work(p_strFile, [&] {
    const std::string tmpl = window_.DbName(false);
    Try([&] { template_opens = ops_.template_opens(host_, p_strFile, tmpl); });
    if (!template_opens) return;
    // The structure update runs whatever the regeneration did.
    Try([&] { ops_.regenerate(host_, p_strFile, kRegenerateFormat); });
    Try([&] { ops_.adjust_structure(host_, p_strFile, tmpl); });
  });
  return found && template_opens;
}

}  // namespace tidewell
