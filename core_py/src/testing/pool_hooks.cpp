// Hooks that run the worker pool over lists of integers, so that tests can compare it with
// Python's own scan, filter and sort. Arguments are converted first; the pool then runs without
// the interpreter lock. `force_parallel` hands even small inputs to the helper threads.
#include <optional>
#include <string>
#include <vector>

#include "binding/function.hpp"
#include "binding/gil.hpp"
#include "search/pool.hpp"
#include "testing/testing.hpp"

namespace tbx::py {
namespace {

pool::Cost cost_of(const StrictBool& force) { return {.ns_per_item = 10.0, .force_pool = force.v}; }

template <class T, class ToPy>
PyObject* list_of(const std::vector<T>& items, ToPy to_item) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_item(items[i]);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* index_list(const std::vector<size_t>& indexes) {
  return list_of(indexes, [](size_t i) { return PyLong_FromSize_t(i); });
}

// The index of the first item equal to `target`, or len(values).
size_t find_first_hook(const Seq<Int32>& values, Int32 target, StrictBool force_parallel) {
  const std::vector<int32_t>& v = values.v;
  ReleaseGil unlocked;
  return pool::find_first(v.size(), [&](size_t i) { return v[i] == target.v; },
                          cost_of(force_parallel));
}

// The indexes of the items below `limit`, in order.
PyObject* filter_hook(const Seq<Int32>& values, Int32 limit, StrictBool force_parallel) {
  const std::vector<int32_t>& v = values.v;
  std::vector<size_t> kept;
  {
    ReleaseGil unlocked;
    kept = pool::filter(v.size(), [&](size_t i) { return v[i] < limit.v; }, cost_of(force_parallel));
  }
  return index_list(kept);
}

// The decimal texts of the items below `limit`, in order.
PyObject* filter_map_hook(const Seq<Int32>& values, Int32 limit, StrictBool force_parallel) {
  const std::vector<int32_t>& v = values.v;
  std::vector<std::string> texts;
  {
    ReleaseGil unlocked;
    texts = pool::filter_map(
        v.size(),
        [&](size_t i) {
          return v[i] < limit.v ? std::optional<std::string>(std::to_string(v[i])) : std::nullopt;
        },
        cost_of(force_parallel));
  }
  return list_of(texts, [](const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

// The indexes 0..len(keys)-1 sorted stably by their keys: sorted(range(n), key=keys.__getitem__).
PyObject* sort_hook(const Seq<Int32>& keys, StrictBool force_parallel) {
  const std::vector<int32_t>& k = keys.v;
  std::vector<size_t> order(k.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  {
    ReleaseGil unlocked;
    pool::sort(order.data(), order.data() + order.size(),
               [&](size_t a, size_t b) { return k[a] < k[b]; },
               {.ns_per_item = 4.0, .force_pool = force_parallel.v});
  }
  return index_list(order);
}

// (helper threads of this process, chunks run by helper threads so far).
PyObject* stats_hook() {
  return Py_BuildValue("(nK)", static_cast<Py_ssize_t>(pool::helper_count()),
                       static_cast<unsigned long long>(pool::helper_chunks_run()));
}

PyMethodDef hooks[] = {
    function<"pool_find_first(values, target, force_parallel)", &find_first_hook>(),
    function<"pool_filter(values, limit, force_parallel)", &filter_hook>(),
    function<"pool_filter_map(values, limit, force_parallel)", &filter_map_hook>(),
    function<"pool_sort(keys, force_parallel)", &sort_hook>(),
    function<"pool_stats()", &stats_hook>(),
    {},
};

}  // namespace

PyMethodDef* pool_hooks() { return hooks; }

}  // namespace tbx::py
