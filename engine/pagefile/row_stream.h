// Rows handed from the decoding to a thread that writes them, in batches, so that reading
// the damaged file and writing the new one share the machine's cores. The rows are copied
// when they are put, so the caller may reuse its buffers at once. Once Drain returns,
// nothing is written until the next Put: the caller may then use what the writing uses.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "engine/pagefile/format.h"

namespace tidewell::engine::pagefile {

class RowStream {
 public:
  struct Row {
    size_t table = 0;
    int64_t rowid = 0;
    uint32_t pgno = 0;
    bool new_leaf = false;  // the first row the caller gave from this page
    std::span<const Value> values;
  };
  // Writes rows in the order they were put; given as many at a time as it can be.
  using Write = std::function<void(std::span<const Row>)>;

  // Without a thread to be had, Put writes each row itself; so it does a row larger than a
  // batch, after the rows put before it.
  explicit RowStream(Write write);
  ~RowStream();
  RowStream(const RowStream&) = delete;
  RowStream& operator=(const RowStream&) = delete;

  void Put(size_t table, int64_t rowid, uint32_t pgno, bool new_leaf,
           const std::vector<Value>& values);
  // Returns once every row put has been written; rethrows, once, what a write threw. Rows
  // put after a write threw are not written.
  void Drain();
  // Ends the thread; rows not yet written are dropped.
  void Stop();

 private:
  struct Batch {
    struct Item {
      size_t table;
      int64_t rowid;
      uint32_t pgno;
      bool new_leaf;
      size_t first, count;  // in `values`
    };
    std::vector<Item> items;
    std::vector<Value> values;
    std::vector<uint8_t> bytes;  // texts and blobs; reserved up front and never outgrown
    std::vector<Row> rows;       // made when it is written
  };
  void Hand();  // the batch being filled goes to the thread
  void Run();
  void WriteBatch(Batch& b);

  Write write_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Batch> ready_;  // handed over, in order
  std::vector<Batch> spare_;
  Batch filling_;
  bool busy_ = false;  // the thread is writing a batch
  bool stop_ = false;
  std::exception_ptr error_;  // what a write threw; nothing is written after it
  bool thrown_ = false;
  std::thread thread_;
};

}  // namespace tidewell::engine::pagefile
