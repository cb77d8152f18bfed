// The package's native half: what tagmire needs besides _tagmire_rs's own
// surface (batches, streams, the configuration vocabulary), held by the one
// extension module as its private attribute _native and imported by the
// package as tagmire._native.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// The module object, created on the first call; a new reference, or null
// with an exception set.
PyObject* create_native_module();

}  // namespace package
