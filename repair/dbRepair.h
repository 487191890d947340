// The tool's main job on one file, and its two single steps.
#pragma once

#include <cstdint>
#include <string>

#include "maintenance/host.h"

namespace tidewell {

// 0 done, 1 the engine's repair failed, -1 the repaired file did not open for the check.
int16_t DbRepair_Repair(Host& host, const std::string& psDbName, bool pbShowAnalyse,
                        bool pbShowNoGood, std::string* psReturnError = nullptr);
// Always 0; psReturnError always empty.
int16_t DbRepair_AdvCompress(Host& host, const std::string& psDbName, bool pbShowAnalyse,
                             bool pbShowNoGood, std::string* psReturnError = nullptr);
// 0, or 1 when the engine's repair failed.
int16_t DbRepair_AdvRepair(Host& host, const std::string& psDbName, bool pbShowAnalyse,
                           bool pbShowNoGood, std::string* psReturnError = nullptr);

}  // namespace tidewell
