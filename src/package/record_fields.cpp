#include "package/record_fields.h"

#include "package/record_types.h"

namespace package {

using python_glue::PyRef;

namespace {

// The values of `fields` read from `self`, as a tuple.
PyObject* field_values(PyObject* self, Fields fields) {
  return tuple_of(fields.size(), [&](std::size_t i) { return PyObject_GetAttrString(self, fields[i]); });
}

// The fields of a record of `type`, or none for any other object.
Fields fields_of(PyTypeObject* type) {
  if (type == annotation_type()) return kAnnotationFields;
  if (type == segment_type()) return kSegmentFields;
  if (type == marker_type()) return kMarkerFields;
  if (type == parsed_text_type()) return kTextFields;
  return {};
}

// `value` as plain dicts and lists.
PyObject* plain(PyObject* value) {
  if (PyTuple_Check(value)) {
    const Py_ssize_t size = PyTuple_GET_SIZE(value);
    PyRef list(PyList_New(size));
    if (!list) return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
      PyObject* item = plain(PyTuple_GET_ITEM(value, i));
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), i, item);
    }
    return list.release();
  }
  const Fields fields = fields_of(Py_TYPE(value));
  return fields.empty() ? Py_NewRef(value) : dict_of(value, fields);
}

}  // namespace

PyObject* repr_of(PyObject* self, Fields fields) {
  PyRef name(PyType_GetName(Py_TYPE(self)));
  if (!name) return nullptr;
  PyRef values(field_values(self, fields));
  if (!values) return nullptr;
  PyRef parts(PyList_New(0));
  if (!parts) return nullptr;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    PyRef part(PyUnicode_FromFormat("%s=%R", fields[i], PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i))));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  PyRef separator(PyUnicode_FromString(", "));
  if (!separator) return nullptr;
  PyRef joined(PyUnicode_Join(separator.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("%U(%U)", name.get(), joined.get());
}

PyObject* compare_fields(PyObject* a, PyObject* b, int op, Fields fields) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  PyRef left(field_values(a, fields));
  PyRef right(field_values(b, fields));
  if (!left || !right) return nullptr;
  return PyObject_RichCompare(left.get(), right.get(), op);
}

PyObject* dict_of(PyObject* self, Fields fields) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const char* field : fields) {
    PyRef value(PyObject_GetAttrString(self, field));
    if (!value) return nullptr;
    PyRef plain_value(plain(value.get()));
    if (!plain_value || PyDict_SetItemString(dict.get(), field, plain_value.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace package
