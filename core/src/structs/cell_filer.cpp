#include "structs/cell_filer.hpp"

#include <system_error>

#include "structs/value.hpp"

namespace tbx {
namespace {

constexpr uint32_t kStop = uint32_t{1} << 31;

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

// Waits until `a` differs from `seen` and returns the new value: a short spin (the other side
// usually answers within a batch's time), then a sleep in the kernel, announced in `sleeping` so
// that the other side wakes it only then: a wake-up is a system call, which on every batch
// would cost as much as filing a tenth of it.
uint32_t CellFiler::wait_change(const std::atomic<uint32_t>& a, uint32_t seen,
                                std::atomic<uint32_t>& sleeping) noexcept {
  for (int i = 0; i < 2000; ++i) {
    const uint32_t v = a.load(std::memory_order_acquire);
    if (v != seen) return v;
    cpu_relax();
  }
  for (;;) {
    // Sequentially consistent with publish(): either this load sees the new value, or publish()
    // sees the sleeper and wakes it (and the kernel's own check covers the rest).
    sleeping.fetch_add(1, std::memory_order_seq_cst);
    uint32_t v = a.load(std::memory_order_seq_cst);
    if (v == seen) {
      a.wait(seen, std::memory_order_acquire);
      v = a.load(std::memory_order_acquire);
    }
    sleeping.fetch_sub(1, std::memory_order_relaxed);
    if (v != seen) return v;
  }
}

// Stores `v` into `a` and wakes a sleeper of wait_change(), if there is one.
void CellFiler::publish(std::atomic<uint32_t>& a, uint32_t v, std::atomic<uint32_t>& sleeping) noexcept {
  a.store(v, std::memory_order_seq_cst);
  if (sleeping.load(std::memory_order_seq_cst) != 0) a.notify_one();
}

void CellFields::read_value() noexcept {
  code = data_type_code(data_type).value_or(DataType::Other);
  if (!has_value) return;
  if (code == DataType::S) {
    parsed.kind = Kind::Text;
  } else {
    parsed = value_from_text(value);
  }
}

void fill_cell(Cell* c, const CellFields& f) noexcept {
  c->move_to(f.row, f.col);
  if (f.has_value) c->set_parsed(f.parsed, f.value);
  if (f.has_formula) c->set_formula(f.formula);
  if (f.code != DataType::Other) c->set_data_type(f.code);
  else c->set_data_type_text(f.data_type);
}

CellFiler::CellFiler(bool may_thread) noexcept
    : may_thread_(may_thread), slots_(std::make_unique<Batch[]>(kSlots)) {}

void CellFiler::expect(size_t n) noexcept {
  here_ = n < kThreadedFrom || !may_thread_;
  if (here_ || threaded_) return;
  // Every batch so far was filed, so the helper starts with nothing pending.
  const uint32_t filed = produced_.load(std::memory_order_relaxed);
  try {
    helper_ = std::thread([this, filed] { run(filed); });
    threaded_ = true;
  } catch (const std::system_error&) {
    may_thread_ = false;  // no thread to be had (a process at its limit): file here
    here_ = true;
  }
}

void CellFiler::file(Batch& b) noexcept {
  // Each record is filed a few records after it is made, with its table slots prefetched in
  // between: filing is otherwise one cache miss after another.
  constexpr size_t kLag = 16;
  CellTable& table = *b.table;
  if (b.reserve) table.reserve(b.reserve);
  Cell* made[kBatch];
  Cell::create_many(b.n, made);
  for (size_t i = 0; i < b.n; ++i) {
    fill_cell(made[i], b.cells[i]);
    table.prefetch_home(b.cells[i].row, b.cells[i].col);
    if (i >= kLag) table.insert_or_replace(made[i - kLag]);
  }
  for (size_t i = b.n > kLag ? b.n - kLag : 0; i < b.n; ++i) table.insert_or_replace(made[i]);
}

void CellFiler::run(uint32_t filed) noexcept {
  uint32_t done = filed;  // the batches before this one were filed by the caller
  uint32_t seen = produced_.load(std::memory_order_acquire);
  for (;;) {
    while ((seen & ~kStop) == done) {
      if (seen & kStop) return;
      seen = wait_change(produced_, seen, producer_waits_);
    }
    if (const unsigned us = test_delay_us_.load(std::memory_order_relaxed))
      std::this_thread::sleep_for(std::chrono::microseconds(us));
    file(slots_[done % kSlots]);
    ++done;
    publish(consumed_, done, consumer_waits_);
  }
}

CellFiler::Batch& CellFiler::next() noexcept {
  const uint32_t p = produced_.load(std::memory_order_relaxed) & ~kStop;
  if (threaded_) {
    // The slot is free once the batch handed over kSlots batches ago has been filed.
    uint32_t c = consumed_.load(std::memory_order_acquire);
    while (p - c >= kSlots) c = wait_change(consumed_, c, consumer_waits_);
  }
  return slots_[p % kSlots];
}

void CellFiler::submit() noexcept {
  const uint32_t p = produced_.load(std::memory_order_relaxed);
  if (here_ || !threaded_) {
    // Filed at once; the counters stay, so the helper (if any) sees nothing new and next()
    // hands out the same, now free, slot again.
    file(slots_[p % kSlots]);
    return;
  }
  publish(produced_, p + 1, producer_waits_);
}

void CellFiler::drain() noexcept {
  if (!threaded_) return;
  const uint32_t p = produced_.load(std::memory_order_relaxed);
  uint32_t c = consumed_.load(std::memory_order_acquire);
  while (c != p) c = wait_change(consumed_, c, consumer_waits_);
}

void CellFiler::finish() noexcept {
  may_thread_ = false;  // no helper again: later batches (if any) are filed on handing over
  here_ = true;
  if (!threaded_) return;
  const uint32_t p = produced_.load(std::memory_order_relaxed);
  publish(produced_, p | kStop, producer_waits_);
  helper_.join();
  threaded_ = false;
}

}  // namespace tbx
