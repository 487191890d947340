// How the object model's tables, fields and indexes are kept in a SQLite file.
//
// Everything lives in the CREATE statements themselves, so that any copy that replays
// them (VACUUM INTO, a salvage, a make-table copy for the columns) carries it along:
// - a field's declared type is "<SQL type> TWF<type>S<size>A<attributes>Z<0|1>", e.g.
//   "VARCHAR TWF10S255A2Z1": the SQL type gives SQLite the right affinity, the second
//   word keeps the type code, size, attributes and zero-length permission exactly;
// - an index is named "tw$<length>$<table>$<flags>$<name>" (flags: 1 primary, 2 unique),
//   because SQLite's index names are global while ours are per table.
// Files written by other programs have neither; their declared types are mapped to the
// nearest type code and their keys and indexes are shown as they are.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace tidewell::engine::sqlite {

std::string DeclaredType(const Field& field);
// The field as the object model sees a column of this declared type.
Field FieldFromColumn(const std::string& name, const std::string& declared, bool rowid_alias,
                      bool autoincrement);

std::string SqliteIndexName(std::string_view table, const Index& index);

struct IndexField {
  std::string name;
  bool descending = false;
};
// Parses "+Url;-Checked" (signs optional, brackets around names allowed).
std::optional<std::vector<IndexField>> ParseIndexFields(std::string_view text);
std::string IndexFieldsText(const std::vector<IndexField>& fields);

// User tables in creation order (SQLite's own tables left out).
std::vector<std::string> ListTables(sqlite3* db, const std::string& schema = "main");
// The real spelling of a table name matched without regard to case, if it exists.
std::optional<std::string> FindTable(sqlite3* db, std::string_view name,
                                     const std::string& schema = "main");
// Fields and indexes of an existing table (name spelled as stored).
void ReadTableShape(sqlite3* db, const std::string& table, std::vector<Field>& fields,
                    std::vector<Index>& indexes);

bool IsKnownType(int16_t type);

}  // namespace tidewell::engine::sqlite
