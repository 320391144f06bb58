#pragma once
// The process-wide data-parallel worker pool: first match, ordered filter and stable sort over
// index ranges.
//
// A fixed set of helper threads (one fewer than the processors this process may run on, at least
// one) is started the first time work is handed off. Work is split into chunks of contiguous
// indices; helpers and the calling thread claim chunks from a shared counter, so the caller always
// works too and can finish its own job alone when every helper is busy elsewhere. Several threads
// may call at once: each call is its own job, and no call ever waits on a chunk that nobody has
// claimed.
//
// Handing work to a helper and waiting for it costs microseconds, so a call runs inline on the
// calling thread unless its estimated cost (items times `Cost::ns_per_item`) is worth far more
// than that; see `kHandOffWorthNs`.
//
// Predicates, mapping functions and comparators run on helper threads as well as on the caller:
// they must be safe to call from several threads at once (each index is given to one call only),
// must not touch Python objects or need the interpreter lock, and must not throw. A pool call
// made from inside a chunk is allowed; on a helper thread it runs inline.
//
// After fork() the child has no helper threads; the pool forgets the parent's helpers and jobs and
// starts fresh helpers the next time the child hands work off. The parent is unaffected.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace tbx::pool {

// The estimated work of one call.
struct Cost {
  // Time one thread spends on one item (for `sort`, on one comparison).
  double ns_per_item = 10.0;
  // Hand work to the helpers whatever the size and cut it into many small chunks. For tests only,
  // so that small inputs still exercise the threads.
  bool force_pool = false;
};

// A job estimated below this runs inline. Waking a sleeping helper costs a few microseconds on
// an idle machine but 35 to 55 on a virtual machine whose other processor sleeps, and the woken
// helper may first take the caller's own processor; on 2-processor machines handing off lost
// about 10% at 300 us of work and won from about 1 ms.
inline constexpr double kHandOffWorthNs = 500'000.0;

// Helper threads this process uses (started or not): hardware threads available minus one, at
// least one.
size_t helper_count() noexcept;

// Chunks run by helper threads so far in this process (a child starts from its parent's count).
// Lets tests prove that work really left the calling thread.
uint64_t helper_chunks_run() noexcept;

namespace detail {

using ChunkFn = void (*)(void* ctx, size_t chunk);

// Runs fn(ctx, c) once for every c in [0, chunks), on helpers and on the calling thread, and
// returns when all have finished. Everything the chunks wrote is visible to the caller then.
void run_chunks(size_t chunks, ChunkFn fn, void* ctx) noexcept;

// How many chunks to cut a job of `n` items and `total_ns` estimated nanoseconds into; 1 means
// run inline on the calling thread.
size_t plan_chunks(size_t n, double total_ns, bool force_pool) noexcept;

// The index range of chunk `c` when [0, n) is cut into `chunks` nearly equal stretches.
struct Range {
  size_t begin, end;
};
inline Range chunk_range(size_t n, size_t chunks, size_t c) noexcept {
  const size_t base = n / chunks, extra = n % chunks;
  const size_t begin = base * c + std::min(c, extra);
  return {begin, begin + base + (c < extra ? 1 : 0)};
}

template <class F>
void run(size_t chunks, F& f) noexcept {
  run_chunks(
      chunks, [](void* ctx, size_t c) { (*static_cast<F*>(ctx))(c); }, &f);
}

inline void lower_to(std::atomic<size_t>& best, size_t i) noexcept {
  size_t cur = best.load(std::memory_order_relaxed);
  while (i < cur && !best.compare_exchange_weak(cur, i, std::memory_order_relaxed)) {
  }
}

}  // namespace detail

// The lowest i in [0, n) with pred(i) true, or n: exactly what a front-to-back scan returns,
// whatever the timing or the number of threads. Once a match is known, indices after it are not
// examined (chunks entirely after it are skipped, chunks running past it stop).
template <class Pred>
size_t find_first(size_t n, Pred&& pred, Cost cost = {}) {
  const size_t chunks = detail::plan_chunks(n, static_cast<double>(n) * cost.ns_per_item,
                                            cost.force_pool);
  if (chunks <= 1) {
    for (size_t i = 0; i < n; ++i)
      if (pred(i)) return i;
    return n;
  }
  // The only state the chunks share: the lowest match found so far, which only ever decreases.
  // Every index below the final value has been examined, since a chunk stops at i only on a match
  // or when a match below i is already known.
  std::atomic<size_t> best{n};
  auto body = [&](size_t c) {
    const auto [b, e] = detail::chunk_range(n, chunks, c);
    for (size_t i = b; i < e; ++i) {
      if (best.load(std::memory_order_relaxed) <= i) return;
      if (pred(i)) {
        detail::lower_to(best, i);
        return;
      }
    }
  };
  detail::run(chunks, body);
  return best.load(std::memory_order_relaxed);
}

// fn(i) -> std::optional<T> for every i in [0, n); the values present, in increasing order of i.
// Each chunk collects its own stretch and the stretches are joined in order (moved, not copied).
template <class Fn>
auto filter_map(size_t n, Fn&& fn, Cost cost = {}) {
  using Opt = std::remove_cvref_t<std::invoke_result_t<Fn&, size_t>>;
  using T = typename Opt::value_type;
  std::vector<T> out;
  const size_t chunks = detail::plan_chunks(n, static_cast<double>(n) * cost.ns_per_item,
                                            cost.force_pool);
  if (chunks <= 1) {
    for (size_t i = 0; i < n; ++i)
      if (Opt v = fn(i)) out.push_back(std::move(*v));
    return out;
  }
  std::vector<std::vector<T>> parts(chunks);
  auto body = [&](size_t c) {
    const auto [b, e] = detail::chunk_range(n, chunks, c);
    std::vector<T>& part = parts[c];
    for (size_t i = b; i < e; ++i)
      if (Opt v = fn(i)) part.push_back(std::move(*v));
  };
  detail::run(chunks, body);
  size_t total = 0;
  for (const auto& p : parts) total += p.size();
  out.reserve(total);
  for (auto& p : parts) out.insert(out.end(), std::make_move_iterator(p.begin()),
                                   std::make_move_iterator(p.end()));
  return out;
}

// Every i in [0, n) with pred(i) true, in increasing order.
template <class Pred>
std::vector<size_t> filter(size_t n, Pred&& pred, Cost cost = {}) {
  return filter_map(
      n, [&](size_t i) { return pred(i) ? std::optional<size_t>(i) : std::nullopt; }, cost);
}

// Sorts [first, last) by `less` (a strict weak order); the result is identical to
// std::stable_sort's. Stretches are stable-sorted in parallel, then merged pairwise, each merge
// cut at stable split points so that pieces of one merge run in parallel too. T must be
// default-constructible (the merges use a buffer of n items) and movable.
template <class T, class Less>
void sort(T* first, T* last, Less less, Cost cost = {.ns_per_item = 4.0}) {
  static_assert(std::is_default_constructible_v<T>, "pool::sort needs a default-constructible T");
  const size_t n = static_cast<size_t>(last - first);
  const double comparisons = n < 2 ? 0.0 : static_cast<double>(n) * std::log2(static_cast<double>(n));
  const size_t runs = detail::plan_chunks(n, comparisons * cost.ns_per_item, cost.force_pool);
  if (runs <= 1) {
    std::stable_sort(first, last, less);
    return;
  }
  auto sort_run = [&](size_t c) {
    const auto [b, e] = detail::chunk_range(n, runs, c);
    std::stable_sort(first + b, first + e, less);
  };
  detail::run(runs, sort_run);

  // Run boundaries; adjacent runs are merged from `src` into `dst` until one run is left.
  std::vector<size_t> bounds(runs + 1);
  for (size_t c = 0; c < runs; ++c) bounds[c] = detail::chunk_range(n, runs, c).begin;
  bounds[runs] = n;
  std::vector<T> buffer(n);
  T* src = first;
  T* dst = buffer.data();
  // Merge pieces of roughly equal output length, so that one big final merge still spreads.
  const size_t piece_len = std::max<size_t>(1, (n + runs - 1) / runs);
  struct Piece {  // merges a[0, na) and b[0, nb) into out
    T* a;
    size_t na;
    T* b;
    size_t nb;
    T* out;
  };
  std::vector<Piece> pieces;
  std::vector<size_t> next_bounds;
  while (bounds.size() > 2) {
    pieces.clear();
    next_bounds.clear();
    for (size_t k = 0; k + 1 < bounds.size(); k += 2) {
      const size_t a0 = bounds[k], a1 = bounds[k + 1];
      const size_t b1 = k + 2 < bounds.size() ? bounds[k + 2] : a1;  // a lone last run moves
      next_bounds.push_back(a0);
      const T* a = src + a0;
      const T* b = src + a1;
      const size_t na = a1 - a0, nb = b1 - a1;
      // How many items of A come first among the first d items of the stable merge of A and B
      // (A wins ties): the smallest i such that A[i] does not precede B[d - i - 1]. Computed
      // before any merge starts, since merges move items out of src.
      auto split = [&](size_t d) {
        size_t lo = d > nb ? d - nb : 0, hi = std::min(d, na);
        while (lo < hi) {
          const size_t mid = lo + (hi - lo) / 2;
          if (!less(b[d - mid - 1], a[mid])) lo = mid + 1;
          else hi = mid;
        }
        return lo;
      };
      size_t i0 = 0;
      for (size_t d0 = 0; d0 < na + nb; d0 += piece_len) {
        const size_t d1 = std::min(d0 + piece_len, na + nb);
        const size_t i1 = d1 == na + nb ? na : split(d1);
        pieces.push_back({src + a0 + i0, i1 - i0, src + a1 + (d0 - i0), (d1 - i1) - (d0 - i0),
                          dst + a0 + d0});
        i0 = i1;
      }
    }
    next_bounds.push_back(n);
    auto merge_piece = [&](size_t k) {
      const Piece& p = pieces[k];
      std::merge(std::make_move_iterator(p.a), std::make_move_iterator(p.a + p.na),
                 std::make_move_iterator(p.b), std::make_move_iterator(p.b + p.nb), p.out, less);
    };
    detail::run(pieces.size(), merge_piece);
    bounds.swap(next_bounds);
    std::swap(src, dst);
  }
  if (src != first) {
    auto move_back = [&](size_t c) {
      const auto [b, e] = detail::chunk_range(n, runs, c);
      std::move(src + b, src + e, first + b);
    };
    detail::run(runs, move_back);
  }
}

}  // namespace tbx::pool
