// What became of a file, beyond what the message boxes say. The boxes belong to the
// operations and stay as they are; these notes let a front end sum a run up ("compacted
// from X to Y bytes", "not replaced: held by another program") and give an exit status
// that tells the truth. The window has no use for them and ignores them.
#pragma once

#include <functional>
#include <string_view>

namespace tidewell::engine {

enum class Fate {
  kSound,        // a repair found nothing to mend
  kRepaired,     // salvaged into a new file; detail: where the damaged original was kept
  kReplaced,     // a compacted or regenerated copy took the file's name
  kNotReplaced,  // a new copy was made, but the file keeps its old content; detail: why
  kInUse,        // another program has the file open; nothing was changed
  kFailed,       // the step could not do its work; detail: why
};

const char* FateName(Fate fate);

using NoteFn = std::function<void(std::string_view file, Fate fate, std::string_view detail)>;

// Hands a note to whoever listens (nobody, unless a front end asked).
void Tell(std::string_view file, Fate fate, std::string_view detail = {});
// Returns the listener that was in place; an empty one stops the notes.
NoteFn SetNotes(NoteFn listener);

}  // namespace tidewell::engine
