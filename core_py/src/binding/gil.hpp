#pragma once
// Releasing the interpreter lock: code inside the guard's scope touches no Python object.
#include "binding/python.hpp"

namespace tbx::py {

class ReleaseGil {
 public:
  ReleaseGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `f` without the interpreter lock and returns its result.
template <class F>
auto without_gil(F&& f) {
  ReleaseGil guard;
  return f();
}

}  // namespace tbx::py
