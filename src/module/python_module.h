// The surface of the extension module _tagmire_rs: its five classes and the
// function parse, added to the module in their fixed order.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace module {

// Makes the five classes into the state of `module` (a ModuleState, which
// becomes the one the classes are found in) and adds, in this order,
// ParseResult, Segment, Annotation, Marker, ParserConfig and parse to it,
// each name also appended to __all__. False with an exception set: the
// first failure stops it.
bool python_module(PyObject* module);

}  // namespace module
