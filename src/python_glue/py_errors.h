// Failures at the boundary: the guard that keeps C++ exceptions out of the
// interpreter, the pending exception as one object, and the messages for
// arguments that cannot be converted.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <system_error>

#include "python_glue/py_ref.h"

namespace python_glue {

// Runs `body`, which returns a new reference or null with an exception set,
// at an entry point called by the interpreter. Only std::bad_alloc can come
// out of the core; it becomes MemoryError. A thread the system refused to
// start (the batch parser's) becomes RuntimeError. Anything else would be
// a fault of ours and becomes SystemError rather than unwinding into C
// frames.
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
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a tagmire extension module");
  }
  return nullptr;
}

// Takes the pending exception (empty if none) and clears it.
PyRef take_pending_exception() noexcept;
// Makes `exception` the pending exception again.
void restore_pending_exception(PyRef exception) noexcept;

// Raises TypeError "argument '{param}': '{type}' object cannot be converted
// to '{target}'", with the qualified name of the type of `value`.
void raise_conversion_error(const char* param, PyObject* value, const char* target) noexcept;

// Raises TypeError "argument '{param}': {message}".
void raise_argument_error(const char* param, const char* message) noexcept;

// Called when converting argument `param` failed: a pending TypeError gets
// the prefix "argument '{param}': ", every other exception (an encoding
// error, RuntimeError, MemoryError, ...) stays exactly as it is.
void prefix_argument_error(const char* param) noexcept;

}  // namespace python_glue
