// What the salvage needs to know about a table from its CREATE TABLE statement: the stored
// columns in order, each column's type affinity and which column (if any) is the rowid.
// The statement comes from a possibly damaged catalog, so the parser gives up cleanly on
// anything it does not understand instead of guessing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/pagefile/format.h"

namespace tidewell::engine::pagefile {

enum class Affinity : uint8_t { kBlob, kText, kNumeric, kInteger, kReal };

Affinity AffinityOf(std::string_view declared_type);

struct Column {
  std::string name;
  std::string declared_type;
  Affinity affinity = Affinity::kBlob;
  bool generated = false;  // a STORED generated column: in the record, computed by SQLite
};

struct TableShape {
  bool parsed = false;          // the column list was understood
  bool without_rowid = false;   // stored as an index b-tree, keyed by its primary key
  std::vector<Column> columns;  // stored columns in declaration order
  int rowid_column = -1;        // the INTEGER PRIMARY KEY column, stored as NULL
  // Declared column of each record position. A WITHOUT ROWID record holds the primary
  // key columns first, in key order, then the others as declared; a rowid table's record
  // is in declaration order.
  std::vector<int> record_order;
  size_t key_columns = 0;  // WITHOUT ROWID: how many leading record values form the key
  // WITHOUT ROWID: how each key column sorts, in key order. kOther: a collation only the
  // application knows, so the tree's order cannot be checked.
  enum class Collation : uint8_t { kBinary, kNocase, kRtrim, kOther };
  struct KeySort {
    Collation collation = Collation::kBinary;
    bool descending = false;
  };
  std::vector<KeySort> key_sort;
};

TableShape ParseCreateTable(std::string_view sql);

// Whether a record with these values can be a row of the table: not more values than
// columns, NULL in the rowid column, a value in every key column of a WITHOUT ROWID
// table, and no number where text affinity would have turned it into text. Used both to accept a
// page reached through a table's own b-tree and to choose a table for rows on pages no b-tree
// reached.
bool RecordFitsTable(const TableShape& shape, const std::vector<Value>& values);

// Same, from serial types alone (the record header), before any overflow page is read.
bool SerialTypesFitTable(const TableShape& shape, const std::vector<uint64_t>& serial_types);

// Decodes only the record header, which normally lies on the b-tree page even when the
// values overflow. False unless the header is complete in `local` and the declared
// value sizes add up to exactly `payload_size`.
bool DecodeRecordHeader(Bytes local, uint64_t payload_size, std::vector<uint64_t>* types);

// Puts the values of a record (in record order) into declaration order. False when the
// record leaves out a column that is not among the last declared ones: the row could not
// be written without guessing.
bool RecordToDeclared(const TableShape& shape, std::vector<Value>* values);

// How many columns an index statement names (-1 when it is not understood); the bare
// column names among them go to `plain_names` (expressions do not).
int IndexColumns(std::string_view create_index_sql, std::vector<std::string>* plain_names);

// The terms of an index's column list: each as written (its direction left off) and, for a
// bare column, that column's name. Empty when the statement does not read.
struct IndexTerm {
  std::string text, plain;
};
std::vector<IndexTerm> IndexTerms(std::string_view create_index_sql);

// The table an index statement is on (without its schema), or "" when it does not read.
std::string IndexTableName(std::string_view create_index_sql);

// Quotes a name for SQL ("name" with inner quotes doubled).
std::string QuoteName(std::string_view name);

}  // namespace tidewell::engine::pagefile
