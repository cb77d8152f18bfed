#include "python_glue/heap_types.h"

#include <cstring>

#include "python_glue/py_ref.h"

namespace python_glue {

PyTypeObject* create_builtin_type(PyType_Spec* type_spec) noexcept {
  PyRef type(PyType_FromSpec(type_spec));
  if (!type) return nullptr;
  const char* dot = std::strrchr(type_spec->name, '.');
  PyRef name(PyUnicode_FromString(dot == nullptr ? type_spec->name : dot + 1));
  if (!name || PyObject_SetAttrString(type.get(), "__name__", name.get()) < 0) return nullptr;
  auto* created = reinterpret_cast<PyTypeObject*>(type.release());
  // Set only now: an immutable type refuses the rename above.
  created->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(created);
  return created;
}

}  // namespace python_glue
