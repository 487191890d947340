// Sample crawler databases for the demo, the tests and the benchmarks, written through the
// engine like the crawler's own files. Everything is deterministic for a given seed.
//
//   Vardlink.mdb          Links, Pages, Queue, Settings; primary keys and indexes; some rows
//                         deleted again so the file has free pages.
//   Vardlink-Queue.mdb    the queue database beside it (QueueDatabaseName).
//   links shape           what a crawl really holds: Links with about 3,400 small rows per MB
//                         under an INTEGER PRIMARY KEY, a unique URL index and a two-column
//                         index, a quarter of the rows deleted again in runs (free pages).
//   Vardlink_Default.mdb  the template: the sample's tables plus one table ("Sitemaps"),
//                         plus fields and indexes the sample's tables lack (see
//                         TemplateExtras()).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tidewell::sample {

// kPages: few links, the bulk in large page bodies. kLinks: the bulk in small link rows.
enum class Shape { kPages, kLinks };

struct SampleOptions {
  int32_t rows = 400;   // rows of Links (Pages gets half as many) when size_mb is 0
  int32_t size_mb = 0;  // when above 0: the file is filled until it is about this big
  uint32_t seed = 1;
  Shape shape = Shape::kPages;
};

// Each throws the engine's EngineException when the file exists or cannot be written.
void MakeSampleDatabase(const std::string& path, const SampleOptions& options = {});
void MakeQueueDatabase(const std::string& path, const SampleOptions& options = {});
void MakeTemplateDatabase(const std::string& path);

// What the template has beyond the sample: "Table", "Table.Field" and "Table!Index" names.
std::vector<std::string> TemplateExtras();

// "<path without its last 4 characters>-Queue.mdb".
std::string QueueDatabaseName(const std::string& path);

// Every table of the database (in collection order) with its row count.
std::vector<std::pair<std::string, int32_t>> TableRowCounts(const std::string& path);

}  // namespace tidewell::sample
