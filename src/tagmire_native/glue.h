// What every entry point of tagmire._native needs: the guard that keeps C++
// exceptions out of the interpreter, the interpreter lock released for a
// scope, and method tables.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <system_error>

namespace tagmire_native {

// Runs `body` at an entry point called by the interpreter: no C++ exception
// may unwind into C frames. Running out of memory becomes MemoryError and a
// thread the system refused to start RuntimeError; anything else would be
// a fault of ours and becomes SystemError.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::system_error& error) {
    PyErr_Format(PyExc_RuntimeError, "could not start a parsing thread: %s", error.what());
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in tagmire._native");
  }
  return nullptr;
}

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
