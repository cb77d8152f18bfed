// An object's critical section for a scope: what the interpreter lock gives
// a whole call on an ordinary build, a free-threaded build gives per object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace python_glue {

// Holds `object`'s own lock for as long as this lives, on a free-threaded
// build; elsewhere the interpreter lock already does, and this is nothing.
// As with the interpreter lock, the section is suspended whenever the
// thread waits (on a lock, for a pause of every thread, in Python code that
// blocks), so other threads may use the object there: state that must hold
// across Python code still needs a flag of its own. Sections end in the
// reverse order of their start, which scopes give.
class CriticalSection {
 public:
#ifdef Py_GIL_DISABLED
  explicit CriticalSection(PyObject* object) noexcept { PyCriticalSection_Begin(&section_, object); }
  ~CriticalSection() { PyCriticalSection_End(&section_); }
#else
  explicit CriticalSection(PyObject*) noexcept {}
#endif
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
 private:
  PyCriticalSection section_;
#endif
};

}  // namespace python_glue
