#include "engine/sqlite_schema.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>

#include "engine/sqlite_support.h"

namespace tidewell::engine::sqlite {
namespace {

const char* SqlBase(int16_t type) {
  switch (type) {
    case dbBoolean:
      return "BOOLEAN";
    case dbByte:
      return "TINYINT";
    case dbInteger:
      return "SMALLINT";
    case dbLong:
      return "INTEGER";
    case dbCurrency:
      return "DECIMAL";
    case dbSingle:
      return "FLOAT";
    case dbDouble:
      return "DOUBLE";
    case dbDate:
      return "DATETIME";
    case dbBinary:
      return "BLOB";
    case dbText:
      return "VARCHAR";
    case dbLongBinary:
      return "BLOB";
    case dbMemo:
      return "TEXT";
    case dbGUID:
      return "CHAR";
    default:
      return "";
  }
}

int32_t NaturalSize(int16_t type) {
  switch (type) {
    case dbBoolean:
    case dbByte:
      return 1;
    case dbInteger:
      return 2;
    case dbLong:
    case dbSingle:
      return 4;
    case dbCurrency:
    case dbDouble:
    case dbDate:
      return 8;
    case dbGUID:
      return 16;
    case dbText:
    case dbBinary:
      return 255;
    default:
      return 0;
  }
}

bool IsVariable(int16_t type) {
  return type == dbText || type == dbBinary || type == dbMemo || type == dbLongBinary;
}

// "TWF10S255A2Z1" anywhere in the declared type.
bool ParseMarker(const std::string& declared, Field& field) {
  for (size_t pos = declared.find("TWF"); pos != std::string::npos;
       pos = declared.find("TWF", pos + 1)) {
    if (pos > 0 && !std::isspace(static_cast<unsigned char>(declared[pos - 1]))) continue;
    int type = 0, zero = 0, consumed = 0;
    long size = 0;
    unsigned long attributes = 0;
    if (std::sscanf(declared.c_str() + pos, "TWF%dS%ldA%luZ%d%n", &type, &size, &attributes, &zero,
                    &consumed) == 4 &&
        consumed > 0) {
      field.Type = static_cast<int16_t>(type);
      field.Size = static_cast<int32_t>(size);
      field.Attributes = static_cast<int32_t>(static_cast<uint32_t>(attributes));
      field.AllowZeroLength = zero != 0;
      return true;
    }
  }
  return false;
}

bool Has(const std::string& upper, const char* word) {
  return upper.find(word) != std::string::npos;
}

// "tw$<length of table name>$<table>$<flags>$<name>"; the length keeps the parts apart
// whatever the names hold, and still after the table is renamed.
std::optional<std::pair<int, std::string>> ParseIndexName(const std::string& name) {
  if (name.rfind("tw$", 0) != 0) return std::nullopt;
  size_t pos = 3;
  size_t length = 0;
  while (pos < name.size() && std::isdigit(static_cast<unsigned char>(name[pos])))
    length = length * 10 + static_cast<size_t>(name[pos++] - '0');
  if (pos == 3 || pos >= name.size() || name[pos] != '$') return std::nullopt;
  pos += 1 + length;
  if (pos + 3 > name.size() || name[pos] != '$' ||
      !std::isdigit(static_cast<unsigned char>(name[pos + 1])) || name[pos + 2] != '$')
    return std::nullopt;
  return std::make_pair(name[pos + 1] - '0', name.substr(pos + 3));
}

}  // namespace

bool IsKnownType(int16_t type) {
  return SqlBase(type)[0] != '\0';
}

std::string DeclaredType(const Field& field) {
  return std::string(SqlBase(field.Type)) + " TWF" + std::to_string(field.Type) + "S" +
         std::to_string(field.Size) + "A" +
         std::to_string(static_cast<uint32_t>(field.Attributes)) + "Z" +
         (field.AllowZeroLength ? "1" : "0");
}

Field FieldFromColumn(const std::string& name, const std::string& declared, bool rowid_alias,
                      bool autoincrement) {
  Field f;
  f.Name = name;
  if (ParseMarker(declared, f)) return f;

  // Nearest type code for a declared type written by another program; the order of the
  // tests follows SQLite's own affinity rules where they overlap.
  std::string u = Upper(declared);
  int32_t size = 0;
  if (auto open = u.find('('); open != std::string::npos) size = std::atoi(u.c_str() + open + 1);
  if (Has(u, "BOOL") || Has(u, "BIT")) {
    f.Type = dbBoolean;
  } else if (Has(u, "TINYINT")) {
    f.Type = dbByte;
  } else if (Has(u, "SMALLINT")) {
    f.Type = dbInteger;
  } else if (Has(u, "INT")) {
    f.Type = dbLong;
  } else if (Has(u, "GUID") || Has(u, "UUID")) {
    f.Type = dbGUID;
  } else if (Has(u, "CHAR") && !Has(u, "TEXT") && !Has(u, "CLOB") && size <= 255) {
    f.Type = dbText;
    f.Size = size;
  } else if (Has(u, "CHAR") || Has(u, "CLOB") || Has(u, "TEXT")) {
    f.Type = dbMemo;
  } else if (Has(u, "BINARY") && size > 0 && size <= 255) {
    f.Type = dbBinary;
    f.Size = size;
  } else if (Has(u, "BLOB") || Has(u, "BINARY")) {
    f.Type = dbLongBinary;
  } else if (Has(u, "REAL") || Has(u, "DOUB") || Has(u, "FLOA")) {
    f.Type = dbDouble;
  } else if (Has(u, "DATE") || Has(u, "TIME")) {
    f.Type = dbDate;
  } else if (Has(u, "MONEY") || Has(u, "CURRENCY") || Has(u, "DECIMAL")) {
    f.Type = dbCurrency;
  } else if (u.empty()) {
    // No declared type holds anything; text is the closest we can show.
    f.Type = dbMemo;
  } else {
    f.Type = dbDouble;  // NUMERIC affinity and anything unknown
  }
  if (f.Size == 0) f.Size = NaturalSize(f.Type);
  f.Attributes = IsVariable(f.Type) ? dbVariableField : dbFixedField;
  if (rowid_alias && autoincrement) f.Attributes |= dbAutoIncrField;
  f.AllowZeroLength = f.Type == dbText || f.Type == dbMemo;
  return f;
}

std::string SqliteIndexName(std::string_view table, const Index& index) {
  int flags = (index.Primary ? 1 : 0) | (index.Unique ? 2 : 0);
  return "tw$" + std::to_string(table.size()) + "$" + std::string(table) + "$" +
         std::to_string(flags) + "$" + index.Name;
}

std::optional<std::vector<IndexField>> ParseIndexFields(std::string_view text) {
  std::vector<IndexField> out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view part = text.substr(start, end - start);
    while (!part.empty() && std::isspace(static_cast<unsigned char>(part.front())))
      part.remove_prefix(1);
    while (!part.empty() && std::isspace(static_cast<unsigned char>(part.back())))
      part.remove_suffix(1);
    IndexField f;
    if (!part.empty() && (part.front() == '+' || part.front() == '-')) {
      f.descending = part.front() == '-';
      part.remove_prefix(1);
    }
    if (part.size() >= 2 && part.front() == '[' && part.back() == ']')
      part = part.substr(1, part.size() - 2);
    if (part.empty()) return std::nullopt;
    f.name = std::string(part);
    out.push_back(std::move(f));
    start = end + 1;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

std::string IndexFieldsText(const std::vector<IndexField>& fields) {
  std::string out;
  for (const IndexField& f : fields) {
    if (!out.empty()) out += ';';
    out += (f.descending ? '-' : '+');
    out += f.name;
  }
  return out;
}

std::vector<std::string> ListTables(sqlite3* db, const std::string& schema) {
  Statement st(db, "SELECT name FROM " + QuoteId(schema) +
                       ".sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite\\_%' "
                       "ESCAPE '\\' ORDER BY rowid");
  std::vector<std::string> names;
  int rc;
  while ((rc = st.Step()) == SQLITE_ROW) names.push_back(st.Text(0));
  if (rc != SQLITE_DONE) RaiseResult(db, rc, "Cannot read the list of tables");
  return names;
}

std::optional<std::string> FindTable(sqlite3* db, std::string_view name,
                                     const std::string& schema) {
  for (const std::string& t : ListTables(db, schema))
    if (SameName(t, name)) return t;
  return std::nullopt;
}

void ReadTableShape(sqlite3* db, const std::string& table, std::vector<Field>& fields,
                    std::vector<Index>& indexes) {
  fields.clear();
  indexes.clear();
  struct Column {
    std::string name, type;
    int pk;
  };
  std::vector<Column> columns;
  {
    Statement st(db, "SELECT name, type, pk FROM pragma_table_info(?1) ORDER BY cid");
    st.Bind(1, table);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW)
      columns.push_back({st.Text(0), st.Text(1), static_cast<int>(st.Int(2))});
    if (rc != SQLITE_DONE) RaiseResult(db, rc, "Cannot read the fields of table '" + table + "'");
  }
  // Index list facts (unique, origin) by SQLite name.
  struct ListInfo {
    bool unique;
    std::string origin;
  };
  std::map<std::string, ListInfo> info;
  bool without_rowid_pk = false;
  {
    Statement st(db, "SELECT name, \"unique\", origin FROM pragma_index_list(?1)");
    st.Bind(1, table);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
      info[st.Text(0)] = {st.Int(1) != 0, st.Text(2)};
      if (st.Text(2) == "pk") without_rowid_pk = true;
    }
    if (rc != SQLITE_DONE) RaiseResult(db, rc, "Cannot read the indexes of table '" + table + "'");
  }
  int pk_columns = 0;
  for (const Column& c : columns) pk_columns += c.pk > 0 ? 1 : 0;
  const Column* alias = nullptr;
  if (pk_columns == 1 && !without_rowid_pk)
    for (const Column& c : columns)
      if (c.pk > 0 && Upper(c.type) == "INTEGER") alias = &c;
  // Only a rowid alias can count up by itself. The catalog has no index on names, so it is
  // read only when the answer matters: a file of thousands of tables reads every table.
  bool autoincrement = false;
  if (alias != nullptr) {
    Statement st(db, "SELECT sql FROM sqlite_schema WHERE type = 'table' AND name = ?1");
    st.Bind(1, table);
    if (st.Step() == SQLITE_ROW)
      autoincrement = Upper(st.Text(0)).find("AUTOINCREMENT") != std::string::npos;
  }
  for (const Column& c : columns)
    fields.push_back(FieldFromColumn(c.name, c.type, &c == alias, autoincrement));

  if (alias != nullptr) {
    // An INTEGER PRIMARY KEY is the rowid itself and has no index of its own in the file.
    indexes.push_back(Index{"PrimaryKey", true, true, "+" + alias->name});
  }
  std::vector<std::string> names;
  if (!info.empty()) {  // every index of the table is in the list, so none means none
    Statement st(db,
                 "SELECT name FROM sqlite_schema WHERE type = 'index' AND tbl_name = ?1 "
                 "ORDER BY rowid");
    st.Bind(1, table);
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) names.push_back(st.Text(0));
    if (rc != SQLITE_DONE) RaiseResult(db, rc, "Cannot read the indexes of table '" + table + "'");
  }
  // The key of a WITHOUT ROWID table is the table's own b-tree and has no catalog row.
  for (const auto& [name, li] : info)
    if (li.origin == "pk" && std::find(names.begin(), names.end(), name) == names.end())
      names.insert(names.begin(), name);
  int unique_constraints = 0;
  for (const std::string& sqlite_name : names) {
    Index index;
    auto it = info.find(sqlite_name);
    ListInfo li = it != info.end() ? it->second : ListInfo{false, "c"};
    if (auto ours = ParseIndexName(sqlite_name)) {
      index.Name = ours->second;
      index.Primary = (ours->first & 1) != 0;
      index.Unique = (ours->first & 2) != 0;
    } else if (li.origin == "pk") {
      index.Name = "PrimaryKey";
      index.Primary = true;
      index.Unique = true;
    } else if (li.origin == "u") {
      index.Name = "UniqueConstraint" + std::to_string(++unique_constraints);
      index.Unique = true;
    } else {
      index.Name = sqlite_name;
      index.Unique = li.unique;
    }
    std::vector<IndexField> parts;
    Statement cols(db,
                   "SELECT name, desc FROM pragma_index_xinfo(?1) WHERE key = 1 ORDER BY seqno");
    cols.Bind(1, sqlite_name);
    int crc;
    while ((crc = cols.Step()) == SQLITE_ROW)
      parts.push_back(
          {cols.IsNull(0) ? std::string("(expression)") : cols.Text(0), cols.Int(1) != 0});
    if (crc != SQLITE_DONE)
      RaiseResult(db, crc, "Cannot read the fields of index '" + index.Name + "'");
    index.Fields = IndexFieldsText(parts);
    indexes.push_back(std::move(index));
  }
}

}  // namespace tidewell::engine::sqlite
