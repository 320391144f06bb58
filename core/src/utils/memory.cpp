#include "utils/memory.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tbx::memory {

void advise_huge_pages(void* p, size_t n) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (n < kHugePage) return;
  const auto begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const auto end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)p;
  (void)n;
#endif
}

}  // namespace tbx::memory
