// Configurations crossing into the package's native half, and the
// configuration vocabulary the package reads from here rather than
// repeating: the keywords of the enumerations and the fields of a
// ParserConfig (the presets among them).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "parser/tag_table.h"

namespace package {

// The configuration a native call was given, prepared for parsing: always a
// _tagmire_rs.ParserConfig, the one path by which a configuration reaches
// C++. The package turns its own None (tagmire.Config()) and every Config
// into one first, so that None has one meaning, and never the module's
// preset. Null with TypeError or RuntimeError set.
std::shared_ptr<const parser::PreparedConfig> config_argument(PyObject* value);

// Adds RECOVERY_STRATEGIES and UNKNOWN_MODES (tuples of keywords, in the
// order of the enumerations), config_fields() and blank_parser_config() to
// `module`. False with an exception set.
bool add_config_functions(PyObject* module) noexcept;

}  // namespace package
