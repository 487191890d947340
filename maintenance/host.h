// What the operations need from whoever runs them: the window, the console front end, or a
// test's scripted host. The operations never talk to a toolkit directly.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/notes.h"

namespace tidewell {

// Message-box styles and answers, as the crawler's tools number them.
enum MsgStyle : int {
  vbOKOnly = 0,
  vbYesNo = 4,
  vbCritical = 16,
  vbInformation = 64,
};
enum MsgAnswer : int { vbOK = 1, vbYes = 6, vbNo = 7 };

// Mouse pointers.
enum Pointer : int { vbDefault = 0, vbHourglass = 11 };

class Host {
 public:
  virtual ~Host() = default;

  // Shows a modal message box titled with the application's title and returns the answer.
  // `safe_answer` is the answer that changes nothing; a host that cannot ask (a console
  // run without answers) gives it.
  virtual int MsgBox(std::string_view text, int style, int safe_answer = vbOK) = 0;
  virtual void SetStatus(std::string_view caption) = 0;
  // Lets pending window events run once.
  virtual void DoEvents() = 0;
  virtual void SetPointer(int pointer) = 0;
  // How far long work is; `total` may be 0 when unknown.
  virtual void Progress(std::string_view stage, uint64_t done, uint64_t total) = 0;

  // The runner turns to another file: what follows, until the next call, concerns it.
  virtual void BeginFile(std::string_view file) { (void)file; }
  // What became of a file (see engine/notes.h). Only a front end that sums a run up
  // listens; the window keeps to its boxes.
  virtual void Note(std::string_view file, engine::Fate fate, std::string_view detail) {
    (void)file;
    (void)fate;
    (void)detail;
  }
};

}  // namespace tidewell
