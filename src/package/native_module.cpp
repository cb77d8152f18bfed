#include "package/native_module.h"

#include "package/arrow_export.h"
#include "package/batch_functions.h"
#include "package/config_functions.h"
#include "package/parse_function.h"
#include "package/records.h"
#include "package/stream_object.h"
#include "python_glue/py_ref.h"

namespace package {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tagmire._native",
    "The native half of the tagmire package: batches, streams and the configuration vocabulary.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* module_object = nullptr;

}  // namespace

PyObject* create_native_module() {
  if (module_object != nullptr) return Py_NewRef(module_object);
  python_glue::PyRef module(PyModule_Create(&module_definition));
  if (!module || !add_arrow_export_type(module.get()) || !add_batch_functions(module.get()) ||
      !add_config_functions(module.get()) || !add_record_types(module.get()) ||
      !add_parse_function(module.get()) || !add_stream_type(module.get())) {
    return nullptr;
  }
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace package
