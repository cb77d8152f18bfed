// The class ParserConfig: one configuration record that Python code builds
// from a preset and edits through setters, plus the access state that keeps
// a setter and a parse from using one object at the same time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "types/parser_config.h"

namespace python_bindings {

// Creates the type once for the process; later calls do nothing. False with
// an exception set on failure.
bool create_parser_config_type() noexcept;

PyTypeObject* parser_config_type() noexcept;

// Shared access to a ParserConfig object for as long as this lives. Check
// `acquired()`: when the object is held exclusively (a setter is running
// Python code that calls back into parse), RuntimeError "Already mutably
// borrowed" is set instead.
class SharedConfigAccess {
 public:
  explicit SharedConfigAccess(PyObject* config) noexcept;
  ~SharedConfigAccess();
  SharedConfigAccess(const SharedConfigAccess&) = delete;
  SharedConfigAccess& operator=(const SharedConfigAccess&) = delete;

  bool acquired() const noexcept { return config_ != nullptr; }
  const types::ParserConfig& config() const noexcept;

 private:
  PyObject* config_;
};

}  // namespace python_bindings
