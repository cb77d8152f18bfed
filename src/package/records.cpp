#include "package/records.h"

#include "package/record_types.h"

namespace package {

namespace {

bool make(PyTypeObject*& type, PyType_Spec* spec) {
  type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return type != nullptr;
}

bool add(PyObject* module, const char* name, PyTypeObject* type) {
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

bool add_record_types(PyObject* module) noexcept {
  NativeState& state = TheNativeState::get();
  return make(state.annotation, &annotation_spec) && make(state.segment, &segment_spec) &&
         make(state.marker, &marker_spec) && make(state.parsed_text, &parsed_text_spec) &&
         make(state.update, &update_spec) && make(state.preview_update, &preview_update_spec) &&
         add(module, "ParsedText", state.parsed_text) && add(module, "Segment", state.segment) &&
         add(module, "Annotation", state.annotation) && add(module, "Marker", state.marker) &&
         add(module, "StreamUpdate", state.update) && add(module, "PreviewUpdate", state.preview_update);
}

}  // namespace package
