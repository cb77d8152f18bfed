#include "package/arrow_export.h"

#include <memory>

#include "package/native_state.h"
#include "python_glue/heap_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/released_gil.h"

namespace package {

namespace {

using python_glue::PyRef;

struct PyArrowExport {
  PyObject_HEAD
  batch::ArrowField record;
};

// An exported schema or array and its capsule, as the PyCapsule interface
// names them: whoever frees the capsule releases what a reader has not
// taken (a reader that takes it sets its release to null).
template <class Exported>
constexpr const char* kCapsuleName = nullptr;
template <>
constexpr const char* kCapsuleName<ArrowSchema> = "arrow_schema";
template <>
constexpr const char* kCapsuleName<ArrowArray> = "arrow_array";

template <class Exported>
void release_and_delete(Exported* exported) noexcept {
  if (exported->release != nullptr) exported->release(exported);
  delete exported;
}

template <class Exported>
void free_capsule(PyObject* capsule) noexcept {
  release_and_delete(static_cast<Exported*>(PyCapsule_GetPointer(capsule, kCapsuleName<Exported>)));
}

// A capsule of the field's schema or of a new array over its buffers.
template <class Exported, class Export>
PyObject* capsule_of(Export&& export_into) {
  std::unique_ptr<Exported, void (*)(Exported*) noexcept> exported(new Exported{}, release_and_delete<Exported>);
  export_into(exported.get());
  PyObject* capsule = PyCapsule_New(exported.get(), kCapsuleName<Exported>, free_capsule<Exported>);
  if (capsule != nullptr) exported.release();
  return capsule;
}

PyObject* schema_capsule(const batch::ArrowField& field) {
  return capsule_of<ArrowSchema>([&](ArrowSchema* out) { field.export_schema(out); });
}

PyObject* arrow_c_schema(PyObject* self, PyObject*) noexcept {
  return python_glue::guarded([&] { return schema_capsule(python_glue::record_of<PyArrowExport>(self)); });
}

// The array as the field's own type, whatever type was asked for: the
// interface lets a producer keep its own, and the reader converts.
PyObject* arrow_c_array(PyObject* self, PyObject* const*, Py_ssize_t nargs) noexcept {
  return python_glue::guarded([&]() -> PyObject* {
    if (nargs > 1) {
      PyErr_Format(PyExc_TypeError, "__arrow_c_array__() takes at most 1 argument (%zd given)", nargs);
      return nullptr;
    }
    const batch::ArrowField& field = python_glue::record_of<PyArrowExport>(self);
    PyRef schema(schema_capsule(field));
    if (!schema) return nullptr;
    PyRef array(capsule_of<ArrowArray>([&](ArrowArray* out) { field.export_array(out); }));
    if (!array) return nullptr;
    return PyTuple_Pack(2, schema.get(), array.get());
  });
}

PyMethodDef arrow_export_methods[] = {
    {"__arrow_c_schema__", python_glue::as_method(arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self, /)\n--\n\nThe field's type, as an arrow_schema capsule."},
    {"__arrow_c_array__", python_glue::as_method(arrow_c_array), METH_FASTCALL,
     "__arrow_c_array__($self, requested_schema=None, /)\n--\n\n"
     "The field's type and values, as arrow_schema and arrow_array capsules; the values are not copied."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot arrow_export_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(python_glue::dealloc_record<PyArrowExport>)},
    {Py_tp_methods, arrow_export_methods},
    {Py_tp_doc, const_cast<char*>("An Arrow field and its values, made by the parser, for Arrow readers to take "
                                  "through the PyCapsule interface without a copy.")},
    {0, nullptr},
};

PyType_Spec arrow_export_spec = {
    "tagmire._native.ArrowExport", sizeof(PyArrowExport), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, arrow_export_slots,
};

}  // namespace

bool add_arrow_export_type(PyObject* module) noexcept {
  PyTypeObject*& type = TheNativeState::get().arrow_export;
  type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&arrow_export_spec));
  return type != nullptr && PyModule_AddObjectRef(module, "ArrowExport", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* new_arrow_export(batch::ArrowField&& field) noexcept {
  return python_glue::adopt_record<PyArrowExport>(TheNativeState::get().arrow_export, std::move(field));
}

}  // namespace package
