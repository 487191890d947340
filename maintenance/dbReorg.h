// Compaction in place with a backup of the file as it was.
#pragma once

#include <cstdint>
#include <string>

#include "maintenance/host.h"

namespace tidewell {

struct ReorgNames {
  std::string base, temp, backup;  // B, T (B + "$"), K (B + "BAK")
};
// Throws std::invalid_argument for a path shorter than three characters.
ReorgNames ReorgNamesFor(const std::string& db_path);

// 0 when the compacted database was produced, -1 when compaction (and any repair attempt)
// failed. The swap is crash-safe: a complete database always exists under P or K.
int16_t dbReorg(Host& host, const std::string& p_strDbName, int16_t p_intShowError,
                int16_t p_intAutoRepair, int16_t p_intVersion);

}  // namespace tidewell
