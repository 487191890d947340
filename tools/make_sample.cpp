// make-sample DIR [--size-mb N] [--seed N] [--shape pages|links]: writes Vardlink.mdb,
// Vardlink-Queue.mdb and Vardlink_Default.mdb into DIR (which must not hold them yet).
// The shape says where Vardlink.mdb's bulk lies: in large page bodies (the default) or, as
// in a real crawl, in millions of small link rows.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/errors.h"
#include "tools/sample_data.h"

namespace {

constexpr const char* kUsage =
    "Usage: make-sample DIR [--size-mb N] [--seed N] [--shape pages|links]\n"
    "\n"
    "Writes a sample crawler database Vardlink.mdb, its queue database Vardlink-Queue.mdb\n"
    "and a template Vardlink_Default.mdb into the folder DIR, which must not hold them yet.\n"
    "\n"
    "  --size-mb N     fill Vardlink.mdb until it is about N MB (default: a small file)\n"
    "  --seed N        seed of the made-up content (default 1)\n"
    "  --shape SHAPE   pages: the bulk in large page bodies (default); links: millions of\n"
    "                  small link rows under a unique URL index, as in a real crawl\n"
    "  -h, --help      this text\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "make-sample: %s\n%s", problem, kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  tidewell::sample::SampleOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    std::string flag = arg, value;
    if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      flag = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if (arg.rfind("--", 0) == 0) {
      if (i + 1 >= argc) return Usage((arg + " needs a value").c_str());
      value = argv[++i];
    }
    if (flag == "--size-mb") {
      options.size_mb = std::atoi(value.c_str());
    } else if (flag == "--seed") {
      options.seed = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
    } else if (flag == "--shape" && (value == "pages" || value == "links")) {
      options.shape =
          value == "links" ? tidewell::sample::Shape::kLinks : tidewell::sample::Shape::kPages;
    } else if (flag.rfind("-", 0) == 0 || !dir.empty()) {
      return Usage(("unknown option or extra argument '" + arg + "'").c_str());
    } else {
      dir = arg;
    }
  }
  if (dir.empty()) return Usage("no folder DIR given");
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
