// The interpreter lock released for a scope, and method tables that take
// functions of any of the C API's calling conventions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace python_glue {

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

// A method table's entry takes every calling convention as a PyCFunction;
// the flags beside it say which one it is.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace python_glue
