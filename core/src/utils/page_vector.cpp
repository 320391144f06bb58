#include "utils/page_vector.hpp"

#include <sys/mman.h>

#include "utils/memory.hpp"

namespace tbx::pages {
namespace {

// Below this a buffer comes from the ordinary allocator.
constexpr size_t kMapped = size_t{256} << 10;

size_t rounded(size_t bytes) noexcept {
  const size_t page = 4096;
  return (bytes + page - 1) & ~(page - 1);
}

}  // namespace

void* allocate(size_t bytes) noexcept {
  if (bytes < kMapped) {
    void* p = std::calloc(1, bytes ? bytes : 1);
    if (!p) std::abort();  // allocation failure ends the process
    return p;
  }
  void* p = mmap(nullptr, rounded(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) std::abort();
  memory::advise_huge_pages(p, rounded(bytes));
  return p;
}

void* reallocate(void* p, size_t bytes, size_t new_bytes) noexcept {
  if (bytes >= kMapped && new_bytes >= kMapped) {
    void* q = mremap(p, rounded(bytes), rounded(new_bytes), MREMAP_MAYMOVE);
    if (q == MAP_FAILED) std::abort();
    memory::advise_huge_pages(q, rounded(new_bytes));
    return q;
  }
  void* q = allocate(new_bytes);
  std::memcpy(q, p, bytes < new_bytes ? bytes : new_bytes);
  release(p, bytes);
  return q;
}

void release(void* p, size_t bytes) noexcept {
  if (bytes < kMapped) std::free(p);
  else munmap(p, rounded(bytes));
}

}  // namespace tbx::pages
