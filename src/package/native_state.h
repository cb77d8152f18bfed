// What the tagmire._native module object holds: the package's native
// classes, made when the module is executed and found here by the code that
// makes instances (see python_glue/module_state.h).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>

#include "python_glue/module_state.h"

namespace package {

struct NativeState {
  PyTypeObject* parsed_text = nullptr;
  PyTypeObject* segment = nullptr;
  PyTypeObject* marker = nullptr;
  PyTypeObject* annotation = nullptr;
  PyTypeObject* update = nullptr;
  PyTypeObject* preview_update = nullptr;
  PyTypeObject* arrow_export = nullptr;
  PyTypeObject* stream = nullptr;

  std::array<PyTypeObject**, 8> references() noexcept {
    return {&parsed_text, &segment, &marker, &annotation, &update, &preview_update, &arrow_export, &stream};
  }
};

using TheNativeState = python_glue::OneModuleState<NativeState>;

}  // namespace package
