// The type tagmire._native.ArrowExport: an Arrow field with its values (one
// column of one output chunk of a batch, or, without rows, the output's
// schema), which Arrow readers take through the PyCapsule interface
// (__arrow_c_schema__, __arrow_c_array__) without a copy.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "batch/arrow_field.h"

namespace package {

// Creates the type into the module's state (native_state.h) and adds it to
// `module`. False with an exception set.
bool add_arrow_export_type(PyObject* module) noexcept;

// A new ArrowExport of `field`; null with an exception set.
PyObject* new_arrow_export(batch::ArrowField&& field) noexcept;

}  // namespace package
