#pragma once
// Makes cell records from fields read elsewhere and files them into tables, in batches, on a
// helper thread while the caller reads the next batch (small tables: on the caller's thread).
// The caller reads objects it alone may touch (a producer); the helper allocates and files (a
// consumer); records are filed in the order the fields were handed over, so the last of several
// cells with one coordinate wins.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <thread>

#include "structs/cell_table.hpp"
#include "structs/value.hpp"

namespace tbx {

// The fields of one cell. The views stay valid until the batch holding them is handed back.
struct CellFields {
  uint32_t row;
  uint16_t col;
  bool has_value;
  bool has_formula;
  std::string_view value, formula, data_type;
  ParsedValue parsed;                    // set by read_value()
  DataType code = DataType::Other;       // set by read_value(): Other for a text of its own

  // The value a record of these fields holds (a value of data type "s" is kept as text, any
  // other is read by the value-from-text rule) and the code of the data type. Done by whoever
  // reads the fields, which leaves the filer only the making and filing of records.
  void read_value() noexcept;
};

// Fills `c` (a new record at the coordinate of `f`) from `f`, whose value has been read.
void fill_cell(Cell* c, const CellFields& f) noexcept;

class CellFiler {
 public:
  static constexpr size_t kBatch = 256;
  static constexpr size_t kSlots = 4;

  struct Batch {
    CellTable* table = nullptr;  // where the records go
    size_t reserve = 0;          // when set: size the table for this many first
    CellFields cells[kBatch];
    size_t n = 0;
    // Whatever keeps the views of `cells` valid, for the caller to let go of once the batch has
    // been filed (the filer never looks at these).
    void* keep[3 * kBatch];
    size_t n_keep = 0;
  };

  // The records of a table smaller than this are filed on the caller's thread as their batches
  // are handed over: waking the helper and waiting for its last batch cost more than it saves.
  // The first larger table starts the helper.
  static constexpr size_t kThreadedFrom = 2048;

  // `may_thread`: use a helper for large tables; otherwise (or when no thread can be started)
  // the caller files every batch itself.
  explicit CellFiler(bool may_thread) noexcept;
  ~CellFiler() { finish(); }
  CellFiler(const CellFiler&) = delete;
  CellFiler& operator=(const CellFiler&) = delete;

  // Announces the next table, of `n` records, once every batch before it is filed (drain()).
  void expect(size_t n) noexcept;
  // The batch to fill next. When it was used before, it has been filed: the caller lets go of
  // its `keep` entries and sets `n` and `n_keep` to zero.
  Batch& next() noexcept;
  // Hands over the batch returned by next().
  void submit() noexcept;
  // Waits until every handed-over batch is filed; the helper stays for more.
  void drain() noexcept;
  // Waits until every handed-over batch is filed and stops the helper. After this the caller
  // lets go of the `keep` entries of every batch (batches()).
  void finish() noexcept;

  Batch* batches() noexcept { return slots_.get(); }

  // For tests: the helper waits this long before filing each batch, which widens every window
  // in which the caller could touch what the helper still reads.
  static void set_test_delay_us(unsigned us) noexcept { test_delay_us_.store(us, std::memory_order_relaxed); }

 private:
  static uint32_t wait_change(const std::atomic<uint32_t>& a, uint32_t seen,
                              std::atomic<uint32_t>& sleeping) noexcept;
  static void publish(std::atomic<uint32_t>& a, uint32_t v, std::atomic<uint32_t>& sleeping) noexcept;
  void file(Batch& b) noexcept;
  void run(uint32_t filed) noexcept;

  bool may_thread_;
  bool here_ = true;  // this table's batches are filed on handing over
  std::unique_ptr<Batch[]> slots_;  // on the heap: over 100 KiB, too much for a thread's stack
  std::thread helper_;
  bool threaded_ = false;
  // Batches handed over and batches filed, counted from the start; the top bit of `produced_`
  // tells the helper to stop once it has caught up. Each counter is on a cache line of its own
  // (one side writes it for every batch, and the fields above are read all the time by both),
  // with the number of threads asleep waiting for it to change beside it.
  alignas(64) std::atomic<uint32_t> produced_{0};
  std::atomic<uint32_t> producer_waits_{0};
  alignas(64) std::atomic<uint32_t> consumed_{0};
  std::atomic<uint32_t> consumer_waits_{0};
  static inline std::atomic<unsigned> test_delay_us_{0};
};

}  // namespace tbx
