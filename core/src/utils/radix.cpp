#include "utils/radix.hpp"

#include <algorithm>
#include <bit>

namespace tbx::radix {
namespace {

constexpr unsigned kBits = 11;
constexpr size_t kBuckets = size_t{1} << kBits;

// One LSD pass per 11-bit digit of (x - min) over the bits that vary; `key` reads an element's
// value. Elements move between `v` and a scratch buffer; the result ends in `v`.
template <class T, class Key>
void lsd(std::vector<T>& v, Key key) {
  const size_t n = v.size();
  if (n < 2) return;
  uint64_t lo = key(v[0]), hi = lo;
  bool ordered = true;
  for (size_t i = 1; i < n; ++i) {
    const uint64_t k = key(v[i]);
    lo = std::min(lo, k);
    hi = std::max(hi, k);
    ordered &= k >= key(v[i - 1]);
  }
  if (ordered) return;
  if (n < 256) {
    std::stable_sort(v.begin(), v.end(), [&](const T& a, const T& b) { return key(a) < key(b); });
    return;
  }
  const unsigned width = static_cast<unsigned>(std::bit_width(hi - lo));
  std::vector<T> tmp(n);
  T* src = v.data();
  T* dst = tmp.data();
  std::vector<size_t> count(kBuckets);
  for (unsigned shift = 0; shift < width; shift += kBits) {
    std::fill(count.begin(), count.end(), 0);
    for (size_t i = 0; i < n; ++i) ++count[((key(src[i]) - lo) >> shift) & (kBuckets - 1)];
    size_t sum = 0;
    for (size_t& c : count) {
      const size_t here = c;
      c = sum;
      sum += here;
    }
    for (size_t i = 0; i < n; ++i) dst[count[((key(src[i]) - lo) >> shift) & (kBuckets - 1)]++] = src[i];
    std::swap(src, dst);
  }
  if (src != v.data()) std::copy(src, src + n, v.data());
}

}  // namespace

void sort_u64(std::vector<uint64_t>& v) {
  lsd(v, [](uint64_t x) { return x; });
}

void sort_keyed(std::vector<Keyed>& v) {
  lsd(v, [](const Keyed& x) { return x.key; });
}

}  // namespace tbx::radix
