#include "utils/page_vector.hpp"

#include <sys/mman.h>

#include <pthread.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>


namespace tbx::pages {
namespace {

// Below this a buffer comes from the ordinary allocator.
constexpr size_t kMapped = size_t{256} << 10;

size_t rounded(size_t bytes) noexcept {
  const size_t page = 4096;
  return (bytes + page - 1) & ~(page - 1);
}

// A few released regions are kept mapped for the next request of the same size. A report
// process makes and drops tables of the same sizes again and again; a fresh mapping costs a page
// fault and the zeroing of every page on first touch, and on virtual machines that hand freed
// memory back to the host, first touches cost many times more. Clearing a kept region costs a
// plain memset.
class RegionCache {
 public:
  void* take(size_t bytes) noexcept {
    std::lock_guard<std::mutex> g(mu_);
    for (Region& r : regions_) {
      if (r.p && r.bytes == bytes) {
        void* p = std::exchange(r.p, nullptr);
        held_ -= bytes;
        return p;
      }
    }
    return nullptr;
  }
  // Keeps [p, p + bytes) for reuse; the regions kept longest make room when needed (they go
  // back to the system). False when the region is too large to keep at all.
  bool keep(void* p, size_t bytes) noexcept {
    if (bytes > kMaxHeld) return false;
    std::lock_guard<std::mutex> g(mu_);
    for (;;) {
      Region* free_slot = nullptr;
      for (Region& r : regions_) {
        if (!r.p) free_slot = &r;
      }
      if (free_slot && held_ + bytes <= kMaxHeld) {
        *free_slot = {p, bytes, ++clock_};
        held_ += bytes;
        return true;
      }
      Region* oldest = nullptr;
      for (Region& r : regions_) {
        if (r.p && (!oldest || r.kept_at < oldest->kept_at)) oldest = &r;
      }
      munmap(oldest->p, oldest->bytes);
      held_ -= oldest->bytes;
      oldest->p = nullptr;
    }
  }
  // After fork() in the child: another thread may have held the lock.
  void reset_lock() noexcept { new (&mu_) std::mutex(); }

 private:
  static constexpr size_t kMaxHeld = size_t{64} << 20;
  struct Region {
    void* p = nullptr;
    size_t bytes = 0;
    uint64_t kept_at = 0;
  };
  std::mutex mu_;
  Region regions_[16];
  size_t held_ = 0;
  uint64_t clock_ = 0;
};

RegionCache& cache() noexcept {
  static RegionCache* c = [] {
    auto* r = new RegionCache;  // lives for the process
    pthread_atfork(nullptr, nullptr, [] { cache().reset_lock(); });
    return r;
  }();
  return *c;
}

}  // namespace

void* allocate(size_t bytes) noexcept {
  if (bytes < kMapped) {
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (!p) std::abort();  // allocation failure ends the process
    return p;
  }
  if (void* kept = cache().take(rounded(bytes))) {
    std::memset(kept, 0, rounded(bytes));
    return kept;
  }
  void* p = mmap(nullptr, rounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) std::abort();
  return p;
}

void* reallocate(void* p, size_t bytes, size_t new_bytes) noexcept {
  if (bytes >= kMapped && new_bytes >= kMapped) {
    void* q = mremap(p, rounded(bytes), rounded(new_bytes), MREMAP_MAYMOVE);
    if (q == MAP_FAILED) std::abort();
    return q;
  }
  void* q = allocate(new_bytes);
  std::memcpy(q, p, bytes < new_bytes ? bytes : new_bytes);
  release(p, bytes, false);
  return q;
}

void release(void* p, size_t bytes, bool reuse) noexcept {
  if (bytes < kMapped) std::free(p);
  else if (!reuse || !cache().keep(p, rounded(bytes))) munmap(p, rounded(bytes));
}

}  // namespace tbx::pages
