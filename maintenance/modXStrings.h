// Placeholder messages: "%1%" ... are filled in ascending order; a value inserted for a
// lower number is searched again by the later steps, never by its own.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tidewell {

std::string FormatStr(std::string_view text, std::string_view a1, std::string_view a2 = {},
                      std::string_view a3 = {}, std::string_view a4 = {}, std::string_view a5 = {});

std::string FormatText(std::string_view text, std::string_view a1 = {}, std::string_view a2 = {},
                       std::string_view a3 = {}, std::string_view a4 = {}, std::string_view a5 = {},
                       std::string_view a6 = {}, std::string_view a7 = {}, std::string_view a8 = {},
                       std::string_view a9 = {}, std::string_view a10 = {},
                       std::string_view a11 = {});

// Names derived from a path are cut by characters, and paths are UTF-8: cutting bytes would
// split a letter such as "ß" and make a name nobody can type. A byte that does not start a
// valid UTF-8 sequence counts as one character, so any path can still be cut.
// `s` without its last `n` characters; nothing when it has fewer than `n`.
std::optional<std::string> DropLastCharacters(std::string_view s, size_t n);
// `s` without its first `n` characters; empty when it has no more than `n`.
std::string DropFirstCharacters(std::string_view s, size_t n);

}  // namespace tidewell
