// What the _tagmire_rs module object holds: the five classes, made when the
// module is executed. A process has one such module (it refuses other
// interpreters, and importing it again hands out the same object), so the
// code that makes instances finds the classes here.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "python_glue/module_state.h"

namespace module {

struct ModuleState {
  PyTypeObject* parse_result = nullptr;
  PyTypeObject* segment = nullptr;
  PyTypeObject* annotation = nullptr;
  PyTypeObject* marker = nullptr;
  PyTypeObject* parser_config = nullptr;

  std::array<PyTypeObject**, 5> references() noexcept {
    return {&parse_result, &segment, &annotation, &marker, &parser_config};
  }
};

using TheModuleState = python_glue::OneModuleState<ModuleState>;

}  // namespace module
