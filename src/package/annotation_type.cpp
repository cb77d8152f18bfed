// tagmire.Annotation: what one tag contributes, read from its stored bytes
// each time a property is read.
#include "package/record_fields.h"
#include "package/record_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/released_gil.h"
#include "python_glue/stored_text.h"

namespace package {

using python_glue::PyRef;
using python_glue::record_of;

PyObject* new_annotation(PyObject* owner, const StoredAnnotation& stored) noexcept {
  return python_glue::adopt_record<PyAnnotation>(annotation_type(), AnnotationView{PyRef::borrow(owner), stored});
}

PyObject* segment_annotations(PyObject* owner, std::size_t i) {
  return with_segment_annotations(run_of(owner), i, [&](std::size_t count, auto&& at) {
    return tuple_of(count, [&](std::size_t k) { return new_annotation(owner, at(k)); });
  });
}

PyObject* marker_annotation(PyObject* owner, std::size_t i) {
  return new_annotation(owner, stored_marker_annotation(run_of(owner), i));
}

PyObject* annotation_tag(PyObject* self, void*) noexcept {
  const StoredAnnotation& a = record_of<PyAnnotation>(self).stored;
  return python_glue::with_annotation(a.bytes, a.ref, a.form,
                                      [](auto reader) { return python_glue::make_str_from(reader.tag()); });
}

// The attributes in written order; a key written without a value maps to
// None, as the batch parser's Arrow columns and JSON hold it.
PyObject* annotation_attrs(PyObject* self, void*) noexcept {
  const StoredAnnotation& a = record_of<PyAnnotation>(self).stored;
  return python_glue::with_annotation(a.bytes, a.ref, a.form, [](auto reader) -> PyObject* {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
      const auto attribute = reader.next_attribute();
      PyRef key(python_glue::make_str_from(attribute.key));
      if (!key) return nullptr;
      PyRef value = attribute.has_value ? PyRef(python_glue::make_str_from(attribute.value)) : PyRef::borrow(Py_None);
      if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

namespace {

auto annotation_methods = to_dict_only<kAnnotationFields>(
    "to_dict($self, /)\n--\n\n{'tag': ..., 'attrs': {...}}, ready for json.dumps.");
PyGetSetDef annotation_getset[] = {
    {"tag", annotation_tag, nullptr, "The tag's name as written.", nullptr},
    {"attrs", annotation_attrs, nullptr,
     "The attributes in written order; None for a key written without a value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
auto annotation_slots =
    record_slots<PyAnnotation, kAnnotationFields>(annotation_getset, annotation_methods.data(),
                                                  "What one tag contributes: its name as written and its attributes.");

}  // namespace

PyType_Spec annotation_spec = {"tagmire.Annotation", sizeof(PyAnnotation), 0, kRecordTypeFlags,
                               annotation_slots.data()};

}  // namespace package
