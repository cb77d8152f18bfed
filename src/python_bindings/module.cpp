// The extension module _tagmire_rs: created once, in the main interpreter,
// holding the five classes and the function parse.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python_bindings/parse_function.h"
#include "python_bindings/parser_config_type.h"
#include "python_bindings/py_errors.h"
#include "python_bindings/py_ref.h"
#include "python_bindings/result_types.h"

namespace python_bindings {
namespace {

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

bool add_to_module(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  PyRef listed_name(PyUnicode_FromString(name));
  return listed_name && PyList_Append(all, listed_name.get()) == 0 &&
         PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

// Adds, in this order, ParseResult, Segment, Annotation, Marker, ParserConfig
// and parse, each name also appended to __all__.
bool python_module(PyObject* module) {
  if (!create_result_types() || !create_parser_config_type()) return false;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  PyRef all = PyRef::borrow(PyDict_GetItemString(dict, "__all__"));
  if (!all) {
    all = PyRef(PyList_New(0));
    if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "_tagmire_rs.__all__ must be a list");
    return false;
  }
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  PyRef parse(PyCFunction_NewEx(&parse_method, module, module_name.get()));
  return parse && add_to_module(module, all.get(), "ParseResult", as_object(parse_result_type())) &&
         add_to_module(module, all.get(), "Segment", as_object(segment_type())) &&
         add_to_module(module, all.get(), "Annotation", as_object(annotation_type())) &&
         add_to_module(module, all.get(), "Marker", as_object(marker_type())) &&
         add_to_module(module, all.get(), "ParserConfig", as_object(parser_config_type())) &&
         add_to_module(module, all.get(), "parse", parse.get());
}

PyObject* init_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  // The five types and the module live for the process, so they must come
  // from, and stay in, the interpreter that lives as long as the process.
  if (PyInterpreterState_GetID(interpreter) != PyInterpreterState_GetID(PyInterpreterState_Main())) {
    PyErr_SetString(PyExc_ImportError,
                    "_tagmire_rs can only be loaded by the main interpreter; sub-interpreters are not supported");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  PyRef module(PyModule_Create(&module_definition));
  if (!module || !python_module(module.get())) return nullptr;
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace python_bindings

PyMODINIT_FUNC PyInit__tagmire_rs() {
  return python_bindings::guarded([] { return python_bindings::init_module(); });
}
