// tagmire.ParsedText: a whole parse, a run a stream settled, or a stretch of
// its preview; its segments and markers are made when they are read.
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "package/record_fields.h"
#include "package/record_types.h"
#include "package/records.h"
#include "python_glue/py_errors.h"
#include "python_glue/released_gil.h"
#include "python_glue/str_records.h"
#include "text/ascii_blocks.h"

namespace package {

using python_glue::PyRef;

namespace {

using python_glue::guarded;

PyObject* text_text(PyObject* self, void*) noexcept { return Py_NewRef(run_of(self).text.get()); }
PyObject* text_start(PyObject* self, void*) noexcept { return PyLong_FromSize_t(run_of(self).start); }
PyObject* text_char_start(PyObject* self, void*) noexcept { return PyLong_FromSize_t(run_of(self).char_start); }
PyObject* text_end(PyObject* self, void*) noexcept {
  return guarded([&] { return PyLong_FromSize_t(run_of(self).start + run_size(run_of(self))); });
}
PyObject* text_char_end(PyObject* self, void*) noexcept {
  const Run& run = run_of(self);
  return PyLong_FromSize_t(run.char_start + static_cast<std::size_t>(PyUnicode_GET_LENGTH(run.text.get())));
}
PyObject* text_provisional(PyObject* self, void*) noexcept { return PyBool_FromLong(run_of(self).provisional); }

PyObject* text_segments(PyObject* self, void*) noexcept {
  return guarded([&] {
    return tuple_of(segment_count(run_of(self)), [&](std::size_t i) { return new_part(segment_type(), self, i); });
  });
}

PyObject* text_markers(PyObject* self, void*) noexcept {
  return guarded([&] {
    return tuple_of(marker_count(run_of(self)), [&](std::size_t i) { return new_part(marker_type(), self, i); });
  });
}

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

// The text as HTML for a notebook, drawn in Python beside `tagmire show`
// (tagmire/_html.py).
PyObject* text_repr_html(PyObject* self, PyObject*) noexcept {
  PyRef module(PyImport_ImportModule("tagmire._html"));
  if (!module) return nullptr;
  PyRef render(PyObject_GetAttrString(module.get(), "render"));
  if (!render) return nullptr;
  return PyObject_CallOneArg(render.get(), self);
}

PyMethodDef text_methods[] = {
    {"to_dict", python_glue::as_method(FieldFunctions<kTextFields>::to_dict), METH_NOARGS,
     "to_dict($self, /)\n--\n\nThe text and its records as plain dicts and lists, ready for json.dumps."},
    {"_repr_html_", python_glue::as_method(text_repr_html), METH_NOARGS,
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
auto text_slots = record_slots<PyParsedText, kTextFields>(
    text_getset, text_methods,
    "Parsed text: a whole answer from parse(), or a run of one from a stream, with its segments and markers and "
    "where it lies in the whole text.",
    text_repr);

// A new ParsedText of `text`, `size` UTF-8 bytes, whose records come from
// `source`: the Run is made in place around them, where it lies in the
// whole text left for the caller to set. Null with MemoryError set.
template <class Source>
PyObject* new_parsed_text(PyRef&& text, std::size_t size, Source&& source) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<Source>);
  void* memory = PyObject_Malloc(sizeof(PyParsedText));
  if (memory == nullptr) return PyErr_NoMemory();
  auto* self = reinterpret_cast<PyParsedText*>(PyObject_InitVar(static_cast<PyVarObject*>(memory), parsed_text_type(), 0));
  ::new (&self->record) Run(std::move(text), size, std::in_place_type<Source>, std::move(source));
  return reinterpret_cast<PyObject*>(self);
}

// A new str holding `utf8`.
PyRef decoded(std::string_view utf8) {
  return PyRef(PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "strict"));
}

}  // namespace

PyType_Spec parsed_text_spec = {"tagmire.ParsedText", sizeof(PyParsedText), 1, kRecordTypeFlags, text_slots.data()};

PyObject* parsed_text_of_parse(PyObject* text, const python_glue::StrView& input,
                               const types::ParseRecords::Parts& parts) noexcept {
  return python_glue::new_with_records<PyParsedText>(
      parsed_text_type(), input, parts, [&](PyParsedText& self, python_glue::StrRecords&& records) {
        const std::size_t size = PyUnicode_IS_ASCII(text) ? static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)) : kUnknown;
        ::new (&self.record) Run(PyRef::borrow(text), size, std::in_place_type<StrParse>, std::move(records));
      });
}

PyObject* parsed_text_of_run(parser::SettledText&& settled, std::size_t char_start) {
  PyRef text = decoded(settled.text);
  if (!text) return nullptr;
  SettledRecords records(std::move(settled.records), settled.text);
  PyObject* self = new_parsed_text(std::move(text), settled.text.size(), std::move(records));
  if (self == nullptr) return nullptr;
  Run& run = run_of(self);
  run.start = settled.start;
  run.char_start = char_start;
  run.continues = settled.continues;
  return self;
}

PyObject* parsed_text_of_preview(const parser::PreviewRun& preview, std::string_view utf8, std::size_t char_start,
                                 std::vector<parser::PreviewMarker> markers, std::string_view unfinished,
                                 bool unfinished_continues) {
  PyRef text = unfinished.empty() ? decoded(utf8) : decoded(std::string(utf8) + std::string(unfinished));
  if (!text) return nullptr;
  PreviewRecords records(preview, utf8, std::move(markers), unfinished);
  PyObject* self = new_parsed_text(std::move(text), utf8.size() + unfinished.size(), std::move(records));
  if (self == nullptr) return nullptr;
  Run& run = run_of(self);
  run.start = preview.start;
  run.char_start = char_start;
  run.provisional = true;
  run.continues = preview.segments.empty() ? unfinished_continues : preview.continues;
  return self;
}

}  // namespace package
