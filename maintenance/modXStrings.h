// Placeholder messages: "%1%" ... are filled in ascending order; a value inserted for a
// lower number is searched again by the later steps, never by its own.
#pragma once

#include <string>
#include <string_view>

namespace tidewell {

std::string FormatStr(std::string_view text, std::string_view a1, std::string_view a2 = {},
                      std::string_view a3 = {}, std::string_view a4 = {},
                      std::string_view a5 = {});

std::string FormatText(std::string_view text, std::string_view a1 = {}, std::string_view a2 = {},
                       std::string_view a3 = {}, std::string_view a4 = {},
                       std::string_view a5 = {}, std::string_view a6 = {},
                       std::string_view a7 = {}, std::string_view a8 = {},
                       std::string_view a9 = {}, std::string_view a10 = {},
                       std::string_view a11 = {});

}  // namespace tidewell
