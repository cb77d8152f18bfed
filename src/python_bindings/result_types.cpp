#include "python_bindings/result_types.h"

#include <memory>
#include <string>
#include <vector>

#include "python_bindings/heap_types.h"
#include "python_bindings/py_errors.h"
#include "python_bindings/py_ref.h"
#include "python_bindings/py_text.h"

namespace python_bindings {
namespace {

// The records never change once made, so a ParseResult and the Segment
// objects read from it share one result instead of each holding a copy:
// reading `segments` then costs one small object per segment, and a
// segment's text is cut out only when its own `text` is read.
using SharedResult = std::shared_ptr<const types::CompactResult>;

struct SegmentRef {
  SharedResult result;
  std::size_t index = 0;
};

struct PyParseResult {
  PyObject_HEAD
  SharedResult record;
};

struct PySegment {
  PyObject_HEAD
  SegmentRef record;
};

struct PyAnnotation {
  PyObject_HEAD
  types::Annotation record;
};

struct PyMarker {
  PyObject_HEAD
  types::Marker record;
};

PyTypeObject* parse_result_type_object = nullptr;
PyTypeObject* segment_type_object = nullptr;
PyTypeObject* annotation_type_object = nullptr;
PyTypeObject* marker_type_object = nullptr;

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

// A new list with one new `Object` per record, each holding its own copy.
template <class Object, class Record>
PyObject* list_of_copies(PyTypeObject* type, const std::vector<Record>& records) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = adopt_record<Object>(type, Record(records[i]));
    if (item == nullptr) return nullptr;  // the list releases what it holds
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* attrs_dict(const types::AttrMap& attrs) noexcept {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : attrs) {
    PyRef key(make_str(name));
    if (!key) return nullptr;
    PyRef converted = value.kind() == types::AttrValue::Kind::Bool
                          ? PyRef::borrow(value.as_bool() ? Py_True : Py_False)
                          : PyRef(make_str(value.as_str()));
    if (!converted || PyDict_SetItem(dict.get(), key.get(), converted.get()) < 0) return nullptr;
  }
  return dict.release();
}

void append_tag_only(std::string& out, const types::Annotation& annotation) {
  out += "Annotation(tag='";
  out += annotation.tag;
  out += "')";
}

// --- ParseResult ---

PyObject* parse_result_text(PyObject* self, void*) noexcept {
  return make_str(record_of<PyParseResult>(self)->text);
}

PyObject* parse_result_segments(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const SharedResult& result = record_of<PyParseResult>(self);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(result->segments.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < result->segments.size(); ++i) {
      PyObject* item = adopt_record<PySegment>(segment_type_object, SegmentRef{result, i});
      if (item == nullptr) return nullptr;  // the list releases what it holds
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  });
}

PyObject* parse_result_markers(PyObject* self, void*) noexcept {
  return guarded([&] {
    return list_of_copies<PyMarker>(marker_type_object, record_of<PyParseResult>(self)->markers);
  });
}

PyObject* parse_result_repr(PyObject* self) noexcept {
  const types::CompactResult& result = *record_of<PyParseResult>(self);
  return PyUnicode_FromFormat("ParseResult(text_len=%zu, segments=%zu, markers=%zu)", result.text.size(),
                              result.segments.size(), result.markers.size());
}

PyGetSetDef parse_result_getset[] = {
    {"text", parse_result_text, nullptr, nullptr, nullptr},
    {"segments", parse_result_segments, nullptr, nullptr, nullptr},
    {"markers", parse_result_markers, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot parse_result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyParseResult>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_repr, reinterpret_cast<void*>(parse_result_repr)},
    {Py_tp_getset, parse_result_getset},
    {Py_tp_doc, const_cast<char*>("ParseResult(text: str, segments: list[Segment], markers: list[Marker]).")},
    {0, nullptr},
};

PyType_Spec parse_result_spec = {
    "builtins.ParseResult", sizeof(PyParseResult), 0, Py_TPFLAGS_DEFAULT, parse_result_slots,
};

// --- Segment ---

PyObject* segment_text(PyObject* self, void*) noexcept {
  const SegmentRef& segment = record_of<PySegment>(self);
  return make_str(segment.result->segment_text(segment.index));
}

PyObject* segment_annotations(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const SegmentRef& segment = record_of<PySegment>(self);
    const std::size_t count = segment.result->segments[segment.index].count;
    PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < count; ++k) {
      PyObject* item = adopt_record<PyAnnotation>(
          annotation_type_object, types::Annotation(segment.result->segment_annotation(segment.index, k)));
      if (item == nullptr) return nullptr;  // the list releases what it holds
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyObject* segment_repr(PyObject* self) noexcept {
  return guarded([&] {
    const SegmentRef& segment = record_of<PySegment>(self);
    std::string repr = "Segment(text='";
    // Single quotes become double quotes so the quoted text cannot end early.
    for (char c : segment.result->segment_text(segment.index)) repr += c == '\'' ? '"' : c;
    repr += "', annotations=";
    for (std::size_t k = 0; k < segment.result->segments[segment.index].count; ++k) {
      if (k > 0) repr += ", ";
      append_tag_only(repr, segment.result->segment_annotation(segment.index, k));
    }
    repr += ')';
    return make_str(repr);
  });
}

PyGetSetDef segment_getset[] = {
    {"text", segment_text, nullptr, nullptr, nullptr},
    {"annotations", segment_annotations, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PySegment>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_getset, segment_getset},
    {Py_tp_doc, const_cast<char*>("Segment(text: str, annotations: list[Annotation]).")},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    "builtins.Segment", sizeof(PySegment), 0, Py_TPFLAGS_DEFAULT, segment_slots,
};

// --- Annotation ---

PyObject* annotation_tag(PyObject* self, void*) noexcept { return make_str(record_of<PyAnnotation>(self).tag); }

PyObject* annotation_attrs(PyObject* self, void*) noexcept {
  return attrs_dict(record_of<PyAnnotation>(self).attrs);
}

PyObject* annotation_repr(PyObject* self) noexcept {
  return guarded([&] {
    const types::Annotation& annotation = record_of<PyAnnotation>(self);
    std::string repr = "Annotation(tag='";
    repr += annotation.tag;
    repr += "', attrs=";
    repr += types::debug_render(annotation.attrs);
    repr += ')';
    return make_str(repr);
  });
}

PyGetSetDef annotation_getset[] = {
    {"tag", annotation_tag, nullptr, nullptr, nullptr},
    {"attrs", annotation_attrs, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot annotation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyAnnotation>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_repr, reinterpret_cast<void*>(annotation_repr)},
    {Py_tp_getset, annotation_getset},
    {Py_tp_doc,
     const_cast<char*>("Annotation(tag: str, attrs: dict[str, bool | str]) -> annotation attached to a span.")},
    {0, nullptr},
};

PyType_Spec annotation_spec = {
    "builtins.Annotation", sizeof(PyAnnotation), 0, Py_TPFLAGS_DEFAULT, annotation_slots,
};

// --- Marker ---

PyObject* marker_pos(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(record_of<PyMarker>(self).pos);
}

PyObject* marker_annotation(PyObject* self, void*) noexcept {
  return guarded([&] {
    return adopt_record<PyAnnotation>(annotation_type_object, types::Annotation(record_of<PyMarker>(self).annotation));
  });
}

PyObject* marker_repr(PyObject* self) noexcept {
  return guarded([&] {
    const types::Marker& marker = record_of<PyMarker>(self);
    std::string repr = "Marker(pos=";
    repr += std::to_string(marker.pos);
    repr += ", annotation=";
    append_tag_only(repr, marker.annotation);
    repr += ')';
    return make_str(repr);
  });
}

PyGetSetDef marker_getset[] = {
    {"pos", marker_pos, nullptr, nullptr, nullptr},
    {"annotation", marker_annotation, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot marker_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyMarker>)},
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_repr, reinterpret_cast<void*>(marker_repr)},
    {Py_tp_getset, marker_getset},
    {Py_tp_doc, const_cast<char*>("Marker(pos: int, annotation: Annotation) from self-closing tags.")},
    {0, nullptr},
};

PyType_Spec marker_spec = {
    "builtins.Marker", sizeof(PyMarker), 0, Py_TPFLAGS_DEFAULT, marker_slots,
};

bool ensure_type(PyTypeObject*& slot, PyType_Spec* type_spec) noexcept {
  if (slot == nullptr) slot = create_builtin_type(type_spec);
  return slot != nullptr;
}

}  // namespace

bool create_result_types() noexcept {
  return ensure_type(parse_result_type_object, &parse_result_spec) &&
         ensure_type(segment_type_object, &segment_spec) &&
         ensure_type(annotation_type_object, &annotation_spec) && ensure_type(marker_type_object, &marker_spec);
}

PyTypeObject* parse_result_type() noexcept { return parse_result_type_object; }
PyTypeObject* segment_type() noexcept { return segment_type_object; }
PyTypeObject* annotation_type() noexcept { return annotation_type_object; }
PyTypeObject* marker_type() noexcept { return marker_type_object; }

PyObject* make_parse_result(types::CompactResult&& result) {
  return adopt_record<PyParseResult>(parse_result_type_object,
                                     std::make_shared<const types::CompactResult>(std::move(result)));
}

}  // namespace python_bindings
