// The class ParserConfig: one configuration record that Python code builds
// from a preset and edits through setters, plus the access state that keeps
// a setter and a parse from using one object at the same time.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "module/module_state.h"
#include "parser/tag_table.h"
#include "python_glue/critical_section.h"
#include "types/parser_config.h"

namespace module {

// What a ParserConfig object holds. Setters and readers use it only inside
// the object's critical section (python_glue/critical_section.h), which on
// a free-threaded build does what the interpreter lock does elsewhere.
struct ConfigState {
  // Who uses the object across Python code that a setter or a reader runs
  // meanwhile (their own arguments' conversion, a collection): 0 nobody,
  // n > 0 that many readers, kExclusive a setter writing it.
  static constexpr Py_ssize_t kExclusive = -1;

  types::ParserConfig config;
  Py_ssize_t access = 0;
  // The record as a parse reads it, prepared by the first parse that uses
  // this object and dropped by every setter. Shared, so that a parse keeps
  // the one it started with whatever setters run meanwhile, and needs no
  // access to the object beyond taking it.
  std::shared_ptr<const parser::PreparedConfig> prepared;
};

struct PyParserConfig {
  PyObject_HEAD
  ConfigState record;
};

// Creates the type into the module's `state`. False with an exception set
// on failure.
bool create_parser_config_type(ModuleState& state) noexcept;

// The type, from the module's state.
PyTypeObject* parser_config_type() noexcept;

// A new ParserConfig object holding `config`, or null with an exception set.
PyObject* new_parser_config(types::ParserConfig&& config) noexcept;

// The record `config` (a ParserConfig object) holds, prepared for parsing,
// kept until a setter runs. Null with RuntimeError "Already mutably
// borrowed" set when a setter holds the object (it is running Python code
// that calls back into parse, or, on any build, that lets another thread
// run). Throws std::bad_alloc.
std::shared_ptr<const parser::PreparedConfig> prepared_config(PyObject* config);

// Shared access to a ParserConfig object, for a reader that runs Python code
// while it reads, for as long as this lives. Check `acquired()`: when a
// setter holds the object, RuntimeError "Already mutably borrowed" is set
// instead.
class SharedConfigAccess {
 public:
  explicit SharedConfigAccess(PyObject* config) noexcept;
  ~SharedConfigAccess();
  SharedConfigAccess(const SharedConfigAccess&) = delete;
  SharedConfigAccess& operator=(const SharedConfigAccess&) = delete;

  bool acquired() const noexcept { return state_ != nullptr; }
  const types::ParserConfig& config() const noexcept { return state_->config; }

 private:
  python_glue::CriticalSection section_;
  ConfigState* state_;
};

}  // namespace module
