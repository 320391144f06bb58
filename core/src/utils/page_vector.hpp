#pragma once
// A vector of trivially copyable items whose large buffers are mapped pages of their own
// (mmap; grown with mremap, which moves no bytes; returned to the system with munmap the
// moment they are dropped). The ordinary allocator keeps large freed blocks inside the heap,
// where a cell table that doubled its way to a million entries would leave every smaller
// generation behind as resident memory. New pages are zero. A few large buffers dropped whole
// are kept mapped for the next one of the same size (see page_vector.cpp).
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <utility>

namespace tbx {

namespace pages {
// Raw storage of `bytes` (zeroed), grown to `new_bytes` keeping the contents, and released.
void* allocate(size_t bytes) noexcept;
void* reallocate(void* p, size_t bytes, size_t new_bytes) noexcept;
// `reuse`: the region may be kept for a later allocate() of the same size; otherwise (a buffer
// outgrown by its own table, which will not be asked for again soon) it goes back at once.
void release(void* p, size_t bytes, bool reuse = true) noexcept;
}  // namespace pages

template <class T>
class PageVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PageVector() = default;
  PageVector(const PageVector& o) : size_(o.size_) {
    if (o.size_) {
      reserve_exact(o.size_);
      std::memcpy(data_, o.data_, o.size_ * sizeof(T));
    }
  }
  PageVector& operator=(const PageVector&) = delete;
  PageVector(PageVector&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  PageVector& operator=(PageVector&& o) noexcept {
    std::swap(data_, o.data_);
    std::swap(size_, o.size_);
    std::swap(capacity_, o.capacity_);
    return *this;
  }
  ~PageVector() { clear(); }

  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T& operator[](size_t i) noexcept { return data_[i]; }
  const T& operator[](size_t i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }

  void push_back(const T& v) noexcept {
    if (size_ == capacity_) reserve_exact(capacity_ ? capacity_ * 2 : 16);
    data_[size_++] = v;
  }
  // n zero-valued items (fresh pages are zero already).
  void assign_zeroed(size_t n) noexcept {
    clear();
    reserve_exact(n);
    size_ = n;
  }
  void clear() noexcept {
    if (data_) pages::release(data_, capacity_ * sizeof(T));
    data_ = nullptr;
    size_ = capacity_ = 0;
  }
  // Like clear(), returning the pages to the system at once.
  void discard() noexcept {
    if (data_) pages::release(data_, capacity_ * sizeof(T), false);
    data_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  void reserve_exact(size_t n) noexcept {
    data_ = static_cast<T*>(data_ ? pages::reallocate(data_, capacity_ * sizeof(T), n * sizeof(T))
                                  : pages::allocate(n * sizeof(T)));
    capacity_ = n;
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace tbx
