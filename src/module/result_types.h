// The classes ParseResult, Segment, Annotation and Marker: read-only views of
// one parse's records that build fresh Python objects on every read.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/module_state.h"
#include "python_glue/str_text.h"
#include "types/parse_records.h"

namespace module {

// Creates the four types into the module's `state`. False with an
// exception set on failure.
bool create_result_types(ModuleState& state) noexcept;

// The types, from the module's state.

PyTypeObject* parse_result_type() noexcept;
PyTypeObject* segment_type() noexcept;
PyTypeObject* annotation_type() noexcept;
PyTypeObject* marker_type() noexcept;

// A new ParseResult object holding `text` (a str; a new reference is taken)
// and the records `parts` describe, from a parse of the str `input`, packed
// with the object (python_glue/str_records.h), which keeps `input`, where
// its annotations are read; nothing else is converted until a property is
// read. Null with an exception set on failure.
PyObject* make_parse_result(PyObject* text, const python_glue::StrView& input,
                            const types::ParseRecords::Parts& parts) noexcept;

}  // namespace module
