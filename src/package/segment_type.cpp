// tagmire.Segment: a piece of a ParsedText, read from its run each time a
// property is read.
#include "package/record_fields.h"
#include "package/record_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/released_gil.h"

namespace package {

namespace {

using python_glue::guarded;
using python_glue::record_of;

PyObject* segment_text(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const Part& part = record_of<PySegment>(self);
    Run& run = run_of(part.owner.get());
    const Bounds b = segment_bounds(run, part.index);
    return PyUnicode_Substring(run.text.get(), static_cast<Py_ssize_t>(b.char_start),
                               static_cast<Py_ssize_t>(b.char_end));
  });
}

// A bound of the segment, counted from the start of the whole text.
template <std::size_t Bounds::*Field, bool kChars>
PyObject* segment_position(PyObject* self, void*) noexcept {
  return guarded([&]() -> PyObject* {
    const Part& part = record_of<PySegment>(self);
    Run& run = run_of(part.owner.get());
    return PyLong_FromSize_t((kChars ? run.char_start : run.start) + segment_bounds(run, part.index).*Field);
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

auto segment_methods = to_dict_only<kSegmentFields>(
    "to_dict($self, /)\n--\n\nThe segment as plain dicts and lists, ready for json.dumps.");
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
auto segment_slots = record_slots<PySegment, kSegmentFields>(
    segment_getset, segment_methods.data(), "A piece of text with the annotations of every span covering it.");

}  // namespace

PyType_Spec segment_spec = {"tagmire.Segment", sizeof(PySegment), 0, kRecordTypeFlags, segment_slots.data()};

}  // namespace package
