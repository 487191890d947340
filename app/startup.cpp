#include "app/startup.h"

#include <cctype>

#include "maintenance/modXStrings.h"

namespace tidewell {
namespace {

// Blanks only, as the crawler pads its command line with them; tabs stay part of a path.
std::string TrimBlanks(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const size_t last = s.find_last_not_of(' ');
  return s.substr(first, last - first + 1);
}

}  // namespace

StartupCommand ParseStartupCommand(const std::string& c) {
  StartupCommand result;
  std::string keyword = (c + "  ").substr(0, 2);
  for (char& ch : keyword) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  if (keyword != "VL") return result;
  result.from_vardlink = true;
  // The third character is the separator, whatever it is; quotes are part of the path.
  result.db_name = TrimBlanks(DropFirstCharacters(c, 3));
  return result;
}

}  // namespace tidewell
