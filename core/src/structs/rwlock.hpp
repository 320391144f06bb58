#pragma once
// A reader-writer lock in one 32-bit word, for records that exist by the million (cells,
// comments). Readers add one; a writer sets the top bit once no reader holds the lock. Waiting
// spins briefly, then yields: holds are a few field reads or writes long.
#include <atomic>
#include <cstdint>
#include <thread>

namespace tbx {

class RwLock {
 public:
  void lock_shared() noexcept {
    uint32_t v = word_.load(std::memory_order_relaxed);
    for (unsigned spins = 0;; ++spins) {
      if (!(v & kWriter) &&
          word_.compare_exchange_weak(v, v + 1, std::memory_order_acquire,
                                      std::memory_order_relaxed))
        return;
      if (v & kWriter) {
        backoff(spins);
        v = word_.load(std::memory_order_relaxed);
      }
    }
  }
  void unlock_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }

  void lock() noexcept {
    for (unsigned spins = 0;; ++spins) {
      uint32_t expected = 0;
      if (word_.compare_exchange_weak(expected, kWriter, std::memory_order_acquire,
                                      std::memory_order_relaxed))
        return;
      backoff(spins);
    }
  }
  void unlock() noexcept { word_.store(0, std::memory_order_release); }

 private:
  static constexpr uint32_t kWriter = 0x80000000u;
  static void backoff(unsigned spins) noexcept {
    if (spins > 64) std::this_thread::yield();
  }
  std::atomic<uint32_t> word_{0};
};

template <class L>
class SharedGuard {
 public:
  explicit SharedGuard(L& l) noexcept : l_(l) { l_.lock_shared(); }
  ~SharedGuard() { l_.unlock_shared(); }
  SharedGuard(const SharedGuard&) = delete;
  SharedGuard& operator=(const SharedGuard&) = delete;

 private:
  L& l_;
};

template <class L>
class UniqueGuard {
 public:
  explicit UniqueGuard(L& l) noexcept : l_(l) { l_.lock(); }
  ~UniqueGuard() { l_.unlock(); }
  UniqueGuard(const UniqueGuard&) = delete;
  UniqueGuard& operator=(const UniqueGuard&) = delete;

 private:
  L& l_;
};

}  // namespace tbx
