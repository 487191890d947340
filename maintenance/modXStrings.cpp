#include "maintenance/modXStrings.h"

#include <initializer_list>
#include <vector>

namespace tidewell {
namespace {

// Replaces every occurrence of `placeholder`, left to right, continuing behind each
// inserted value so that a value is never searched again within the same step.
void ReplaceAll(std::string& text, const std::string& placeholder, std::string_view value) {
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(placeholder); at != std::string::npos;
       at = text.find(placeholder, from)) {
    out.append(text, from, at - from);
    out.append(value);
    from = at + placeholder.size();
  }
  if (from == 0) return;  // nothing matched
  out.append(text, from, std::string::npos);
  text = std::move(out);
}

std::string Fill(std::string_view text, std::initializer_list<std::string_view> values) {
  std::string result(text);
  int n = 1;
  for (std::string_view value : values) {
    ReplaceAll(result, "%" + std::to_string(n) + "%", value);
    ++n;
  }
  return result;
}

// Length in bytes of the character that starts at `at`.
size_t CharacterLength(std::string_view s, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
  if (at + length > s.size()) return 1;
  for (size_t i = at + 1; i < at + length; ++i)
    if ((byte(i) & 0xC0) != 0x80) return 1;
  return length;
}

}  // namespace

std::optional<std::string> DropLastCharacters(std::string_view s, size_t n) {
  std::vector<size_t> starts;
  for (size_t at = 0; at < s.size(); at += CharacterLength(s, at)) starts.push_back(at);
  if (starts.size() < n) return std::nullopt;
  return std::string(s.substr(0, n == 0 ? s.size() : starts[starts.size() - n]));
}

std::string DropFirstCharacters(std::string_view s, size_t n) {
  size_t at = 0;
  for (; n > 0 && at < s.size(); --n) at += CharacterLength(s, at);
  return std::string(s.substr(at));
}

std::string FormatStr(std::string_view text, std::string_view a1, std::string_view a2,
                      std::string_view a3, std::string_view a4, std::string_view a5) {
  return Fill(text, {a1, a2, a3, a4, a5});
}

std::string FormatText(std::string_view text, std::string_view a1, std::string_view a2,
                       std::string_view a3, std::string_view a4, std::string_view a5,
                       std::string_view a6, std::string_view a7, std::string_view a8,
                       std::string_view a9, std::string_view a10, std::string_view a11) {
  return Fill(text, {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11});
}

}  // namespace tidewell
