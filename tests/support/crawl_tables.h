// Crawler-like databases for the compaction and repair tests, and ways to read them back
// without the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace tidewell::testing {

// A table's definition with its fields and indexes, ready to be appended.
engine::TableDef Def(const std::string& name, const std::vector<engine::Field>& fields,
                     const std::vector<engine::Index>& indexes = {});

// A crawler-like database made through our engine: each table gets an ID and a Url column
// and `rows` rows numbered from 1. `url_bytes` pads each Url so that tests can steer how
// many rows share a page.
void MakeDatabase(const std::string& path, const std::vector<std::pair<std::string, int>>& tables,
                  int url_bytes = 40);

// Rows of a table read with plain SQLite, or -1 when the file or table cannot be read.
int64_t RowCount(const std::string& path, const std::string& table);
// A digest of every row of a table in ID order (plain SQLite); empty when it cannot be read.
std::string DigestOf(const std::string& path, const std::string& table);
// The free page count from the file's header.
uint32_t FreePages(const std::string& path);

}  // namespace tidewell::testing
