#include "module/python_module.h"

#include "module/module_state.h"
#include "module/parse_function.h"
#include "module/parser_config_type.h"
#include "module/result_types.h"
#include "python_glue/py_ref.h"

namespace module {

using python_glue::PyRef;

namespace {

bool add_to_module(PyObject* module, PyObject* all, const char* name, PyObject* value) {
  PyRef listed_name(PyUnicode_FromString(name));
  return listed_name && PyList_Append(all, listed_name.get()) == 0 &&
         PyModule_AddObjectRef(module, name, value) == 0;
}

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

}  // namespace

bool python_module(PyObject* module) {
  ModuleState* state = TheModuleState::adopt(module);
  if (state == nullptr) {
    PyErr_SetString(PyExc_SystemError, "_tagmire_rs was created without its state");
    return false;
  }
  if (!create_result_types(*state) || !create_parser_config_type(*state)) return false;
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

}  // namespace module
