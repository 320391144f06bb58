#pragma once
// A UTF-8 text in 16 bytes: up to 15 bytes inline (most report texts: words, codes, numbers),
// longer texts on the heap.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tbx {

class TextBox {
 public:
  TextBox() noexcept { std::memset(b_, 0, sizeof b_); }
  explicit TextBox(std::string_view s) noexcept { init(s); }
  TextBox(const TextBox& o) noexcept { init(o.view()); }
  TextBox& operator=(const TextBox& o) noexcept {
    if (this != &o) assign(o.view());
    return *this;
  }
  ~TextBox() { free_heap(); }

  void assign(std::string_view s) noexcept {
    free_heap();
    init(s);
  }

  std::string_view view() const noexcept {
    if (is_heap()) {
      const char* p;
      uint64_t n;
      std::memcpy(&p, b_, 8);
      std::memcpy(&n, b_ + 8, 8);
      return {p, static_cast<size_t>(n & kSizeMask)};
    }
    return {b_, static_cast<size_t>(static_cast<unsigned char>(b_[15]))};
  }

 private:
  static constexpr size_t kInline = 15;
  static constexpr unsigned char kHeapTag = 0x80;
  static constexpr uint64_t kSizeMask = 0x00FFFFFFFFFFFFFFull;

  bool is_heap() const noexcept { return static_cast<unsigned char>(b_[15]) == kHeapTag; }

  void init(std::string_view s) noexcept {
    if (s.size() <= kInline) {
      std::memset(b_, 0, sizeof b_);
      copy_short(b_, s.data(), s.size());
      b_[15] = static_cast<char>(s.size());
      return;
    }
    auto* p = static_cast<char*>(std::malloc(s.size()));
    if (!p) std::abort();  // allocation failure ends the process
    std::memcpy(p, s.data(), s.size());
    const uint64_t n = static_cast<uint64_t>(s.size()) | (uint64_t{kHeapTag} << 56);
    std::memcpy(b_, &p, 8);
    std::memcpy(b_ + 8, &n, 8);
  }

  // n <= 15 bytes by at most two overlapping loads and stores of one width, instead of a call:
  // most cells get their text through here.
  static void copy_short(char* d, const char* s, size_t n) noexcept {
    if (n >= 8) {
      uint64_t a, b;
      std::memcpy(&a, s, 8);
      std::memcpy(&b, s + n - 8, 8);
      std::memcpy(d, &a, 8);
      std::memcpy(d + n - 8, &b, 8);
    } else if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, s, 4);
      std::memcpy(&b, s + n - 4, 4);
      std::memcpy(d, &a, 4);
      std::memcpy(d + n - 4, &b, 4);
    } else if (n > 0) {
      d[0] = s[0];
      d[n / 2] = s[n / 2];
      d[n - 1] = s[n - 1];
    }
  }

  void free_heap() noexcept {
    if (is_heap()) {
      char* p;
      std::memcpy(&p, b_, 8);
      std::free(p);
    }
  }

  alignas(8) char b_[16];
};

static_assert(sizeof(TextBox) == 16);

}  // namespace tbx
