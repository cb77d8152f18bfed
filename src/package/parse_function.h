// tagmire._native.parse(text, config, /): the package's one-shot parse,
// whose result is a tagmire.ParsedText.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace package {

// Adds parse to `module`. False with an exception set.
bool add_parse_function(PyObject* module) noexcept;

}  // namespace package
