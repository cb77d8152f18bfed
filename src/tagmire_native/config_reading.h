// Configurations handed to tagmire._native: None (the default preset), a
// _tagmire_rs.ParserConfig, or the plain values of a tagmire.Config.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "types/parser_config.h"

namespace tagmire_native {

// Finds _tagmire_rs.ParserConfig and checks its layout; once, at import.
// False with ImportError set.
bool load_parser_config_type();

// The configuration `value` stands for, or false with an exception set.
bool read_config(PyObject* value, types::ParserConfig* out);

}  // namespace tagmire_native
