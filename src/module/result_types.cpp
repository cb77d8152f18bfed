#include "module/result_types.h"

#include <atomic>
#include <new>
#include <string>
#include <vector>

#include "python_glue/critical_section.h"
#include "python_glue/heap_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/py_text.h"
#include "python_glue/stored_text.h"
#include "python_glue/str_records.h"
#include "text/transcode.h"
#include "text/utf8.h"
#include "types/annotation.h"

namespace module {

using namespace python_glue;
namespace {

// What a ParseResult holds: its text as the str it hands out, and the
// records of the parse, whose positions count characters of the text and
// whose stored annotations keep the units of the input's form. Markers are
// read as UTF-8 byte offsets: their positions are converted in place, once,
// when the markers are first read, so a caller that never reads them never
// pays a walk over the text.
struct ParseResultRecords {
  // Each member from its own argument: the aggregate form had GCC clear the
  // whole record with `rep stos` first, which costs more on every parse than
  // the rest of making the result object.
  ParseResultRecords(PyRef text_in, StrRecords&& parsed_in) noexcept
      : text(std::move(text_in)), parsed(std::move(parsed_in)) {}

  PyRef text;
  StrRecords parsed;
  // Set once the conversion is done, so that threads reading the markers of
  // one result at once never convert twice, nor read it half done.
  std::atomic<bool> marker_bytes_ready = false;
};

// A Segment, Annotation or Marker: the ParseResult it was read from (whose
// records no longer change once a piece exists: marker offsets are
// converted before the first Marker is made; so every piece reads them
// instead of holding a copy) and which piece it is: a segment or marker
// index, or an annotation.
struct ResultPart {
  PyRef result;
  std::size_t index = 0;
};

// The records are packed right after the object, in the same allocation
// (ob_size bytes of it), or, when large, in a block of their own (see
// python_glue/str_records.h).
struct PyParseResult {
  PyObject_VAR_HEAD
  ParseResultRecords record;
};

struct PySegment {
  PyObject_HEAD
  ResultPart record;
};

struct PyAnnotation {
  PyObject_HEAD
  ResultPart record;
};

struct PyMarker {
  PyObject_HEAD
  ResultPart record;
};

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

const ParseResultRecords& result_of(const ResultPart& part) noexcept { return record_of<PyParseResult>(part.result.get()); }

// A new Segment, Annotation or Marker (all three lay out as a ResultPart).
PyObject* part_of(PyTypeObject* type, PyObject* result, std::size_t index) noexcept {
  static_assert(sizeof(PySegment) == sizeof(PyAnnotation) && sizeof(PySegment) == sizeof(PyMarker));
  return adopt_record<PySegment>(type, ResultPart{PyRef::borrow(result), index});
}

// --- text in the stored forms ---

template <class Unit>
std::string utf8_of(types::StoredText<Unit> text) {
  return text::utf8_string(text.data, text.size);
}

// Calls `body` with the annotation reader for `ref` in the result's form.
template <class Body>
auto with_annotation(const ParseResultRecords& result, types::AnnotationRef ref, Body&& body) {
  return python_glue::with_annotation(result.parsed.records.annotation_bytes(), ref, result.parsed.form, body);
}

// The UTF-8 form of characters [start, end) of `str`.
std::string utf8_of_range(PyObject* str, std::size_t start, std::size_t end) {
  std::string out;
  out.reserve(end - start);
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  for (std::size_t i = start; i < end; ++i) {
    text::utf8::append_encoded(out, PyUnicode_READ(kind, data, static_cast<Py_ssize_t>(i)));
  }
  return out;
}

void append_tag_only(std::string& out, const std::string& tag) {
  out += "Annotation(tag='";
  out += tag;
  out += "')";
}

std::string tag_of(const ParseResultRecords& result, types::AnnotationRef ref) {
  return with_annotation(result, ref, [](auto reader) { return utf8_of(reader.tag()); });
}

// Marker positions from characters to UTF-8 bytes, in one walk over the
// text (markers stand in text order), the first time they are read.
void ready_marker_bytes(PyObject* self) noexcept {
  ParseResultRecords& result = record_of<PyParseResult>(self);
  if (result.marker_bytes_ready.load(std::memory_order_acquire)) return;
  CriticalSection section(self);
  if (result.marker_bytes_ready.load(std::memory_order_relaxed)) return;
  PyObject* text = result.text.get();
  if (!PyUnicode_IS_ASCII(text)) {
    std::size_t chars = 0;
    std::size_t bytes = 0;
    for (types::MarkerRecord& marker : result.parsed.records.markers_to_convert()) {
      bytes += utf8_length(text, chars, marker.pos);
      chars = marker.pos;
      marker.pos = bytes;
    }
  }
  result.marker_bytes_ready.store(true, std::memory_order_release);
}

// --- ParseResult ---

PyObject* parse_result_text(PyObject* self, void*) noexcept {
  // The text is built once, when the result is made, and a str never
  // changes: every read hands out that str rather than a copy of it.
  return Py_NewRef(record_of<PyParseResult>(self).text.get());
}

PyObject* parse_result_segments(PyObject* self, void*) noexcept {
  const std::size_t count = record_of<PyParseResult>(self).parsed.records.segments().size();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = part_of(segment_type(), self, i);
    if (item == nullptr) return nullptr;  // the list releases what it holds
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* parse_result_markers(PyObject* self, void*) noexcept {
  ready_marker_bytes(self);
  ParseResultRecords& result = record_of<PyParseResult>(self);
  const std::size_t count = result.parsed.records.markers().size();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = part_of(marker_type(), self, i);
    if (item == nullptr) return nullptr;  // the list releases what it holds
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* parse_result_repr(PyObject* self) noexcept {
  const ParseResultRecords& result = record_of<PyParseResult>(self);
  PyObject* text = result.text.get();
  const std::size_t text_len = utf8_length(text, 0, static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
  return PyUnicode_FromFormat("ParseResult(text_len=%zu, segments=%zu, markers=%zu)", text_len,
                              result.parsed.records.segments().size(), result.parsed.records.markers().size());
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
    "builtins.ParseResult", sizeof(PyParseResult), 1, Py_TPFLAGS_DEFAULT, parse_result_slots,
};

// --- Segment ---

PyObject* segment_text(PyObject* self, void*) noexcept {
  const ResultPart& part = record_of<PySegment>(self);
  const types::SegmentTable& segments = result_of(part).parsed.records.segments();
  return PyUnicode_Substring(result_of(part).text.get(), static_cast<Py_ssize_t>(segments.start(part.index)),
                             static_cast<Py_ssize_t>(segments.end(part.index)));
}

std::vector<types::AnnotationRef> covering(const ResultPart& part) {
  std::vector<types::AnnotationRef> refs;
  result_of(part).parsed.records.segments().annotations(part.index, refs);
  return refs;
}

PyObject* segment_annotations(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const ResultPart& part = record_of<PySegment>(self);
    const std::vector<types::AnnotationRef> refs = covering(part);
    PyRef list(PyList_New(static_cast<Py_ssize_t>(refs.size())));
    if (!list) return nullptr;
    for (std::size_t k = 0; k < refs.size(); ++k) {
      PyObject* item = part_of(annotation_type(), part.result.get(), refs[k]);
      if (item == nullptr) return nullptr;  // the list releases what it holds
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), item);
    }
    return list.release();
  });
}

PyObject* segment_repr(PyObject* self) noexcept {
  return guarded([&] {
    const ResultPart& part = record_of<PySegment>(self);
    const ParseResultRecords& result = result_of(part);
    const types::SegmentTable& segments = result.parsed.records.segments();
    std::string repr = "Segment(text='";
    // Single quotes become double quotes so the quoted text cannot end early.
    for (char c : utf8_of_range(result.text.get(), segments.start(part.index), segments.end(part.index))) {
      repr += c == '\'' ? '"' : c;
    }
    repr += "', annotations=";
    bool first = true;
    for (const types::AnnotationRef ref : covering(part)) {
      if (!first) repr += ", ";
      first = false;
      append_tag_only(repr, tag_of(result, ref));
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

PyObject* annotation_tag(PyObject* self, void*) noexcept {
  const ResultPart& part = record_of<PyAnnotation>(self);
  return with_annotation(result_of(part), part.index, [](auto reader) { return make_str_from(reader.tag()); });
}

PyObject* annotation_attrs(PyObject* self, void*) noexcept {
  const ResultPart& part = record_of<PyAnnotation>(self);
  return with_annotation(result_of(part), part.index, [](auto reader) -> PyObject* {
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
      const auto attribute = reader.next_attribute();
      PyRef key(make_str_from(attribute.key));
      if (!key) return nullptr;
      PyRef value = attribute.has_value ? PyRef(make_str_from(attribute.value)) : PyRef::borrow(Py_True);
      if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  });
}

PyObject* annotation_repr(PyObject* self) noexcept {
  return guarded([&] {
    const ResultPart& part = record_of<PyAnnotation>(self);
    const auto [tag, attrs] = with_annotation(result_of(part), part.index, [](auto reader) {
      std::pair<std::string, types::AttrMap> copy{utf8_of(reader.tag()), {}};
      for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
        const auto attribute = reader.next_attribute();
        copy.second.emplace_back(utf8_of(attribute.key), attribute.has_value
                                                             ? types::AttrValue::str(utf8_of(attribute.value))
                                                             : types::AttrValue::boolean(true));
      }
      return copy;
    });
    std::string repr = "Annotation(tag='";
    repr += tag;
    repr += "', attrs=";
    repr += types::debug_render(attrs);
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

const types::MarkerRecord& marker_of(const ResultPart& part) noexcept {
  return result_of(part).parsed.records.markers()[part.index];
}

PyObject* marker_pos(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(marker_of(record_of<PyMarker>(self)).pos);
}

PyObject* marker_annotation(PyObject* self, void*) noexcept {
  const ResultPart& part = record_of<PyMarker>(self);
  return part_of(annotation_type(), part.result.get(), marker_of(part).annotation);
}

PyObject* marker_repr(PyObject* self) noexcept {
  return guarded([&] {
    const ResultPart& part = record_of<PyMarker>(self);
    std::string repr = "Marker(pos=";
    repr += std::to_string(marker_of(part).pos);
    repr += ", annotation=";
    append_tag_only(repr, tag_of(result_of(part), marker_of(part).annotation));
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

bool make_type(PyTypeObject*& slot, PyType_Spec* type_spec) noexcept {
  slot = create_builtin_type(type_spec);
  return slot != nullptr;
}

}  // namespace

bool create_result_types(ModuleState& state) noexcept {
  return make_type(state.parse_result, &parse_result_spec) && make_type(state.segment, &segment_spec) &&
         make_type(state.annotation, &annotation_spec) && make_type(state.marker, &marker_spec);
}

PyTypeObject* parse_result_type() noexcept { return TheModuleState::get().parse_result; }
PyTypeObject* segment_type() noexcept { return TheModuleState::get().segment; }
PyTypeObject* annotation_type() noexcept { return TheModuleState::get().annotation; }
PyTypeObject* marker_type() noexcept { return TheModuleState::get().marker; }

PyObject* make_parse_result(PyObject* text, const StrView& input, const types::ParseRecords::Parts& parts) noexcept {
  return new_with_records<PyParseResult>(parse_result_type(), input, parts,
                                         [&](PyParseResult& self, StrRecords&& records) {
                                           ::new (&self.record) ParseResultRecords(PyRef::borrow(text), std::move(records));
                                         });
}

}  // namespace module
