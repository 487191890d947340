#include "tests/support/scripted_host.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tidewell::testing {

int ScriptedHost::MsgBox(std::string_view text, int style, int safe_answer) {
  int answer = safe_answer;
  if ((style & 0x7) == vbYesNo) {
    if (!answers_.empty()) {
      answer = answers_.front();
      answers_.pop_front();
    }
  } else {
    answer = vbOK;
  }
  calls_.push_back({HostCall::kMsgBox, std::string(text), style, answer});
  return answer;
}

void ScriptedHost::SetStatus(std::string_view caption) {
  calls_.push_back({HostCall::kStatus, std::string(caption), 0, 0});
}

void ScriptedHost::DoEvents() {
  calls_.push_back({HostCall::kDoEvents, {}, 0, 0});
}

void ScriptedHost::SetPointer(int pointer) {
  calls_.push_back({HostCall::kPointer, {}, pointer, 0});
}

// Progress is counted, not recorded: long runs would otherwise drown the interesting calls.
void ScriptedHost::Progress(std::string_view, uint64_t, uint64_t) {
  ++progress_count_;
}

void ScriptedHost::Note(std::string_view file, engine::Fate fate, std::string_view detail) {
  calls_.push_back({HostCall::kNote, std::string(file), int(fate), 0, std::string(detail)});
}

std::vector<std::string> ScriptedHost::Notes() const {
  std::vector<std::string> notes;
  for (const HostCall& c : calls_)
    if (c.kind == HostCall::kNote)
      notes.push_back(c.text + ": " + engine::FateName(engine::Fate(c.value)) +
                      (c.detail.empty() ? "" : " " + c.detail));
  return notes;
}

bool ScriptedHost::Noted(std::string_view file, engine::Fate fate) const {
  return std::ranges::any_of(calls_, [&](const HostCall& c) {
    return c.kind == HostCall::kNote && c.text == file && c.value == int(fate);
  });
}

std::vector<HostCall> ScriptedHost::Boxes() const {
  std::vector<HostCall> boxes;
  for (const HostCall& c : calls_)
    if (c.kind == HostCall::kMsgBox) boxes.push_back(c);
  return boxes;
}

std::vector<std::string> ScriptedHost::Texts(std::optional<int> style) const {
  std::vector<std::string> texts;
  for (const HostCall& box : Boxes()) {
    if (style) {
      EXPECT_EQ(box.value, *style) << box.text;
    }
    texts.push_back(box.text);
  }
  return texts;
}

std::vector<std::string> ScriptedHost::Captions() const {
  std::vector<std::string> captions;
  for (const HostCall& c : calls_)
    if (c.kind == HostCall::kStatus) captions.push_back(c.text);
  return captions;
}

}  // namespace tidewell::testing
