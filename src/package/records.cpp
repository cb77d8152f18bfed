#include "package/records.h"

#include "package/record_types.h"

namespace package {

PyTypeObject* parsed_text_type = nullptr;
PyTypeObject* segment_type = nullptr;
PyTypeObject* marker_type = nullptr;
PyTypeObject* annotation_type = nullptr;
PyTypeObject* update_type = nullptr;
PyTypeObject* preview_update_type = nullptr;

namespace {

bool ensure(PyTypeObject*& type, PyType_Spec* spec) {
  if (type == nullptr) type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return type != nullptr;
}

bool add(PyObject* module, const char* name, PyTypeObject* type) {
  return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace

bool add_record_types(PyObject* module) noexcept {
  return ensure(annotation_type, &annotation_spec) && ensure(segment_type, &segment_spec) &&
         ensure(marker_type, &marker_spec) && ensure(parsed_text_type, &parsed_text_spec) &&
         ensure(update_type, &update_spec) && ensure(preview_update_type, &preview_update_spec) &&
         add(module, "ParsedText", parsed_text_type) && add(module, "Segment", segment_type) &&
         add(module, "Annotation", annotation_type) && add(module, "Marker", marker_type) &&
         add(module, "StreamUpdate", update_type) && add(module, "PreviewUpdate", preview_update_type);
}

}  // namespace package
