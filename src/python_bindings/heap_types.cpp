#include "python_bindings/heap_types.h"

#include <cstring>

#include "python_bindings/py_ref.h"

namespace python_bindings {

PyTypeObject* create_builtin_type(PyType_Spec* spec) noexcept {
  PyRef type(PyType_FromSpec(spec));
  if (!type) return nullptr;
  const char* dot = std::strrchr(spec->name, '.');
  PyRef name(PyUnicode_FromString(dot == nullptr ? spec->name : dot + 1));
  if (!name || PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) return nullptr;
  return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace python_bindings
