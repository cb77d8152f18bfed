// What the package's records show, field by field: each record type names
// its fields once, and its repr, its equality and its to_dict() are made
// from that list, so that the three always agree.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

#include "python_glue/heap_types.h"
#include "python_glue/py_ref.h"
#include "python_glue/released_gil.h"

namespace package {

inline constexpr const char* kAnnotationFields[] = {"tag", "attrs"};
inline constexpr const char* kSegmentFields[] = {"text",     "start",       "end",      "char_start",
                                                 "char_end", "annotations", "continues"};
inline constexpr const char* kMarkerFields[] = {"pos", "char_pos", "annotation"};
inline constexpr const char* kTextFields[] = {"text",     "start",    "end",     "char_start",
                                              "char_end", "segments", "markers", "provisional"};
inline constexpr const char* kUpdateFields[] = {"committed"};
inline constexpr const char* kPreviewUpdateFields[] = {"committed", "pending", "revised"};

using Fields = std::span<const char* const>;

// A tuple of `count` objects made by `make(i)`; null with an exception set
// when one fails.
template <class Make>
PyObject* tuple_of(std::size_t count, Make&& make) {
  python_glue::PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

// "Name(field=repr, ...)", Name the type's name.
PyObject* repr_of(PyObject* self, Fields fields);
// Equality by value: the same type and equal fields.
PyObject* compare_fields(PyObject* a, PyObject* b, int op, Fields fields);
// to_dict(): each field's value, records among them as their own dicts and
// tuples of records as lists of dicts.
PyObject* dict_of(PyObject* self, Fields fields);

// The three over `kFields`, as a type's slots and methods take them.
template <const auto& kFields>
struct FieldFunctions {
  static PyObject* repr(PyObject* self) noexcept { return repr_of(self, kFields); }
  static PyObject* compare(PyObject* a, PyObject* b, int op) noexcept { return compare_fields(a, b, op, kFields); }
  static PyObject* to_dict(PyObject* self, PyObject*) noexcept { return dict_of(self, kFields); }
};

// The methods of a record type with no method but to_dict(), which `doc`
// describes.
template <const auto& kFields>
std::array<PyMethodDef, 2> to_dict_only(const char* doc) {
  return {{
      {"to_dict", python_glue::as_method(FieldFunctions<kFields>::to_dict), METH_NOARGS, doc},
      {nullptr, nullptr, 0, nullptr},
  }};
}

// The slots of a record type whose objects are `Object`s holding a record
// and whose fields are `kFields`: its getters, methods and docstring, and a
// repr of its own where the fields' does not do.
template <class Object, const auto& kFields>
std::array<PyType_Slot, 7> record_slots(PyGetSetDef* getset, PyMethodDef* methods, const char* doc,
                                        reprfunc repr = FieldFunctions<kFields>::repr) {
  return {{
      {Py_tp_dealloc, reinterpret_cast<void*>(python_glue::dealloc_record<Object>)},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(FieldFunctions<kFields>::compare)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_tp_doc, const_cast<char*>(doc)},
      {0, nullptr},
  }};
}

}  // namespace package
