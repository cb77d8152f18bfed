#include "package/native_module.h"

#include "package/arrow_export.h"
#include "package/batch_functions.h"
#include "package/config_functions.h"
#include "package/native_state.h"
#include "package/parse_function.h"
#include "package/records.h"
#include "package/stream_object.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"

namespace package {

namespace {

using python_glue::PyRef;

bool fill_native_module(PyObject* module) {
  if (TheNativeState::adopt(module) == nullptr) {
    PyErr_SetString(PyExc_SystemError, "tagmire._native was created without its state");
    return false;
  }
  return add_arrow_export_type(module) && add_batch_functions(module) && add_config_functions(module) &&
         add_record_types(module) && add_parse_function(module) && add_stream_type(module);
}

int execute_native_module(PyObject* module) noexcept {
  return python_glue::guarded([&] { return fill_native_module(module) ? Py_None : nullptr; }) != nullptr ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(execute_native_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tagmire._native",
    "The native half of the tagmire package: batches, streams and the configuration vocabulary.",
    sizeof(NativeState),
    nullptr,
    module_slots,
    TheNativeState::traverse,
    TheNativeState::clear,
    TheNativeState::free,
};

}  // namespace

PyObject* create_native_module() {
  // Made as the import system makes a module, from a spec, though nothing
  // imports it by this name: the package finds it as _tagmire_rs._native.
  PyRef machinery(PyImport_ImportModule("importlib.machinery"));
  if (!machinery) return nullptr;
  PyRef spec(PyObject_CallMethod(machinery.get(), "ModuleSpec", "sO", module_definition.m_name, Py_None));
  if (!spec) return nullptr;
  PyRef module(PyModule_FromDefAndSpec(&module_definition, spec.get()));
  if (!module || PyModule_ExecDef(module.get(), &module_definition) < 0) return nullptr;
  return module.release();
}

}  // namespace package
