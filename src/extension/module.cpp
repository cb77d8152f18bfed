// The one extension module, _tagmire_rs: created once, in the main
// interpreter. Its public surface is the five classes and the function
// parse; the package tagmire finds its own native half (batches, streams,
// its records) under the private name _native, so that everything native
// lives in one shared object with one copy of the parser.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "module/python_module.h"
#include "package/native_module.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"

namespace extension {
namespace {

using python_glue::PyRef;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_tagmire_rs",  // m_name
    "",             // m_doc
    0,              // m_size: no per-module state
    nullptr,        // m_methods: everything is added by python_module
    nullptr,        // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

// The one module object. Initialising again (after the module was dropped
// from sys.modules) hands out this same object.
PyObject* module_object = nullptr;

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  // The types and the module live for the process, so they must come from,
  // and stay in, the interpreter that lives as long as the process.
  if (PyInterpreterState_GetID(interpreter) != PyInterpreterState_GetID(PyInterpreterState_Main())) {
    PyErr_SetString(PyExc_ImportError,
                    "_tagmire_rs can only be loaded by the main interpreter; sub-interpreters are not supported");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  PyRef created(PyModule_Create(&module_definition));
  if (!created || !module::python_module(created.get())) return nullptr;
  PyRef native(package::create_native_module());
  if (!native || PyModule_AddObjectRef(created.get(), "_native", native.get()) < 0) return nullptr;
  module_object = Py_NewRef(created.get());
  return created.release();
}

}  // namespace
}  // namespace extension

PyMODINIT_FUNC PyInit__tagmire_rs() {
  return python_glue::guarded([] { return extension::init_module(); });
}
