#include "engine/notes.h"

#include <mutex>
#include <string>

namespace tidewell::engine {
namespace {
// A copy made on a second thread may tell too; the listener is swapped under the lock and
// called outside it, so a listener that tells again cannot deadlock.
std::mutex g_mutex;
NoteFn g_listener;
}  // namespace

const char* FateName(Fate fate) {
  switch (fate) {
    case Fate::kSound:
      return "sound";
    case Fate::kRepaired:
      return "repaired";
    case Fate::kReplaced:
      return "replaced";
    case Fate::kNotReplaced:
      return "not_replaced";
    case Fate::kInUse:
      return "in_use";
    case Fate::kFailed:
      return "failed";
  }
  return "unknown";
}

void Tell(std::string_view file, Fate fate, std::string_view detail) {
  NoteFn listener;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    listener = g_listener;
  }
  if (listener) listener(file, fate, detail);
}

NoteFn SetNotes(NoteFn listener) {
  std::lock_guard<std::mutex> lock(g_mutex);
  std::swap(g_listener, listener);
  return listener;
}

}  // namespace tidewell::engine
