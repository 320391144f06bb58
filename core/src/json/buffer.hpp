#pragma once
// One growable byte buffer that the document is written into in a single pass, with a JSON
// string writer that scans eight bytes at a time for the few bytes that need escaping.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace tbx::json {

// Where a buffer's bytes live. The default is memory of its own (realloc); a caller may hand in
// storage it owns (the Python layer writes straight into the str it will return), in which case
// the buffer neither frees it nor outlives it.
struct Storage {
  // Makes room for at least `need` bytes, keeping the first `used`; returns the new start and
  // sets `capacity`. Never fails: allocation failure ends the process.
  virtual char* grow(char* data, size_t used, size_t need, size_t& capacity) noexcept = 0;

 protected:
  ~Storage() = default;
};

class Buffer {
 public:
  explicit Buffer(size_t initial = 128) { grow_to(initial < 16 ? 16 : initial); }
  Buffer(Storage& storage, size_t initial) : storage_(&storage) { grow_to(initial < 16 ? 16 : initial); }
  ~Buffer() {
    if (!storage_) std::free(begin_);
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  void reserve_more(size_t n) noexcept {
    if (static_cast<size_t>(end_ - cur_) < n) grow_to((cur_ - begin_) + n);
  }
  void put(char c) noexcept {
    reserve_more(1);
    *cur_++ = c;
  }
  void put(std::string_view s) noexcept {
    reserve_more(s.size());
    std::memcpy(cur_, s.data(), s.size());
    cur_ += s.size();
  }
  // Raw room for up to n bytes; commit() what was written.
  char* room(size_t n) noexcept {
    reserve_more(n);
    return cur_;
  }
  void commit(size_t n) noexcept { cur_ += n; }
  // Ends the bytes written into room() at p.
  void advance_to(char* p) noexcept { cur_ = p; }

  // A JSON string: quotes, and the escapes for '"', '\\' and the control characters.
  void put_string(std::string_view s) noexcept;
  // The quoted string at p, inside room() already reserved for it, when it needs no escape;
  // returns the end, or null (nothing counted) when it does and put_string must write it.
  char* put_plain_string_at(char* p, std::string_view s) noexcept;

  std::string_view view() const noexcept { return {begin_, static_cast<size_t>(cur_ - begin_)}; }
  size_t capacity() const noexcept { return static_cast<size_t>(end_ - begin_); }
  // Empties the buffer, keeping its memory.
  void clear() noexcept {
    cur_ = begin_;
    high_bits_ = 0;
  }
  // True while every byte written through put_string was ASCII (keys and numbers always are).
  bool ascii() const noexcept { return (high_bits_ & 0x8080808080808080ULL) == 0; }
  // For bytes of `part`, written separately and copied in through room(): counts whatever
  // non-ASCII bytes it holds as written here.
  void note_copied(const Buffer& part) noexcept { high_bits_ |= part.high_bits_; }

 private:
  void grow_to(size_t need) noexcept;

  Storage* storage_ = nullptr;
  char* begin_ = nullptr;
  char* cur_ = nullptr;
  char* end_ = nullptr;
  uint64_t high_bits_ = 0;
};

}  // namespace tbx::json
