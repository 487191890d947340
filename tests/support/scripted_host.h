// A host for tests: records every call in order and answers questions from a list.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "maintenance/host.h"

namespace tidewell::testing {

struct HostCall {
  enum Kind { kMsgBox, kStatus, kDoEvents, kPointer, kProgress, kNote } kind;
  std::string text = {};    // box text, caption, progress stage, or the file noted
  int value = 0;            // box style, pointer, a note's fate
  int answer = 0;           // what the box answered
  std::string detail = {};  // a note's
};

class ScriptedHost : public Host {
 public:
  ScriptedHost() = default;
  explicit ScriptedHost(std::deque<int> answers) : answers_(std::move(answers)) {}

  // A question with no queued answer gets its safe answer; a test that cares queues one.
  int MsgBox(std::string_view text, int style, int safe_answer = vbOK) override;
  void SetStatus(std::string_view caption) override;
  void DoEvents() override;
  void SetPointer(int pointer) override;
  void Progress(std::string_view stage, uint64_t done, uint64_t total) override;
  void Note(std::string_view file, engine::Fate fate, std::string_view detail) override;

  const std::vector<HostCall>& Calls() const { return calls_; }
  // The message boxes only, in order.
  std::vector<HostCall> Boxes() const;
  // Their texts; with a style, each box is expected to have it.
  std::vector<std::string> Texts(std::optional<int> style = std::nullopt) const;
  std::vector<std::string> Captions() const;
  // Each note as "file: fate detail", in order.
  std::vector<std::string> Notes() const;
  bool Noted(std::string_view file, engine::Fate fate) const;
  int ProgressCount() const { return progress_count_; }

 private:
  std::deque<int> answers_;
  std::vector<HostCall> calls_;
  int progress_count_ = 0;
};

}  // namespace tidewell::testing
