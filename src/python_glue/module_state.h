// The state of an extension module of which a process has one: the objects
// it made when it was executed, held in the module's own state block
// (m_size) and found there, without the module at hand, by the code that
// makes instances.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace python_glue {

// `State` holds strong references only, listed by its `references()` (the
// addresses of its members). The module definition takes `traverse`,
// `clear` and `free` as its m_traverse, m_clear and m_free.
template <class State>
class OneModuleState {
 public:
  // The state of `module`, which becomes the one found from now on. Null,
  // with nothing set, when `module` has no state.
  static State* adopt(PyObject* module) noexcept {
    auto* state = static_cast<State*>(PyModule_GetState(module));
    if (state != nullptr) live_ = state;
    return state;
  }
  // The state adopted last.
  static State& get() noexcept { return *live_; }

  static int traverse(PyObject* module, visitproc visit, void* arg) {
    if (auto* state = static_cast<State*>(PyModule_GetState(module))) {
      for (auto* reference : state->references()) Py_VISIT(*reference);
    }
    return 0;
  }
  static int clear(PyObject* module) {
    if (auto* state = static_cast<State*>(PyModule_GetState(module))) {
      for (auto* reference : state->references()) Py_CLEAR(*reference);
    }
    return 0;
  }
  static void free(void* module) { clear(static_cast<PyObject*>(module)); }

 private:
  static inline State* live_ = nullptr;
};

}  // namespace python_glue
