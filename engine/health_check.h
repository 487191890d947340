// Whether a database file is healthy enough to be left as it is by the repair.
//
// SQLite's integrity_check is not enough on its own (3.40 skips the page accounting when
// the schema holds a view) and too slow on a crawl (one b-tree probe per row and index).
// This check finds at least what integrity_check finds, in about three sequential reads:
// our page accounting, SQLite's quick_check (structure, records, NOT NULL, CHECK), and
// each index compared with its table as two order-independent sums over the same tuples,
// one from the index read in key order (which also checks its order and uniqueness), one
// from the table's rows. That comparison reads the b-trees straight from the file, on a
// thread of its own beside quick_check; tables whose entries only SQLite can rebuild
// (generated columns, WITHOUT ROWID, rows older than a column) are summed by SQLite.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>

namespace tidewell::engine {

struct HealthVerdict {
  bool healthy = false;
  std::string problem;  // the first thing found wrong, empty when healthy
};

// `db` is open on `path` and holds it so that nothing writes it meanwhile. Progress is
// (done, total) in units of pages read. Errors of the statements count as damage.
HealthVerdict CheckDatabaseHealth(sqlite3* db, const std::string& path,
                                  const std::function<void(uint64_t, uint64_t)>& progress);

// The reference: SQLite's integrity_check alone (kept for tests and benchmarks).
HealthVerdict IntegrityCheckVerdict(sqlite3* db);

}  // namespace tidewell::engine
