// Binding of fast-call arguments (a vector of positional values plus a tuple
// of keyword names) to named parameters, with our own fixed messages: the
// interpreter's wording for these errors differs between versions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace python_glue {

// The parameters of one function. Every parameter may be given by position
// or by keyword; the first `required` of them must be given.
struct Signature {
  const char* function;  // as named in messages, e.g. "parse"
  std::span<const char* const> parameters;
  Py_ssize_t required;
};

// Fills `bound` (one slot per parameter) with borrowed references, null for
// parameters not given. False with TypeError set when the call does not fit,
// e.g. "parse() got an unexpected keyword argument 'text'".
bool bind_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) noexcept;

}  // namespace python_glue
