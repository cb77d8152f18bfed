#include "package/buffer_object.h"

namespace package {

namespace {

struct BufferObject {
  PyObject_HEAD
  Storage* storage;
};

PyTypeObject* buffer_type = nullptr;

// An empty vector may have no memory at all; a buffer still needs an address.
const char kNoBytes[1] = {0};

int buffer_get(PyObject* self, Py_buffer* view, int flags) noexcept {
  const Storage& storage = *reinterpret_cast<BufferObject*>(self)->storage;
  void* data = const_cast<void*>(storage.size() == 0 ? kNoBytes : storage.data());
  // readonly=1: a request for a writable view fails with BufferError.
  return PyBuffer_FillInfo(view, self, data, static_cast<Py_ssize_t>(storage.size()), 1, flags);
}

void buffer_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<BufferObject*>(self)->storage;
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {Py_tp_doc, const_cast<char*>("Read-only memory of one output column, owned by the parser's output.")},
    {0, nullptr},
};

PyType_Spec buffer_spec = {
    "tagmire._native.Buffer", sizeof(BufferObject), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, buffer_slots,
};

}  // namespace

bool add_buffer_type(PyObject* module) noexcept {
  if (buffer_type == nullptr) {
    buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
    if (buffer_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "Buffer", reinterpret_cast<PyObject*>(buffer_type)) == 0;
}

PyObject* new_buffer(std::unique_ptr<Storage> storage) noexcept {
  // The storage is made before the object, so a failed allocation of
  // either leaks nothing.
  PyObject* self = buffer_type->tp_alloc(buffer_type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<BufferObject*>(self)->storage = storage.release();
  return self;
}

}  // namespace package
