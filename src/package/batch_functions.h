// The batch parser's glue: parse_texts and parse_arrow take rows (a list of
// str, or Arrow string buffers) and a configuration, run the batch core with
// the interpreter lock released, and hand back each output chunk as a dict
// of read-only Buffer objects that pyarrow wraps without copying.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// Adds parse_texts and parse_arrow to `module`. False with an exception set.
bool add_batch_functions(PyObject* module) noexcept;

}  // namespace package
