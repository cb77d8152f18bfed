// PyRef: an owning reference to a Python object. The constructor adopts a
// new reference, the destructor releases it, release() hands it on; failure
// paths therefore need no Py_DECREF bookkeeping.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace python_glue {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Adopts `owned`, a new reference or null.
  explicit PyRef(PyObject* owned) noexcept : object_(owned) {}
  // Takes a reference of its own to `object`, which the caller only borrows.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* previous = std::exchange(object_, other.release());
    Py_XDECREF(previous);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller; this PyRef is left empty.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

}  // namespace python_glue
