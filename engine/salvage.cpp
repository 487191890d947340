#include "engine/salvage.h"

#include "engine/pagefile/salvage.h"

namespace tidewell::engine {

// The salvage reads the file format itself rather than asking SQLite for rows: SQLite stops
// at the first damaged interior page or a smashed header, and everything beneath is lost to
// it, while the pages themselves usually still hold those rows.
SalvageReport SalvageDatabase(const std::string& source, const std::string& destination,
                              const ProgressFn& progress) {
  return PageLevelSalvage(source, destination, progress);
}

}  // namespace tidewell::engine
