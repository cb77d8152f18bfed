// The interpreter lock released for a scope, and method tables that take
// functions of any of the C API's calling conventions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <chrono>
#include <thread>

namespace python_glue {

// The interpreter lock released for as long as this lives; taken back
// before anything, an exception included, leaves the scope.
class ReleasedGil {
 public:
  ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
  ~ReleasedGil() { restore(state_); }
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

 private:
  // Once the interpreter is finalizing, a daemon thread that asks for the
  // lock back is ended by CPython (up to 3.13) with pthread_exit, which
  // unwinds the thread's stack like an exception. Unwinding through our
  // noexcept frames would call std::terminate and abort the process at
  // exit, so the unwind stops here, below them, and the thread waits,
  // holding nothing, until the process ends: what CPython 3.14 does itself.
  // Not noexcept, so that the unwind reaches this handler.
  static void restore(PyThreadState* state) {
    try {
      PyEval_RestoreThread(state);
    } catch (...) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
  }

  PyThreadState* state_;
};

// A method table's entry takes every calling convention as a PyCFunction;
// the flags beside it say which one it is.
template <class Function>
PyCFunction as_method(Function* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace python_glue
