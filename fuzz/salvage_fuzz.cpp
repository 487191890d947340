// Fuzz target: the page reader and the salvage's decoding over arbitrary bytes taken as a
// database file. Rows are checked and thrown away; nothing is written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/pagefile/format.h"
#include "engine/pagefile/recover.h"

namespace {

using namespace tidewell::engine::pagefile;

class CheckingSink final : public RowSink {
 public:
  void Begin(const std::vector<CatalogEntry>& catalog, std::vector<RecoveredTable>* tables,
             uint32_t encoding) override {
    if (encoding < 1 || encoding > 3) std::abort();
    for (const auto& e : catalog) sum_ += e.sql.size() + e.name.size();
    tables_ = tables->size();
  }
  Outcome TableRow(size_t table, int64_t rowid, const std::vector<Value>& values) override {
    if (table >= tables_) std::abort();  // a row for a table the decoder never announced
    Touch(values);
    sum_ += static_cast<uint64_t>(rowid);
    return (rowid & 7) == 0 ? Outcome::kDuplicate : Outcome::kWritten;
  }
  void LostRow(uint32_t pgno, int64_t, const std::vector<Value>& values) override {
    sum_ += pgno;
    Touch(values);
  }
  void End() override {}
  uint64_t sum() const { return sum_; }

 private:
  // Reads every byte of every value so that the sanitizers see any span that points
  // outside the buffers it was cut from.
  void Touch(const std::vector<Value>& values) {
    for (const Value& v : values) {
      for (uint8_t b : v.bytes) sum_ += b;
    }
  }
  size_t tables_ = 0;
  uint64_t sum_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  PageFile file(MemorySource(Bytes(data, size)));
  if (!file.ok()) return 0;
  CheckingSink sink;
  RecoverStats stats = RecoverPages(file, sink, {});
  if (stats.pages_decoded > stats.pages_total) std::abort();
  volatile uint64_t keep = sink.sum();
  (void)keep;
  return 0;
}
