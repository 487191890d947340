// Page-level salvage: recovers a damaged database by reading its pages directly, so rows
// beneath a damaged interior page, behind a damaged header or on a table whose catalog
// entry survives only in part still come back. Same contract as SalvageDatabase.
#pragma once

#include <string>

#include "engine/pagefile/format.h"
#include "engine/salvage.h"

namespace tidewell::engine {

// Name of the table that takes rows the salvage could read but not place in a table.
inline constexpr const char* kLostAndFoundTable = "MSysLostAndFound";

// Reads `source` (never writes it) and writes what it can recover into a new database at
// `destination`, which must not exist: the source's tables and indexes replayed from its
// catalog, each row under its original rowid, duplicate keys kept once, rows that fit no
// table in MSysLostAndFound (with the page they came from). Rows on freelist pages were
// deleted and are not brought back. Throws kErrCannotRepair, leaving no destination, when
// no page of the source decodes; kErrDiskIo when the destination cannot be written.
SalvageReport PageLevelSalvage(const std::string& source, const std::string& destination,
                               const ProgressFn& progress);
// The same from pages read through `pages` (a file, or a disk that fails some reads);
// `source` only names it in messages.
SalvageReport PageLevelSalvage(std::unique_ptr<pagefile::ByteSource> pages,
                               const std::string& source, const std::string& destination,
                               const ProgressFn& progress);

}  // namespace tidewell::engine
