// tagmire.Marker: a self-closing tag of a ParsedText, read from its run each
// time a property is read.
#include "package/record_fields.h"
#include "package/record_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/released_gil.h"

namespace package {

namespace {

using python_glue::record_of;

// Where the tag stood, counted from the start of the whole text.
template <bool kChars>
PyObject* marker_pos(PyObject* self, void*) noexcept {
  return python_glue::guarded([&]() -> PyObject* {
    const Part& part = record_of<PyMarker>(self);
    Run& run = run_of(part.owner.get());
    const auto [bytes, chars] = marker_position(run, part.index);
    return PyLong_FromSize_t(kChars ? run.char_start + chars : run.start + bytes);
  });
}

PyObject* marker_annotation_get(PyObject* self, void*) noexcept {
  return python_glue::guarded([&] {
    const Part& part = record_of<PyMarker>(self);
    return marker_annotation(part.owner.get(), part.index);
  });
}

auto marker_methods =
    to_dict_only<kMarkerFields>("to_dict($self, /)\n--\n\nThe marker as plain dicts, ready for json.dumps.");
PyGetSetDef marker_getset[] = {
    {"pos", marker_pos<false>, nullptr, "Where the tag stood: UTF-8 bytes into the whole text.", nullptr},
    {"char_pos", marker_pos<true>, nullptr, "Where the tag stood: characters into the whole text.", nullptr},
    {"annotation", marker_annotation_get, nullptr, "The self-closing tag's name and attributes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
auto marker_slots = record_slots<PyMarker, kMarkerFields>(marker_getset, marker_methods.data(),
                                                          "A point annotation left by a self-closing tag.");

}  // namespace

PyType_Spec marker_spec = {"tagmire.Marker", sizeof(PyMarker), 0, kRecordTypeFlags, marker_slots.data()};

}  // namespace package
