// The one extension module, _tagmire_rs: created once, in the main
// interpreter. Its public surface is the five classes and the function
// parse; the package tagmire finds its own native half (batches, streams,
// its records) under the private name _native, so that everything native
// lives in one shared object with one copy of the parser.
//
// Initialised in phases: the interpreter creates the module (create_module),
// then executes it (execute_module), which makes the classes into the
// module's state. The module uses no global lock: a free-threaded
// interpreter keeps running without one after the import.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/module_state.h"
#include "module/python_module.h"
#include "package/native_module.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"

namespace extension {
namespace {

using module::ModuleState;
using module::TheModuleState;
using python_glue::PyRef;

// The one module object. Creating it again (after the module was dropped
// from sys.modules) hands out this same object.
PyObject* module_object = nullptr;
// Its state when it was last handed out again (see execute_module).
ModuleState* handed_out_state = nullptr;

PyObject* create_module(PyObject* spec, PyModuleDef*) noexcept {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  // The module and its classes live for the process, so they must come
  // from, and stay in, the interpreter that lives as long as the process.
  if (PyInterpreterState_GetID(interpreter) != PyInterpreterState_GetID(PyInterpreterState_Main())) {
    PyErr_SetString(PyExc_ImportError,
                    "_tagmire_rs can only be loaded by the main interpreter; sub-interpreters are not supported");
    return nullptr;
  }
  if (module_object != nullptr) {
    handed_out_state = static_cast<ModuleState*>(PyModule_GetState(module_object));
    return Py_NewRef(module_object);
  }
  PyRef name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  return PyModule_NewObject(name.get());
}

bool fill_module(PyObject* module) {
  if (module == module_object) {
    // Handed out again: the interpreter gave the module a blank state block
    // in place of the one it had, which it does not free. What the old
    // block held moves into the new one, and the old one is freed as the
    // interpreter frees a module's state, with PyMem_Free.
    ModuleState* state = TheModuleState::adopt(module);
    if (state != nullptr && handed_out_state != nullptr && state != handed_out_state) {
      *state = *handed_out_state;
      PyMem_Free(handed_out_state);
    }
    handed_out_state = nullptr;
    return true;
  }
  if (!module::python_module(module)) return false;
  PyRef native(package::create_native_module());
  if (!native || PyModule_AddObjectRef(module, "_native", native.get()) < 0) return false;
  module_object = Py_NewRef(module);
  return true;
}

int execute_module(PyObject* module) noexcept {
  return python_glue::guarded([&] { return fill_module(module) ? Py_None : nullptr; }) != nullptr ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(execute_module)},
#ifdef Py_mod_multiple_interpreters
    // An isolated interpreter refuses the module before create_module runs;
    // a legacy one lets create_module refuse it, with its own message.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tagmire_rs",            // m_name
    "",                       // m_doc
    sizeof(ModuleState),      // m_size
    nullptr,                  // m_methods: everything is added by python_module
    module_slots,             // m_slots
    TheModuleState::traverse, // m_traverse
    TheModuleState::clear,    // m_clear
    TheModuleState::free,     // m_free
};

}  // namespace
}  // namespace extension

PyMODINIT_FUNC PyInit__tagmire_rs() { return PyModuleDef_Init(&extension::module_definition); }
