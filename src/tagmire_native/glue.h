// What every entry point of tagmire._native needs: the guard that keeps C++
// exceptions out of the interpreter (shared with _tagmire_rs), the
// interpreter lock released for a scope, and method tables.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_bindings/py_errors.h"

namespace tagmire_native {

// The same guard as _tagmire_rs's: no C++ exception unwinds into C frames.
using python_bindings::guarded;

// The interpreter lock released for as long as this lives; taken back
// before anything, an exception included, leaves the scope.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { PyEval_RestoreThread(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  PyThreadState* state_;
};

template <class Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tagmire_native
