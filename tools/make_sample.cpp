// make-sample DIR [--size-mb N] [--seed N] [--shape pages|links]: writes Vardlink.mdb,
// Vardlink-Queue.mdb and Vardlink_Default.mdb into DIR (which must not hold them yet).
// The shape says where Vardlink.mdb's bulk lies: in large page bodies (the default) or, as
// in a real crawl, in millions of small link rows.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/errors.h"
#include "tools/sample_data.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make-sample DIR [--size-mb N] [--seed N] [--shape pages|links]\n");
    return 2;
  }
  std::string dir = argv[1];
  tidewell::sample::SampleOptions options;
  for (int i = 2; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    if (flag == "--size-mb") {
      options.size_mb = std::atoi(argv[i + 1]);
    } else if (flag == "--seed") {
      options.seed = static_cast<uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
    } else if (flag == "--shape" &&
               (std::string(argv[i + 1]) == "pages" || std::string(argv[i + 1]) == "links")) {
      options.shape = std::string(argv[i + 1]) == "links" ? tidewell::sample::Shape::kLinks
                                                          : tidewell::sample::Shape::kPages;
    } else {
      std::fprintf(stderr, "make-sample: unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  try {
    std::string main_db = dir + "/Vardlink.mdb";
    tidewell::sample::MakeSampleDatabase(main_db, options);
    tidewell::sample::MakeQueueDatabase(tidewell::sample::QueueDatabaseName(main_db), options);
    tidewell::sample::MakeTemplateDatabase(dir + "/Vardlink_Default.mdb");
    for (const auto& [table, rows] : tidewell::sample::TableRowCounts(main_db))
      std::printf("Vardlink.mdb  %-10s %d rows\n", table.c_str(), rows);
  } catch (const tidewell::engine::EngineException& e) {
    std::fprintf(stderr, "make-sample: error %d: %s\n", e.error().number,
                 e.error().description.c_str());
    return 1;
  }
  return 0;
}
