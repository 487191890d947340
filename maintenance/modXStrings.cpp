#include "maintenance/modXStrings.h"

#include <initializer_list>

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

}  // namespace

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
