#include "engine/pagefile/row_stream.h"

#include <system_error>
#include <utility>

namespace tidewell::engine::pagefile {

namespace {

// A batch is small enough to stay in the processor's caches between the two threads, and
// large enough that handing it over costs little against writing its rows.
constexpr size_t kBatchRows = 512;
constexpr size_t kBatchBytes = 256 * 1024;
// Batches handed over and not yet written: the decoding runs at most this far ahead.
constexpr size_t kAhead = 2;

}  // namespace

RowStream::RowStream(Write write) : write_(std::move(write)) {
  filling_.bytes.reserve(kBatchBytes);
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    // Every row is then written by Put itself.
  }
}

RowStream::~RowStream() {
  Stop();
}

void RowStream::Put(size_t table, int64_t rowid, uint32_t pgno, bool new_leaf,
                    const std::vector<Value>& values) {
  size_t need = 0;
  for (const Value& v : values)
    if (v.kind == Value::kText || v.kind == Value::kBlob) need += v.bytes.size();
  // A row larger than a batch is not copied (its values may be a gigabyte): it is written
  // here, from the caller's buffers, once the rows before it are.
  if (!thread_.joinable() || need > kBatchBytes) {
    Drain();
    if (error_) return;  // nothing after a failed write
    const Row row{table, rowid, pgno, new_leaf, values};
    write_(std::span<const Row>(&row, 1));
    return;
  }
  if (!filling_.items.empty() && (filling_.items.size() >= kBatchRows ||
                                  need > filling_.bytes.capacity() - filling_.bytes.size())) {
    Hand();
  }
  filling_.items.push_back({table, rowid, pgno, new_leaf, filling_.values.size(), values.size()});
  for (const Value& v : values) {
    Value copy = v;
    copy.bytes = {};
    if (v.kind == Value::kText || v.kind == Value::kBlob) {
      const size_t at = filling_.bytes.size();
      filling_.bytes.insert(filling_.bytes.end(), v.bytes.begin(), v.bytes.end());
      copy.bytes = Bytes(filling_.bytes.data() + at, v.bytes.size());
    }
    filling_.values.push_back(copy);
  }
}

void RowStream::Hand() {
  std::unique_lock lock(mu_);
  ready_.push_back(std::move(filling_));
  cv_.notify_all();
  cv_.wait(lock,
           [&] { return stop_ || !spare_.empty() || ready_.size() + (busy_ ? 1 : 0) <= kAhead; });
  if (spare_.empty()) {
    filling_ = Batch{};
    filling_.bytes.reserve(kBatchBytes);
  } else {
    filling_ = std::move(spare_.back());
    spare_.pop_back();
  }
}

void RowStream::Drain() {
  if (!thread_.joinable()) return;
  if (!filling_.items.empty()) Hand();
  std::unique_lock lock(mu_);
  cv_.wait(lock, [&] { return stop_ || (ready_.empty() && !busy_); });
  if (error_ && !std::exchange(thrown_, true)) std::rethrow_exception(error_);
}

void RowStream::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  ready_.clear();
}

void RowStream::Run() {
  std::unique_lock lock(mu_);
  for (;;) {
    cv_.wait(lock, [&] { return stop_ || !ready_.empty(); });
    if (stop_) return;
    Batch b = std::move(ready_.front());
    ready_.pop_front();
    busy_ = true;
    const bool failed = error_ != nullptr;
    lock.unlock();
    std::exception_ptr error;
    if (!failed) {
      try {
        WriteBatch(b);
      } catch (...) {
        error = std::current_exception();
      }
    }
    b.items.clear();
    b.values.clear();
    b.rows.clear();
    b.bytes.clear();
    lock.lock();
    if (error) error_ = error;
    busy_ = false;
    spare_.push_back(std::move(b));
    cv_.notify_all();
  }
}

void RowStream::WriteBatch(Batch& b) {
  b.rows.clear();
  for (const Batch::Item& it : b.items) {
    b.rows.push_back(Row{it.table, it.rowid, it.pgno, it.new_leaf,
                         std::span<const Value>(b.values.data() + it.first, it.count)});
  }
  write_(b.rows);
}

}  // namespace tidewell::engine::pagefile
