#include "utils/slab.hpp"

#include <cstdlib>
#include <new>
#include <thread>


namespace tbx {

namespace {
// Chunks of 2 MiB: cells are made by the million, and few large chunks keep the allocator's
// bookkeeping out of the way. No huge-page advice: on virtual machines that hand freed memory
// back to the host, the first touch of a fresh huge page was measured at up to hundreds of
// milliseconds, far more than the faults it saves.
constexpr size_t kChunk = size_t{2} << 20;
}

SlabPool::SlabPool(size_t block_size) noexcept
    : block_size_((block_size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1)) {
  if (block_size_ < sizeof(FreeBlock)) block_size_ = sizeof(FreeBlock);
  // Blocks of 40 bytes stay 40: 8-byte alignment is all a record needs.
  if (block_size % 8 == 0 && block_size >= sizeof(FreeBlock)) block_size_ = block_size;
}

void SlabPool::lock() noexcept {
  for (unsigned spins = 0; busy_.test_and_set(std::memory_order_acquire); ++spins) {
    if (spins > 64) std::this_thread::yield();
  }
}

void SlabPool::refill() noexcept {
  auto* chunk = static_cast<char*>(std::aligned_alloc(kChunk, kChunk));
  if (!chunk) std::abort();  // allocation failure ends the process
  bump_ = chunk;
  bump_end_ = chunk + kChunk - (kChunk % block_size_);
}

void* SlabPool::allocate() noexcept {
#if defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer every block is its own allocation, so a use after free is caught.
  live_.fetch_add(1, std::memory_order_relaxed);
  void* m = std::malloc(block_size_);
  if (!m) std::abort();
  return m;
#endif
  lock();
  void* p;
  if (free_) {
    p = free_;
    free_ = free_->next;
  } else {
    if (bump_ == bump_end_) refill();
    p = bump_;
    bump_ += block_size_;
  }
  // Counted under the lock: a plain store, not a second atomic read-modify-write.
  live_.store(live_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  unlock();
  return p;
}

void SlabPool::allocate_many(void** out, size_t n) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  for (size_t i = 0; i < n; ++i) out[i] = allocate();
  return;
#endif
  lock();
  for (size_t i = 0; i < n; ++i) {
    if (free_) {
      out[i] = free_;
      free_ = free_->next;
    } else {
      if (bump_ == bump_end_) refill();
      out[i] = bump_;
      bump_ += block_size_;
    }
  }
  live_.store(live_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
  unlock();
}

void SlabPool::deallocate(void* p) noexcept {
#if defined(__SANITIZE_ADDRESS__)
  live_.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
  return;
#endif
  auto* b = static_cast<FreeBlock*>(p);
  lock();
  b->next = free_;
  free_ = b;
  live_.store(live_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
  unlock();
}

}  // namespace tbx
