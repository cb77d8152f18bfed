// The batch parser's glue: parse_texts and parse_arrow take rows (a list of
// str, or Arrow string buffers) and a configuration, run the batch core with
// the interpreter lock released, and hand back each output chunk as a tuple
// of its columns (ArrowExport objects), which pyarrow takes without a copy;
// output_schema gives the columns' names and types.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// Adds parse_texts, parse_arrow, output_schema, OUTPUT_FORMS, OUTPUT_COLUMNS
// (each form's column names), ERROR_POLICIES, InvalidTextError and
// OutputTooLargeError to `module`. False with an exception set.
bool add_batch_functions(PyObject* module) noexcept;

}  // namespace package
