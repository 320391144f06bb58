#pragma once
// Memory helpers for the engine's large, hot structures.
#include <cstddef>

namespace tbx::memory {

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
