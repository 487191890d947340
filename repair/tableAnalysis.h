// What the repair and the compaction did to the data: record counts of every user table
// before and after, compared table by table.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "maintenance/host.h"

namespace tidewell {

// Count markers. They are stored, compared and printed like ordinary counts.
inline constexpr int32_t kNotOpenedBefore = -1;  // before: the table did not open
inline constexpr int32_t kNotCountedAfter = -1;  // after: set by the before pass, not yet read
inline constexpr int32_t kNotOpenedAfter = -2;   // after: the table did not open

struct TableCount {
  std::string name;  // empty for a position whose table is a system table
  int32_t before = 0;
  int32_t after = 0;
};

// Entries by position of the table in the database's table collection at the first open.
// Starts with one empty entry and only grows; positions of system tables stay empty.
class TableCounts {
 public:
  TableCounts() : entries_(1) {}

  size_t Size() const { return entries_.size(); }
  TableCount& operator[](size_t position) { return entries_.at(position); }
  const TableCount& operator[](size_t position) const { return entries_.at(position); }
  // Extends the list to cover `position`; existing entries keep their values.
  void Cover(size_t position) {
    if (position >= entries_.size()) entries_.resize(position + 1);
  }

 private:
  std::vector<TableCount> entries_;
};

// "MSYS" at the start of the upper-cased name; shorter names never match.
bool IsSystemTableName(std::string_view name);

void dbCountBefore(engine::Database& database, TableCounts& list);
void dbCountAfter(engine::Database& database, TableCounts& list);
// Appends its pieces to `return_text` and shows the report box when asked to and when a
// count changed.
void dbAnalyse(Host& host, const TableCounts& list, const std::string& psDbName, bool pbShowAnalyse,
               std::string& return_text);

}  // namespace tidewell
