// Fuzz target: the page reader, the salvage's decoding and the check of indexes against
// their tables over arbitrary bytes taken as a database file, and the reading of a hot
// journal and a write-ahead log over them. Rows are checked and thrown away; nothing is
// written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "engine/pagefile/committed.h"
#include "engine/pagefile/format.h"
#include "engine/pagefile/index_check.h"
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
    catalog_ = catalog;
  }
  Outcome TableRow(size_t table, int64_t rowid, uint32_t,
                   const std::vector<Value>& values) override {
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
  const std::vector<CatalogEntry>& catalog() const { return catalog_; }

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
  std::vector<CatalogEntry> catalog_;
};

// Every index of the catalog compared with its table as if it held the table's first
// column: on damaged bytes the verdict does not matter, only that the walk stays inside.
IndexCheckInput IndexesOf(const PageFile& file, const std::vector<CatalogEntry>& catalog) {
  IndexCheckInput in{{}, file.page_size(), file.page_count(), {}, nullptr};
  for (const CatalogEntry& t : catalog) {
    if (t.type != "table" || t.root == 0) continue;
    IndexedTable table{t.name, t.root, static_cast<int>(t.name.size() % 2) - 1, {}};
    for (const CatalogEntry& i : catalog)
      if (i.type == "index" && i.root != 0 && i.tbl_name == t.name)
        table.indexes.push_back({i.name, i.root, {0, -1}, "Bn", 1, i.sql.size() % 2 == 0});
    in.tables.push_back(std::move(table));
  }
  return in;
}

// The bytes read through themselves taken as a journal or a log: every read stays inside
// and returns no more than was asked for.
void ReadThroughCompanions(const uint8_t* data, size_t size) {
  std::vector<uint8_t> buf(4099);
  for (int kind = 0; kind < 2; ++kind) {
    auto image =
        kind == 0
            ? OverJournal(MemorySource(Bytes(data, size)), MemorySource(Bytes(data, size)), nullptr)
            : OverWriteAheadLog(MemorySource(Bytes(data, size)), MemorySource(Bytes(data, size)));
    for (uint64_t at = 0; at < image->Size(); at += buf.size() - 7)
      if (image->ReadAt(at, buf) > buf.size()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadThroughCompanions(data, size);
  PageFile file(MemorySource(Bytes(data, size)));
  if (!file.ok()) return 0;
  CheckingSink sink;
  RecoverStats stats = RecoverPages(file, sink, {});
  if (stats.pages_decoded > stats.pages_total) std::abort();
  const IndexCheckInput indexes = IndexesOf(file, sink.catalog());
  IndexCheckResult verdict = CheckIndexesAgainstTables(indexes, MemorySource(Bytes(data, size)));
  if (verdict.verdict != IndexCheckResult::kMatch && verdict.problem.empty()) std::abort();
  volatile uint64_t keep = sink.sum();
  (void)keep;
  return 0;
}
