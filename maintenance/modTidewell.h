// Regeneration: copy every user table into a new file, swap it in, then update its structure.
#pragma once

#include <cstdint>
#include <string>

#include "maintenance/host.h"

namespace tidewell {

struct RegenerateNames {
  std::string fresh;  // N: P + "_$temp.mdb"
  // K: P without its last three characters + "BKK"; empty for a path shorter than three
  // characters, whose database is then never replaced.
  std::string backup;
  // Where the new content waits, complete and synced, before it is renamed to P.
  std::string swap;
};
RegenerateNames RegenerateNamesFor(const std::string& db_path);

// Format index 0..3 to the creation option 1, 8, 16, 32; anything else to 0.
int32_t FormatOption(int16_t p_intFormat);

void dbRegenerate(Host& host, const std::string& p_strDbName, int16_t p_intFormat,
                  std::string& p_strError);
void dbAdjustStructure(Host& host, const std::string& p_strDbName,
                       const std::string& p_strTemplateDb, std::string& p_strError);

}  // namespace tidewell
