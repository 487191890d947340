// Small databases built through the engine for the regeneration and structure-update tests,
// and ways to look at what a file holds without going through the code under test.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "tests/support/scripted_host.h"

namespace tidewell::testing {

inline engine::Field MakeField(std::string name, int16_t type, int32_t size = 0,
                               int32_t attributes = 0, bool allow_zero_length = false) {
  engine::Field f;
  f.Name = std::move(name);
  f.Type = type;
  f.Size = size;
  f.Attributes = attributes;
  f.AllowZeroLength = allow_zero_length;
  return f;
}

inline engine::Index MakeIndex(std::string name, std::string fields, bool unique = false,
                               bool primary = false) {
  engine::Index x;
  x.Name = std::move(name);
  x.Fields = std::move(fields);
  x.Unique = unique;
  x.Primary = primary;
  return x;
}

struct TableSpec {
  std::string name;
  std::vector<engine::Field> fields;
  std::vector<engine::Index> indexes;
  std::vector<std::string> rows;  // VALUES lists, e.g. "(1, 'a')"
};

// A table name as an identifier in a statement.
inline std::string Quoted(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  return quoted + "\"";
}

inline void AddTable(engine::Database& db, const TableSpec& table) {
  engine::TableDef td(table.name);
  for (const engine::Field& f : table.fields) td.Fields().Append(f);
  for (const engine::Index& x : table.indexes) td.Indexes().Append(x);
  db.TableDefs().Append(td);
  for (const std::string& row : table.rows) {
    db.Execute("INSERT INTO " + Quoted(table.name) + " VALUES " + row);
  }
}

// Creates a database file holding the given tables, closed again.
inline void MakeDatabase(const std::string& path, const std::vector<TableSpec>& tables) {
  std::unique_ptr<engine::Database> db =
      engine::DBEngine().CreateDatabase(path, std::string(engine::kGeneralLocale), 32);
  for (const TableSpec& t : tables) AddTable(*db, t);
  db->Close();
}

struct TableShape {
  std::vector<engine::Field> fields;
  std::vector<engine::Index> indexes;
};

// Tables, fields and indexes as the engine reads them back, by table name.
inline std::map<std::string, TableShape> ShapeOf(const std::string& path) {
  std::map<std::string, TableShape> shape;
  std::unique_ptr<engine::Database> db = engine::DBEngine().OpenDatabase(path);
  const int32_t n = db->TableDefs().Count();
  for (int32_t i = 0; i < n; ++i) {
    engine::TableDef td = db->TableDefs().Item(i);
    shape[td.Name] = {td.FieldList(), td.IndexList()};
  }
  db->Close();
  return shape;
}

inline std::vector<std::string> FieldNames(const TableShape& t) {
  std::vector<std::string> names;
  for (const engine::Field& f : t.fields) names.push_back(f.Name);
  return names;
}

inline std::vector<std::string> IndexNames(const TableShape& t) {
  std::vector<std::string> names;
  for (const engine::Index& x : t.indexes) names.push_back(x.Name);
  return names;
}

inline std::optional<engine::Field> FindField(const TableShape& t, const std::string& name) {
  for (const engine::Field& f : t.fields)
    if (f.Name == name) return f;
  return std::nullopt;
}

inline std::optional<engine::Index> FindIndex(const TableShape& t, const std::string& name) {
  for (const engine::Index& x : t.indexes)
    if (x.Name == name) return x;
  return std::nullopt;
}

// Every row of one table as text, sorted: the order rows come back in is not the point.
inline std::vector<std::string> RowsOf(const std::string& path, const std::string& table) {
  sqlite3* db = nullptr;
  std::vector<std::string> rows;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, ("SELECT * FROM " + Quoted(table)).c_str(), -1, &st, nullptr) ==
      SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int c = 0; c < sqlite3_column_count(st); ++c) {
        const unsigned char* v = sqlite3_column_text(st, c);
        row += (v ? std::string(reinterpret_cast<const char*>(v)) : std::string("<null>")) + "|";
      }
      rows.push_back(row);
    }
  } else {
    ADD_FAILURE() << "cannot read " << table << " in " << path << ": " << sqlite3_errmsg(db);
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// What a database holds, table by table, as far as a user of the crawler could tell:
// the tables the engine lists and every row of each.
inline std::map<std::string, std::vector<std::string>> ContentOf(const std::string& path) {
  std::map<std::string, std::vector<std::string>> content;
  for (const auto& [name, shape] : ShapeOf(path)) content[name] = RowsOf(path, name);
  return content;
}

// The same without the engine's system tables, which a regeneration does not carry over.
inline std::map<std::string, std::vector<std::string>> UserContentOf(const std::string& path) {
  std::map<std::string, std::vector<std::string>> content = ContentOf(path);
  std::erase_if(content, [](const auto& entry) {
    std::string prefix = entry.first.substr(0, 4);
    for (char& c : prefix) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return prefix == "MSYS";
  });
  return content;
}

inline std::vector<std::string> BoxTexts(const ScriptedHost& host) {
  std::vector<std::string> texts;
  for (const HostCall& c : host.Boxes()) texts.push_back(c.text);
  return texts;
}

inline std::vector<int> Pointers(const ScriptedHost& host) {
  std::vector<int> pointers;
  for (const HostCall& c : host.Calls())
    if (c.kind == HostCall::kPointer) pointers.push_back(c.value);
  return pointers;
}

}  // namespace tidewell::testing
