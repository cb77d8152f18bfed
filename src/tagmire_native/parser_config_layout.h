// The object layout of _tagmire_rs.ParserConfig, so that parse_batch can
// take one and copy its record. The two modules are built together from one
// source tree, by one compiler, against one types::ParserConfig: that is
// what makes reading the other module's objects sound. The import of
// tagmire._native still checks the type's size against this layout, and
// every use checks the exact type first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "types/parser_config.h"

namespace tagmire_native {

struct ParserConfigObject {
  PyObject_HEAD
  types::ParserConfig record;
  // 0 nobody, n > 0 that many parses reading it, -1 a setter writing it.
  Py_ssize_t access;
};

constexpr Py_ssize_t kParserConfigWriting = -1;

}  // namespace tagmire_native
