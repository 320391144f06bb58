#pragma once
// Counted handles on shared records. A record type T provides retain() and release(); the last
// release frees it. Python objects, containers and search results each hold one handle.
#include <atomic>
#include <cstdint>
#include <utility>

namespace tbx {

template <class T>
class Handle {
 public:
  Handle() = default;
  Handle(std::nullptr_t) {}
  // Adopts a record whose count already includes this handle (a freshly made record).
  static Handle adopt(T* p) noexcept { return Handle(p, 0); }
  // Takes a new count on a record someone else keeps alive.
  static Handle share(T* p) noexcept {
    if (p) p->retain();
    return Handle(p, 0);
  }
  Handle(const Handle& o) noexcept : p_(o.p_) { if (p_) p_->retain(); }
  Handle(Handle&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Handle& operator=(Handle o) noexcept { std::swap(p_, o.p_); return *this; }
  ~Handle() { if (p_) p_->release(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  T* detach() noexcept { return std::exchange(p_, nullptr); }

 private:
  Handle(T* p, int) noexcept : p_(p) {}
  T* p_ = nullptr;
};

// A 32-bit atomic count for records that exist by the million.
class RefCount {
 public:
  void retain() const noexcept { n_.fetch_add(1, std::memory_order_relaxed); }
  // True when this was the last count.
  bool drop() const noexcept { return n_.fetch_sub(1, std::memory_order_acq_rel) == 1; }
  uint32_t count() const noexcept { return n_.load(std::memory_order_relaxed); }

 private:
  mutable std::atomic<uint32_t> n_{1};
};

// Base for records allocated with new: retain/release, delete on the last release.
template <class T>
class Shared {
 public:
  void retain() const noexcept { rc_.retain(); }
  void release() const noexcept {
    if (rc_.drop()) delete static_cast<const T*>(this);
  }

 protected:
  Shared() = default;
  Shared(const Shared&) {}
  Shared& operator=(const Shared&) { return *this; }

 private:
  RefCount rc_;
};

}  // namespace tbx
