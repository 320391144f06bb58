#pragma once
// Large regions the engine fills at once (cell slabs, cell tables, JSON output) are backed by
// huge pages where the system offers them on request: one fault maps 2 MiB instead of 4 KiB,
// which saves thousands of page faults per million cells.
#include <cstddef>

namespace tbx::memory {

inline constexpr size_t kHugePage = size_t{2} << 20;

// Asks for huge pages on the whole 2 MiB pages inside [p, p + n); a hint, ignored where
// unsupported and for regions smaller than a few huge pages.
void advise_huge_pages(void* p, size_t n) noexcept;

// Starts loading the cache line at p. GCC 12 silently drops __builtin_prefetch when the address
// is computed from a member inside a const member function, so on x86 the instruction is
// written out.
inline void prefetch(const void* p) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p);
#endif
}

}  // namespace tbx::memory
