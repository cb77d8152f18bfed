// The package's native half: what tagmire needs besides _tagmire_rs's own
// surface (batches, streams, the configuration vocabulary), held by the one
// extension module as its private attribute _native and imported by the
// package as tagmire._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// A new module object, executed: its state holds the package's classes
// from now on (native_state.h). A new reference, or null with an exception
// set. Made once, by the extension module's own execution.
PyObject* create_native_module();

}  // namespace package
