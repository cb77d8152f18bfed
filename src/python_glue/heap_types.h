// Creation of the module's heap types, and the allocation and release of
// instances that hold one C++ record each.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

namespace python_glue {

// Creates a type from `type_spec`, whose name is "builtins.<Name>", and gives it
// the bare name <Name>. The dotted name is what makes `__module__`
// report "builtins" (an undotted one leaves the type without `__module__`
// and draws a DeprecationWarning at import); the rename afterwards keeps
// "builtins." out of tp_name, and so out of the interpreter's messages, as
// for the built-in types. The type is then made immutable, as built-in
// types are: no code can replace its attributes for the whole process.
// Returns a new reference or null.
PyTypeObject* create_builtin_type(PyType_Spec* type_spec) noexcept;

// An instance of `type` (whose object layout is `Object`) that takes over
// `record`. Moving the record cannot throw, so the copy a caller makes for
// it is the only step that can, and it happens before anything is allocated.
template <class Object, class Record>
PyObject* adopt_record(PyTypeObject* type, Record&& record) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<std::remove_cvref_t<Record>>);
  // The types hold no references the collector must see and take no items,
  // so an instance is plain memory with a header: no zeroing, no tracking.
  void* memory = PyObject_Malloc(sizeof(Object));
  if (memory == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), type);
  ::new (&reinterpret_cast<Object*>(self)->record) std::remove_cvref_t<Record>(std::move(record));
  return self;
}

// tp_dealloc for a type whose instances hold one `record`: destroys it,
// frees the memory, and releases the reference the instance held on its
// heap type.
template <class Object>
void dealloc_record(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  using Record = decltype(Object::record);
  reinterpret_cast<Object*>(self)->record.~Record();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class Object>
auto& record_of(PyObject* self) noexcept {
  return reinterpret_cast<Object*>(self)->record;
}

}  // namespace python_glue
