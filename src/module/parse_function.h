// The module function parse(input, config=None).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace module {

// The method definition behind `parse`; lives for the process, as the
// function objects made from it require.
extern PyMethodDef parse_method;

}  // namespace module
