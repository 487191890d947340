// The crawler starts us with "VL", one separator and its database path.
#pragma once

#include <string>

namespace tidewell {

struct StartupCommand {
  bool from_vardlink = false;
  std::string db_name;  // empty: use the default path
};

// `c` is the whole argument text (the arguments joined by single blanks).
StartupCommand ParseStartupCommand(const std::string& c);

}  // namespace tidewell
