// The class ParserConfig: one configuration record that Python code builds
// from a preset and edits through setters, plus the access state that keeps
// a setter and a parse from using one object at the same time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "parser/tag_table.h"
#include "types/parser_config.h"

namespace module {

// What a ParserConfig object holds.
struct ConfigState {
  // Who uses the object right now: 0 nobody, n > 0 that many parses reading
  // it, kExclusive a setter writing it.
  static constexpr Py_ssize_t kExclusive = -1;

  types::ParserConfig config;
  Py_ssize_t access = 0;
  // The record as a parse reads it, prepared by the first parse that uses
  // this object and dropped by every setter. Shared, so that a parse
  // running without the interpreter lock (a batch, a stream) keeps the one
  // it started with whatever setters run meanwhile.
  std::shared_ptr<const parser::PreparedConfig> prepared;
};

struct PyParserConfig {
  PyObject_HEAD
  ConfigState record;
};

// Creates the type once for the process; later calls do nothing. False with
// an exception set on failure.
bool create_parser_config_type() noexcept;

PyTypeObject* parser_config_type() noexcept;

// A new ParserConfig object holding `config`, or null with an exception set.
PyObject* new_parser_config(types::ParserConfig&& config) noexcept;

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
  // The record prepared for parsing, kept until a setter runs. Throws
  // std::bad_alloc.
  std::shared_ptr<const parser::PreparedConfig> prepared() const;

 private:
  PyObject* config_;
};

}  // namespace module
