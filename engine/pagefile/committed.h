// The committed content of a database file, as SQLite would see it on its next open: the
// pages a hot rollback journal holds put back over the file (the transaction it belongs to
// never committed), or the pages of the last complete commit in a write-ahead log laid over
// the file (they committed, but were not yet copied into it). Reading the bare file instead
// would take half a transaction for the database, or lose the newest commits.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/pagefile/format.h"

namespace tidewell::engine::pagefile {

// The two companion files that can change what the database file holds.
enum class Companion { kHotJournal, kWriteAheadLog };

// `main` seen through a rollback journal: the original pages it holds replace the file's,
// and the image ends at the size the database had when the transaction began. `journal`
// counts only when it is hot (a valid header and, for a transaction over several
// databases, its super-journal still there: `super_journal_exists` is asked for its name).
// Returns `main` unchanged when the journal does not apply.
std::unique_ptr<ByteSource> OverJournal(std::unique_ptr<ByteSource> main,
                                        std::unique_ptr<ByteSource> journal,
                                        bool (*super_journal_exists)(const std::string&),
                                        bool* applied = nullptr);

// `main` seen through a write-ahead log: for each page, its frame in the last complete
// commit whose frames all carry the log's salts and a valid running checksum. Returns
// `main` unchanged when no commit in the log is valid.
std::unique_ptr<ByteSource> OverWriteAheadLog(std::unique_ptr<ByteSource> main,
                                              std::unique_ptr<ByteSource> wal,
                                              bool* applied = nullptr);

// The database at `path` with whichever of `path`-journal and `path`-wal applies, which
// `applied` is told when given. Throws std::runtime_error when the database file cannot be
// opened; a companion that cannot be read counts as absent.
std::unique_ptr<ByteSource> OpenCommittedSource(const std::string& path,
                                                std::optional<Companion>* applied = nullptr);

// Whether the journal or log at `path` would change what SQLite reads from its database: a
// hot journal, or a log with a valid commit. Any other is ignored by SQLite.
bool CompanionApplies(const std::string& path, Companion kind);

}  // namespace tidewell::engine::pagefile
