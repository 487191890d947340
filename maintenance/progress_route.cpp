#include "maintenance/progress_route.h"

#include "engine/engine.h"
#include "engine/notes.h"

namespace tidewell {
namespace {
// One user-interface thread runs every operation, so a plain counter is enough.
int g_depth = 0;
}  // namespace

ProgressRoute::ProgressRoute(Host& host) : outermost_(g_depth++ == 0) {
  if (!outermost_) return;
  engine::DBEngine().SetProgress([&host](std::string_view stage, uint64_t done, uint64_t total) {
    host.Progress(stage, done, total);
  });
  engine::SetNotes([&host](std::string_view file, engine::Fate fate, std::string_view detail) {
    host.Note(file, fate, detail);
  });
}

ProgressRoute::~ProgressRoute() {
  --g_depth;
  if (!outermost_) return;
  engine::DBEngine().SetProgress(nullptr);
  engine::SetNotes(nullptr);
}

}  // namespace tidewell
