// Inside the package's record types: their objects' layouts, the type
// objects, and what more than one of their files uses. The rest of the
// package uses records.h.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "package/native_state.h"
#include "package/run.h"
#include "python_glue/heap_types.h"
#include "python_glue/py_ref.h"

namespace package {

struct PyParsedText {
  PyObject_VAR_HEAD
  Run record;
};

// A Segment or a Marker: its ParsedText and its index there.
struct Part {
  python_glue::PyRef owner;
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

// An Annotation: the stored annotation it reads, kept alive by `owner`.
struct AnnotationView {
  python_glue::PyRef owner;
  StoredAnnotation stored;
};
struct PyAnnotation {
  PyObject_HEAD
  AnnotationView record;
};

// A StreamUpdate or a PreviewUpdate.
struct Update {
  python_glue::PyRef committed;
  python_glue::PyRef pending;  // PreviewUpdate only
  python_glue::PyRef revised;
};
struct PyUpdate {
  PyObject_HEAD
  Update record;
};

// No subclasses and no instances made from Python; the types cannot be
// changed.
inline constexpr int kRecordTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE;

// Each type's PyType_Spec, in the file of its type.
extern PyType_Spec parsed_text_spec;
extern PyType_Spec segment_spec;
extern PyType_Spec marker_spec;
extern PyType_Spec annotation_spec;
extern PyType_Spec update_spec;
extern PyType_Spec preview_update_spec;

// The types, made by add_record_types into the module's state.
inline PyTypeObject* parsed_text_type() noexcept { return TheNativeState::get().parsed_text; }
inline PyTypeObject* segment_type() noexcept { return TheNativeState::get().segment; }
inline PyTypeObject* marker_type() noexcept { return TheNativeState::get().marker; }
inline PyTypeObject* annotation_type() noexcept { return TheNativeState::get().annotation; }
inline PyTypeObject* update_type() noexcept { return TheNativeState::get().update; }
inline PyTypeObject* preview_update_type() noexcept { return TheNativeState::get().preview_update; }

inline Run& run_of(PyObject* parsed_text) noexcept { return python_glue::record_of<PyParsedText>(parsed_text); }

// A new Segment or Marker (`type`): piece `index` of the ParsedText `owner`.
inline PyObject* new_part(PyTypeObject* type, PyObject* owner, std::size_t index) noexcept {
  static_assert(sizeof(PySegment) == sizeof(PyMarker));
  return python_glue::adopt_record<PySegment>(type, Part{python_glue::PyRef::borrow(owner), index});
}

// A new Annotation reading `stored`, which `owner` keeps alive.
PyObject* new_annotation(PyObject* owner, const StoredAnnotation& stored) noexcept;

// The annotations of segment `i` of the ParsedText `owner`, as a tuple, and
// the annotation of its marker `i`.
PyObject* segment_annotations(PyObject* owner, std::size_t i);
PyObject* marker_annotation(PyObject* owner, std::size_t i);

// The getters of Annotation.
PyObject* annotation_tag(PyObject* self, void*) noexcept;
PyObject* annotation_attrs(PyObject* self, void*) noexcept;

}  // namespace package
