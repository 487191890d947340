// Salvage of a damaged database: what the engine's repair does once it has found a file
// damaged. Kept behind this one function so the salvage can be improved on its own.
#pragma once

#include <cstdint>
#include <string>

#include "engine/engine.h"

namespace tidewell::engine {

struct SalvageReport {
  uint64_t pages_total = 0;      // pages in the source
  uint64_t pages_decoded = 0;    // pages that decoded as b-tree pages
  uint64_t rows_recovered = 0;   // rows written to their own table
  uint64_t rows_dropped = 0;     // rows seen but not completely readable
  uint64_t duplicate_keys = 0;   // rows dropped because their key was already written
  uint64_t rows_lost_found = 0;  // rows that fit no known table
  // rows on a page a tree reached but outside the key range it gave the page (a page of
  // another version of the file): placed after the rest, where their key is still free
  uint64_t rows_out_of_place = 0;
};

// Reads `source` (never writes it) and writes everything it can recover into a new database
// at `destination` (which must not exist), with the source's schema where it can be read.
// Throws kErrCannotRepair, leaving no destination behind, when nothing can be salvaged.
SalvageReport SalvageDatabase(const std::string& source, const std::string& destination,
                              const ProgressFn& progress);

}  // namespace tidewell::engine
