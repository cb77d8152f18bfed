// The type tagmire._native.Stream: the streaming parser's native half, which
// tagmire.StreamParser wraps. It takes pieces of text as str objects and
// hands back each settled run as plain tuples, with byte and character
// positions in the whole text.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// Creates the type into the module's state (native_state.h) and adds it to
// `module`. False with an exception set.
bool add_stream_type(PyObject* module);

}  // namespace package
