#include "package/records.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "python_glue/heap_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/py_text.h"
#include "python_glue/released_gil.h"
#include "python_glue/stored_text.h"
#include "text/ascii_blocks.h"
#include "text/encoding.h"
#include "text/utf8.h"

namespace package {

using python_glue::adopt_record;
using python_glue::as_method;
using python_glue::dealloc_record;
using python_glue::guarded;
using python_glue::PyRef;
using python_glue::record_of;

namespace {

// A preview's segment within its run: byte and character offsets from the
// run's start, and the annotations covering it.
struct RunSegment {
  std::size_t start = 0, end = 0, char_start = 0, char_end = 0;
  parser::Coverage coverage;
};

struct RunMarker {
  std::size_t pos = 0, char_pos = 0;
  parser::AnnotationBytes annotation;
};

// What a ParsedText holds: its text and where it lies in the whole text,
// and either records (a parse, a settled run) or a preview's segments.
// Every member has its initializer: a new ParsedText default-initialises
// its Run.
struct Run {
  PyRef text;
  std::size_t start = 0;       // bytes of UTF-8 before it in the whole text
  std::size_t char_start = 0;  // characters before it
  std::size_t size = 0;        // its UTF-8 bytes (kNone until first needed)
  bool provisional = false;
  bool continues = false;  // its first segment continues the one before it
  // Records: their strings' form, and whether their positions count
  // characters of `text` (a parse of a str) rather than bytes of UTF-8.
  int form = text::kUtf8Width;
  bool char_positions = false;
  types::ParseRecords records;
  // Positions in the other measure, for records: segment cuts and markers.
  std::vector<std::size_t> other_cuts;
  std::vector<std::size_t> other_markers;
  bool others_ready = false;
  // Or a preview's segments and markers.
  bool from_preview = false;
  std::vector<RunSegment> segments;
  std::vector<RunMarker> markers;
};

constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

struct PyParsedText {
  PyObject_VAR_HEAD
  Run record;
};

// A Segment or a Marker: its ParsedText and its index there.
struct Part {
  PyRef owner;
  std::size_t index = 0;
};
struct PySegment {
  PyObject_HEAD
  Part record;
};
struct PyMarker {
  PyObject_HEAD
  Part record;
};

// An annotation: the stored bytes it is read from, kept alive by `owner`.
struct AnnotationView {
  PyRef owner;
  const char* bytes = nullptr;
  types::AnnotationRef ref = 0;
  int form = text::kUtf8Width;
};
struct PyAnnotation {
  PyObject_HEAD
  AnnotationView record;
};

struct Update {
  PyRef committed;
  PyRef pending;  // PreviewUpdate only
  PyRef revised;
};
struct PyUpdate {
  PyObject_HEAD
  Update record;
};

PyTypeObject* parsed_text_type = nullptr;
PyTypeObject* segment_type = nullptr;
PyTypeObject* marker_type = nullptr;
PyTypeObject* annotation_type = nullptr;
PyTypeObject* update_type = nullptr;
PyTypeObject* preview_update_type = nullptr;

Run& run_of(PyObject* parsed_text) noexcept { return record_of<PyParsedText>(parsed_text); }

// --- positions ---

std::size_t segment_count(const Run& run) noexcept {
  return run.from_preview ? run.segments.size() : run.records.segments().size();
}
std::size_t marker_count(const Run& run) noexcept {
  return run.from_preview ? run.markers.size() : run.records.markers().size();
}

// Records count characters or bytes; the other measure is found once, in
// one walk over the text, when first needed.
void ready_others(Run& run) {
  if (run.others_ready) return;
  const types::SegmentTable& segments = run.records.segments();
  const auto markers = run.records.markers();
  PyObject* text = run.text.get();
  if (run.char_positions) {
    // Characters to bytes: the UTF-8 length of each stretch between them.
    std::size_t chars = 0;
    std::size_t bytes = 0;
    const auto advance = [&](std::size_t to) {
      bytes += python_glue::utf8_length(text, chars, to);
      chars = to;
      return bytes;
    };
    if (segments.size() != 0) {
      run.other_cuts.push_back(advance(segments.start(0)));
      for (std::size_t i = 0; i < segments.size(); ++i) run.other_cuts.push_back(advance(segments.end(i)));
    }
    chars = bytes = 0;
    for (const types::MarkerRecord& marker : markers) {
      if (marker.pos < chars) chars = bytes = 0;  // markers stand in order; this keeps it safe regardless
      run.other_markers.push_back(advance(marker.pos));
    }
  }
  run.others_ready = true;
}

std::size_t run_size(Run& run) {
  if (run.size == kUnknown) {
    PyObject* text = run.text.get();
    run.size = python_glue::utf8_length(text, 0, static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
  }
  return run.size;
}

// Segment i's bounds from the run's start: in bytes and in characters.
struct Bounds {
  std::size_t start, end, char_start, char_end;
};

Bounds segment_bounds(Run& run, std::size_t i) {
  if (run.from_preview) {
    const RunSegment& s = run.segments[i];
    return {s.start, s.end, s.char_start, s.char_end};
  }
  const types::SegmentTable& segments = run.records.segments();
  if (!run.char_positions) {
    ready_others(run);
    return {segments.start(i), segments.end(i), run.other_cuts[i], run.other_cuts[i + 1]};
  }
  if (PyUnicode_IS_ASCII(run.text.get())) return {segments.start(i), segments.end(i), segments.start(i), segments.end(i)};
  ready_others(run);
  return {run.other_cuts[i], run.other_cuts[i + 1], segments.start(i), segments.end(i)};
}

std::pair<std::size_t, std::size_t> marker_position(Run& run, std::size_t i) {  // bytes, characters
  if (run.from_preview) return {run.markers[i].pos, run.markers[i].char_pos};
  const std::size_t pos = run.records.markers()[i].pos;
  if (run.char_positions && PyUnicode_IS_ASCII(run.text.get())) return {pos, pos};
  ready_others(run);
  return run.char_positions ? std::pair{run.other_markers[i], pos} : std::pair{pos, run.other_markers[i]};
}

// --- building objects ---

PyObject* size_of(std::size_t n) { return PyLong_FromSize_t(n); }

PyObject* new_part(PyTypeObject* type, PyObject* owner, std::size_t index) noexcept {
  return adopt_record<PySegment>(type, Part{PyRef::borrow(owner), index});
}

PyObject* new_annotation(PyObject* owner, const char* bytes, types::AnnotationRef ref, int form) noexcept {
  return adopt_record<PyAnnotation>(annotation_type, AnnotationView{PyRef::borrow(owner), bytes, ref, form});
}

// A tuple of `count` objects made by `make(i)`.
template <class Make>
PyObject* tuple_of(std::size_t count, Make&& make) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(count)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item);
  }
  return tuple.release();
}

PyObject* segment_annotations(PyObject* owner, std::size_t i) {
  Run& run = run_of(owner);
  if (run.from_preview) {
    const std::vector<parser::AnnotationBytes> list = run.segments[i].coverage.list();
    return tuple_of(list.size(), [&](std::size_t k) { return new_annotation(owner, list[k]->data(), 0, text::kUtf8Width); });
  }
  std::vector<types::AnnotationRef> refs;
  run.records.segments().annotations(i, refs);
  const char* bytes = run.records.annotation_bytes();
  return tuple_of(refs.size(), [&](std::size_t k) { return new_annotation(owner, bytes, refs[k], run.form); });
}

PyObject* marker_annotation(PyObject* owner, std::size_t i) {
  Run& run = run_of(owner);
  if (run.from_preview) return new_annotation(owner, run.markers[i].annotation->data(), 0, text::kUtf8Width);
  return new_annotation(owner, run.records.annotation_bytes(), run.records.markers()[i].annotation, run.form);
}

// --- Annotation ---

PyObject* annotation_tag(PyObject* self, void*) noexcept {
  const AnnotationView& a = record_of<PyAnnotation>(self);
  return python_glue::with_annotation(a.bytes, a.ref, a.form,
                                      [](auto reader) { return python_glue::make_str_from(reader.tag()); });
}

// The attributes in written order; a key written without a value maps to
// None, as the batch parser's Arrow columns and JSON hold it.
PyObject* annotation_attrs(PyObject* self, void*) noexcept {
  const AnnotationView& a = record_of<PyAnnotation>(self);
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

PyObject* annotation_dict(PyObject* self) {
  PyRef tag(annotation_tag(self, nullptr));
  PyRef attrs(annotation_attrs(self, nullptr));
  if (!tag || !attrs) return nullptr;
  return Py_BuildValue("{sOsO}", "tag", tag.get(), "attrs", attrs.get());
}

PyObject* annotation_repr(PyObject* self) noexcept {
  PyRef tag(annotation_tag(self, nullptr));
  PyRef attrs(annotation_attrs(self, nullptr));
  if (!tag || !attrs) return nullptr;
  return PyUnicode_FromFormat("Annotation(tag=%R, attrs=%R)", tag.get(), attrs.get());
}

// --- Segment ---

PyObject* segment_text(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const Part& part = record_of<PySegment>(self);
    Run& run = run_of(part.owner.get());
    const Bounds b = segment_bounds(run, part.index);
    return PyUnicode_Substring(run.text.get(), static_cast<Py_ssize_t>(b.char_start),
                               static_cast<Py_ssize_t>(b.char_end));
  });
}

template <std::size_t Bounds::*Field, bool kChars>
PyObject* segment_position(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const Part& part = record_of<PySegment>(self);
    Run& run = run_of(part.owner.get());
    return size_of((kChars ? run.char_start : run.start) + segment_bounds(run, part.index).*Field);
  });
}

PyObject* segment_annotations_get(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const Part& part = record_of<PySegment>(self);
    return segment_annotations(part.owner.get(), part.index);
  });
}

PyObject* segment_continues(PyObject* self, void*) noexcept {
  const Part& part = record_of<PySegment>(self);
  return PyBool_FromLong(part.index == 0 && run_of(part.owner.get()).continues);
}

constexpr const char* kSegmentFields[] = {"text", "start", "end", "char_start", "char_end", "annotations", "continues"};
constexpr const char* kMarkerFields[] = {"pos", "char_pos", "annotation"};
constexpr const char* kTextFields[] = {"text", "start", "end", "char_start", "char_end", "segments", "markers",
                                       "provisional"};

// The values of `fields` read from `self`, as a tuple.
template <std::size_t N>
PyObject* field_values(PyObject* self, const char* const (&fields)[N]) {
  return tuple_of(N, [&](std::size_t i) { return PyObject_GetAttrString(self, fields[i]); });
}

// to_dict() of a record of `fields`: each value, records among them as
// their own dicts and tuples of records as lists of dicts.
template <std::size_t N>
PyObject* dict_of(PyObject* self, const char* const (&fields)[N]);

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
  PyTypeObject* type = Py_TYPE(value);
  if (type == annotation_type) return annotation_dict(value);
  if (type == segment_type) return dict_of(value, kSegmentFields);
  if (type == marker_type) return dict_of(value, kMarkerFields);
  if (type == parsed_text_type) return dict_of(value, kTextFields);
  return Py_NewRef(value);
}

template <std::size_t N>
PyObject* dict_of(PyObject* self, const char* const (&fields)[N]) {
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

template <std::size_t N>
PyObject* repr_of(PyObject* self, const char* name, const char* const (&fields)[N]) {
  std::string format = std::string(name) + "(";
  PyRef values(field_values(self, fields));
  if (!values) return nullptr;
  PyRef parts(PyList_New(0));
  if (!parts) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyRef part(PyUnicode_FromFormat("%s=%R", fields[i], PyTuple_GET_ITEM(values.get(), static_cast<Py_ssize_t>(i))));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) return nullptr;
  }
  PyRef separator(PyUnicode_FromString(", "));
  if (!separator) return nullptr;
  PyRef joined(PyUnicode_Join(separator.get(), parts.get()));
  if (!joined) return nullptr;
  return PyUnicode_FromFormat("%s(%U)", name, joined.get());
}

// Equality by value: the same type and equal fields.
template <std::size_t N>
PyObject* compare_fields(PyObject* a, PyObject* b, int op, const char* const (&fields)[N]) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  PyRef left(field_values(a, fields));
  PyRef right(field_values(b, fields));
  if (!left || !right) return nullptr;
  return PyObject_RichCompare(left.get(), right.get(), op);
}

PyObject* annotation_compare(PyObject* a, PyObject* b, int op) noexcept {
  static constexpr const char* fields[] = {"tag", "attrs"};
  return compare_fields(a, b, op, fields);
}
PyObject* segment_compare(PyObject* a, PyObject* b, int op) noexcept { return compare_fields(a, b, op, kSegmentFields); }
PyObject* marker_compare(PyObject* a, PyObject* b, int op) noexcept { return compare_fields(a, b, op, kMarkerFields); }
PyObject* text_compare(PyObject* a, PyObject* b, int op) noexcept { return compare_fields(a, b, op, kTextFields); }

PyObject* segment_repr(PyObject* self) noexcept { return repr_of(self, "Segment", kSegmentFields); }
PyObject* segment_to_dict(PyObject* self, PyObject*) noexcept { return dict_of(self, kSegmentFields); }
PyObject* annotation_to_dict(PyObject* self, PyObject*) noexcept { return annotation_dict(self); }

// --- Marker ---

template <bool kChars>
PyObject* marker_pos(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const Part& part = record_of<PyMarker>(self);
    Run& run = run_of(part.owner.get());
    const auto [bytes, chars] = marker_position(run, part.index);
    return size_of(kChars ? run.char_start + chars : run.start + bytes);
  });
}

PyObject* marker_annotation_get(PyObject* self, void*) noexcept {
  const Part& part = record_of<PyMarker>(self);
  return marker_annotation(part.owner.get(), part.index);
}

PyObject* marker_repr(PyObject* self) noexcept { return repr_of(self, "Marker", kMarkerFields); }
PyObject* marker_to_dict(PyObject* self, PyObject*) noexcept { return dict_of(self, kMarkerFields); }

// --- ParsedText ---

PyObject* text_text(PyObject* self, void*) noexcept { return Py_NewRef(run_of(self).text.get()); }
PyObject* text_start(PyObject* self, void*) noexcept { return size_of(run_of(self).start); }
PyObject* text_char_start(PyObject* self, void*) noexcept { return size_of(run_of(self).char_start); }
PyObject* text_end(PyObject* self, void*) noexcept {
  return guarded([&] { return size_of(run_of(self).start + run_size(run_of(self))); });
}
PyObject* text_char_end(PyObject* self, void*) noexcept {
  const Run& run = run_of(self);
  return size_of(run.char_start + static_cast<std::size_t>(PyUnicode_GET_LENGTH(run.text.get())));
}
PyObject* text_provisional(PyObject* self, void*) noexcept { return PyBool_FromLong(run_of(self).provisional); }

PyObject* text_segments(PyObject* self, void*) noexcept {
  return guarded([&] {
    return tuple_of(segment_count(run_of(self)), [&](std::size_t i) { return new_part(segment_type, self, i); });
  });
}

PyObject* text_markers(PyObject* self, void*) noexcept {
  return guarded([&] {
    return tuple_of(marker_count(run_of(self)), [&](std::size_t i) { return new_part(marker_type, self, i); });
  });
}

PyObject* text_to_dict(PyObject* self, PyObject*) noexcept { return dict_of(self, kTextFields); }

PyObject* text_repr(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    Run& run = run_of(self);
    PyObject* text = run.text.get();
    // A long text is shown by its beginning.
    constexpr Py_ssize_t kShown = 60;
    PyRef shown = PyUnicode_GET_LENGTH(text) > kShown ? PyRef(PyUnicode_Substring(text, 0, kShown))
                                                        : PyRef::borrow(text);
    if (!shown) return nullptr;
    PyRef quoted(PyObject_Repr(shown.get()));
    if (!quoted) return nullptr;
    return PyUnicode_FromFormat("<%sParsedText %zu-%zu, characters %zu-%zu: %zu segments, %zu markers, text=%U%s>",
                                run.provisional ? "provisional " : "", run.start, run.start + run_size(run),
                                run.char_start, run.char_start + static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)),
                                segment_count(run), marker_count(run), quoted.get(),
                                PyUnicode_GET_LENGTH(text) > kShown ? "..." : "");
  });
}

// The text as HTML for a notebook: annotated stretches highlighted, each
// followed by its tags, markers shown where they stand, attributes in the
// tooltips.
void append_escaped(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
}

std::string utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  return data == nullptr ? std::string() : std::string(data, static_cast<std::size_t>(size));
}

// "tag" or "tag key=value key", for labels and tooltips.
std::string describe(PyObject* annotation) {
  std::string out;
  PyRef tag(annotation_tag(annotation, nullptr));
  PyRef attrs(annotation_attrs(annotation, nullptr));
  if (!tag || !attrs) return out;
  out = utf8_of(tag.get());
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t pos = 0; PyDict_Next(attrs.get(), &pos, &key, &value);) {
    out += ' ';
    out += utf8_of(key);
    if (value != Py_None) {
      out += '=';
      out += utf8_of(value);
    }
  }
  return out;
}

const char* colour_of(std::string_view tag) {
  static constexpr const char* kColours[] = {"#ffe08a", "#b5e6b5", "#bcd7f5", "#f5c6d9", "#e3d0f7", "#fcd3b0"};
  std::size_t h = 0;
  for (const char c : tag) h = h * 31 + static_cast<unsigned char>(c);
  return kColours[h % (sizeof kColours / sizeof kColours[0])];
}

PyObject* text_repr_html(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    Run& run = run_of(self);
    std::string html = "<div class=\"tagmire-parsed\" style=\"white-space: pre-wrap; line-height: 1.7\">";
    const std::size_t markers = marker_count(run);
    std::size_t next_marker = 0;
    const auto place_markers = [&](std::size_t up_to_char) -> bool {
      for (; next_marker < markers && marker_position(run, next_marker).second <= up_to_char; ++next_marker) {
        PyRef annotation(marker_annotation(self, next_marker));
        if (!annotation) return false;
        const std::string label = describe(annotation.get());
        html += "<sup style=\"color:#8a5a00\" title=\"";
        append_escaped(html, label);
        html += "\">&#9670;";
        append_escaped(html, label.substr(0, label.find(' ')));
        html += "</sup>";
      }
      return true;
    };
    for (std::size_t i = 0; i < segment_count(run); ++i) {
      const Bounds b = segment_bounds(run, i);
      if (!place_markers(b.char_start)) return nullptr;
      PyRef piece(PyUnicode_Substring(run.text.get(), static_cast<Py_ssize_t>(b.char_start),
                                      static_cast<Py_ssize_t>(b.char_end)));
      PyRef annotations(segment_annotations(self, i));
      if (!piece || !annotations) return nullptr;
      const Py_ssize_t count = PyTuple_GET_SIZE(annotations.get());
      if (count == 0) {
        append_escaped(html, utf8_of(piece.get()));
        continue;
      }
      std::string tags;
      std::string titles;
      for (Py_ssize_t k = 0; k < count; ++k) {
        const std::string label = describe(PyTuple_GET_ITEM(annotations.get(), k));
        tags += (k ? ", " : "") + label.substr(0, label.find(' '));
        titles += (k ? "; " : "") + label;
      }
      html += "<mark style=\"background:";
      html += colour_of(tags.substr(0, tags.find(',')));
      html += "\" title=\"";
      append_escaped(html, titles);
      html += "\">";
      append_escaped(html, utf8_of(piece.get()));
      html += "</mark><sub style=\"color:#666; font-size:70%\">";
      append_escaped(html, tags);
      html += "</sub>";
    }
    if (!place_markers(kUnknown)) return nullptr;
    html += "</div>";
    return python_glue::make_str(html);
  });
}

// --- updates ---

PyObject* update_committed(PyObject* self, void*) noexcept { return Py_NewRef(record_of<PyUpdate>(self).committed.get()); }
PyObject* update_pending(PyObject* self, void*) noexcept { return Py_NewRef(record_of<PyUpdate>(self).pending.get()); }
PyObject* update_revised(PyObject* self, void*) noexcept { return Py_NewRef(record_of<PyUpdate>(self).revised.get()); }

constexpr const char* kUpdateFields[] = {"committed"};
constexpr const char* kPreviewUpdateFields[] = {"committed", "pending", "revised"};

PyObject* update_repr(PyObject* self) noexcept { return repr_of(self, "StreamUpdate", kUpdateFields); }
PyObject* preview_update_repr(PyObject* self) noexcept { return repr_of(self, "PreviewUpdate", kPreviewUpdateFields); }
PyObject* update_to_dict(PyObject* self, PyObject*) noexcept { return dict_of(self, kUpdateFields); }
PyObject* preview_update_to_dict(PyObject* self, PyObject*) noexcept { return dict_of(self, kPreviewUpdateFields); }
PyObject* update_compare(PyObject* a, PyObject* b, int op) noexcept { return compare_fields(a, b, op, kUpdateFields); }
PyObject* preview_update_compare(PyObject* a, PyObject* b, int op) noexcept {
  return compare_fields(a, b, op, kPreviewUpdateFields);
}

// --- the types ---

constexpr int kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

PyMethodDef annotation_methods[] = {
    {"to_dict", as_method(annotation_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\n{'tag': ..., 'attrs': {...}}, ready for json.dumps."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef annotation_getset[] = {
    {"tag", annotation_tag, nullptr, "The tag's name as written.", nullptr},
    {"attrs", annotation_attrs, nullptr,
     "The attributes in written order; None for a key written without a value.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot annotation_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyAnnotation>)},
    {Py_tp_repr, reinterpret_cast<void*>(annotation_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(annotation_compare)},
    {Py_tp_methods, annotation_methods},
    {Py_tp_getset, annotation_getset},
    {Py_tp_doc, const_cast<char*>("What one tag contributes: its name as written and its attributes.")},
    {0, nullptr},
};
PyType_Spec annotation_spec = {"tagmire.Annotation", sizeof(PyAnnotation), 0, kFlags, annotation_slots};

PyMethodDef segment_methods[] = {
    {"to_dict", as_method(segment_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe segment as plain dicts and lists, ready for json.dumps."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef segment_getset[] = {
    {"text", segment_text, nullptr, "The segment's text.", nullptr},
    {"start", segment_position<&Bounds::start, false>, nullptr, "Where it begins: UTF-8 bytes into the whole text.",
     nullptr},
    {"end", segment_position<&Bounds::end, false>, nullptr, "Where it ends: UTF-8 bytes into the whole text.", nullptr},
    {"char_start", segment_position<&Bounds::char_start, true>, nullptr,
     "Where it begins: characters into the whole text.", nullptr},
    {"char_end", segment_position<&Bounds::char_end, true>, nullptr, "Where it ends: characters into the whole text.",
     nullptr},
    {"annotations", segment_annotations_get, nullptr,
     "The annotations of every span covering all of it, in the order the spans were recorded.", nullptr},
    {"continues", segment_continues, nullptr,
     "Whether it continues the last segment handed out before it (a stream's text settled inside it).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot segment_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PySegment>)},
    {Py_tp_repr, reinterpret_cast<void*>(segment_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(segment_compare)},
    {Py_tp_methods, segment_methods},
    {Py_tp_getset, segment_getset},
    {Py_tp_doc, const_cast<char*>("A piece of text with the annotations of every span covering it.")},
    {0, nullptr},
};
PyType_Spec segment_spec = {"tagmire.Segment", sizeof(PySegment), 0, kFlags, segment_slots};

PyMethodDef marker_methods[] = {
    {"to_dict", as_method(marker_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe marker as plain dicts, ready for json.dumps."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef marker_getset[] = {
    {"pos", marker_pos<false>, nullptr, "Where the tag stood: UTF-8 bytes into the whole text.", nullptr},
    {"char_pos", marker_pos<true>, nullptr, "Where the tag stood: characters into the whole text.", nullptr},
    {"annotation", marker_annotation_get, nullptr, "The self-closing tag's name and attributes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot marker_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyMarker>)},
    {Py_tp_repr, reinterpret_cast<void*>(marker_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(marker_compare)},
    {Py_tp_methods, marker_methods},
    {Py_tp_getset, marker_getset},
    {Py_tp_doc, const_cast<char*>("A point annotation left by a self-closing tag.")},
    {0, nullptr},
};
PyType_Spec marker_spec = {"tagmire.Marker", sizeof(PyMarker), 0, kFlags, marker_slots};

PyMethodDef text_methods[] = {
    {"to_dict", as_method(text_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe text and its records as plain dicts and lists, ready for json.dumps."},
    {"_repr_html_", as_method(text_repr_html), METH_NOARGS,
     "_repr_html_($self, /)\n--\n\nThe text with its annotated stretches highlighted, for notebooks."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef text_getset[] = {
    {"text", text_text, nullptr, "The plain text.", nullptr},
    {"start", text_start, nullptr, "Where it begins in the whole text, in UTF-8 bytes (0 for a whole parse).", nullptr},
    {"end", text_end, nullptr, "Where it ends in the whole text, in UTF-8 bytes.", nullptr},
    {"char_start", text_char_start, nullptr, "Where it begins in the whole text, in characters.", nullptr},
    {"char_end", text_char_end, nullptr, "Where it ends in the whole text, in characters.", nullptr},
    {"segments", text_segments, nullptr, "The text cut into annotated segments, in order.", nullptr},
    {"markers", text_markers, nullptr, "The markers of self-closing tags, in order.", nullptr},
    {"provisional", text_provisional, nullptr, "Whether it is a preview of text still held back.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot text_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyParsedText>)},
    {Py_tp_repr, reinterpret_cast<void*>(text_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(text_compare)},
    {Py_tp_methods, text_methods},
    {Py_tp_getset, text_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Parsed text: a whole answer from parse(), or a run of one from a stream, with its segments "
                    "and markers and where it lies in the whole text.")},
    {0, nullptr},
};
PyType_Spec text_spec = {"tagmire.ParsedText", sizeof(PyParsedText), 1, kFlags, text_slots};

PyMethodDef update_methods[] = {
    {"to_dict", as_method(update_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe update as plain dicts and lists, ready for json.dumps."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef update_getset[] = {
    {"committed", update_committed, nullptr, "The text that settled: final.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot update_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyUpdate>)},
    {Py_tp_repr, reinterpret_cast<void*>(update_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(update_compare)},
    {Py_tp_methods, update_methods},
    {Py_tp_getset, update_getset},
    {Py_tp_doc, const_cast<char*>("What one piece of a stream settled.")},
    {0, nullptr},
};
PyType_Spec update_spec = {"tagmire.StreamUpdate", sizeof(PyUpdate), 0, kFlags, update_slots};

PyMethodDef preview_update_methods[] = {
    {"to_dict", as_method(preview_update_to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe update as plain dicts and lists, ready for json.dumps."},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef preview_update_getset[] = {
    {"committed", update_committed, nullptr, "The text that settled: final.", nullptr},
    {"pending", update_pending, nullptr,
     "The preview from `pending.start` on: how the held-back text now reads there, up to its end. Provisional.",
     nullptr},
    {"revised", update_revised, nullptr,
     "Earlier stretches of the preview whose segments changed, each to replace what was shown between its start "
     "and end. Provisional.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot preview_update_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyUpdate>)},
    {Py_tp_repr, reinterpret_cast<void*>(preview_update_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(preview_update_compare)},
    {Py_tp_methods, preview_update_methods},
    {Py_tp_getset, preview_update_getset},
    {Py_tp_doc, const_cast<char*>("What one piece of a stream settled, and how the preview changed.")},
    {0, nullptr},
};
PyType_Spec preview_update_spec = {"tagmire.PreviewUpdate", sizeof(PyUpdate), 0, kFlags, preview_update_slots};

bool ensure(PyTypeObject*& type, PyType_Spec* spec) {
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return type != nullptr;
}

bool add(PyObject* module, const char* name, PyTypeObject* type) {
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

// A new ParsedText with an empty run, to fill in place, and `extra` bytes
// more for records packed into it.
PyObject* new_parsed_text(std::size_t extra) noexcept {
  void* memory = PyObject_Malloc(sizeof(PyParsedText) + extra);
  if (memory == nullptr) return PyErr_NoMemory();
  auto* self = reinterpret_cast<PyParsedText*>(
      PyObject_InitVar(static_cast<PyVarObject*>(memory), parsed_text_type, static_cast<Py_ssize_t>(extra)));
  // Default-initialised, member by member (each has its initializer):
  // `Run()` would have GCC clear the whole record first with a `rep stos`,
  // which costs more than the rest of making the object.
  ::new (&self->record) Run;
  return reinterpret_cast<PyObject*>(self);
}

std::size_t chars_in(std::string_view utf8) { return text::count_utf8_chars(utf8.data(), utf8.size()); }

}  // namespace

bool add_record_types(PyObject* module) noexcept {
  return ensure(annotation_type, &annotation_spec) && ensure(segment_type, &segment_spec) &&
         ensure(marker_type, &marker_spec) && ensure(parsed_text_type, &text_spec) &&
         ensure(update_type, &update_spec) && ensure(preview_update_type, &preview_update_spec) &&
         add(module, "ParsedText", parsed_text_type) && add(module, "Segment", segment_type) &&
         add(module, "Annotation", annotation_type) && add(module, "Marker", marker_type) &&
         add(module, "StreamUpdate", update_type) && add(module, "PreviewUpdate", preview_update_type);
}

PyObject* parsed_text_of_parse(PyObject* text, int kind, const types::ParseRecords::Parts& parts) noexcept {
  static_assert(sizeof(PyParsedText) % 8 == 0, "the records after the object must be aligned");
  const std::size_t extra = types::ParseRecords::packed_size(parts);
  PyObject* self = new_parsed_text(extra);
  if (self == nullptr) return nullptr;
  Run& run = run_of(self);
  run.text = PyRef::borrow(text);
  run.size = PyUnicode_IS_ASCII(text) ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) : kUnknown;
  run.form = kind;
  run.char_positions = true;
  run.records = types::ParseRecords::pack_into(parts, reinterpret_cast<std::byte*>(self) + sizeof(PyParsedText));
  return self;
}

PyObject* parsed_text_of_run(parser::SettledText&& settled, std::size_t char_start) {
  PyRef self(new_parsed_text(0));
  if (!self) return nullptr;
  Run& run = run_of(self.get());
  run.text = PyRef(PyUnicode_DecodeUTF8(settled.text.data(), static_cast<Py_ssize_t>(settled.text.size()), "strict"));
  if (!run.text) return nullptr;
  run.start = settled.start;
  run.char_start = char_start;
  run.size = settled.text.size();
  run.continues = settled.continues;
  run.form = text::kUtf8Width;
  run.records = std::move(settled.records);
  // The characters of each cut and marker, in one walk over the bytes.
  const types::SegmentTable& segments = run.records.segments();
  const std::string_view utf8 = settled.text;
  std::size_t bytes = 0;
  std::size_t chars = 0;
  const auto advance = [&](std::size_t to) {
    chars += chars_in(utf8.substr(bytes, to - bytes));
    bytes = to;
    return chars;
  };
  if (segments.size() != 0) {
    run.other_cuts.reserve(segments.size() + 1);
    run.other_cuts.push_back(advance(segments.start(0)));
    for (std::size_t i = 0; i < segments.size(); ++i) run.other_cuts.push_back(advance(segments.end(i)));
  }
  bytes = chars = 0;
  for (const types::MarkerRecord& marker : run.records.markers()) run.other_markers.push_back(advance(marker.pos));
  run.others_ready = true;
  return self.release();
}

PyObject* parsed_text_of_preview(const parser::PreviewRun& preview, std::string_view utf8, std::size_t char_start,
                                 std::vector<parser::PreviewMarker> markers, std::string_view unfinished,
                                 bool unfinished_continues) {
  PyRef self(new_parsed_text(0));
  if (!self) return nullptr;
  Run& run = run_of(self.get());
  if (unfinished.empty()) {
    run.text = PyRef(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
  } else {
    std::string whole(utf8);
    whole += unfinished;
    run.text = PyRef(PyUnicode_DecodeUTF8(whole.data(), static_cast<Py_ssize_t>(whole.size()), "strict"));
  }
  if (!run.text) return nullptr;
  run.start = preview.start;
  run.char_start = char_start;
  run.size = utf8.size() + unfinished.size();
  run.provisional = true;
  run.from_preview = true;
  run.continues = preview.segments.empty() ? unfinished_continues : preview.continues;
  run.segments.reserve(preview.segments.size() + (unfinished.empty() ? 0 : 1));
  std::size_t chars = 0;
  for (const parser::PreviewSegment& segment : preview.segments) {
    RunSegment s{segment.start - preview.start, segment.end - preview.start, chars, 0, segment.coverage};
    chars += chars_in(utf8.substr(s.start, s.end - s.start));
    s.char_end = chars;
    run.segments.push_back(std::move(s));
  }
  if (!unfinished.empty()) {
    run.segments.push_back(RunSegment{utf8.size(), utf8.size() + unfinished.size(), chars, chars + chars_in(unfinished), {}});
  }
  for (parser::PreviewMarker& marker : markers) {
    const std::size_t pos = marker.pos - preview.start;
    run.markers.push_back(RunMarker{pos, chars_in(utf8.substr(0, pos)), std::move(marker.annotation)});
  }
  return self.release();
}

PyObject* make_update(PyObject* committed) noexcept {
  return adopt_record<PyUpdate>(update_type, Update{PyRef::borrow(committed), PyRef(), PyRef()});
}

PyObject* make_preview_update(PyObject* committed, PyObject* pending, PyObject* revised) noexcept {
  return adopt_record<PyUpdate>(preview_update_type,
                                Update{PyRef::borrow(committed), PyRef::borrow(pending), PyRef::borrow(revised)});
}

}  // namespace package
