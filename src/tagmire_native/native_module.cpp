// The extension module tagmire._native: the glue between Python and the
// batch core. It takes rows (a list of str, or Arrow string buffers) and a
// configuration, runs the core with the interpreter lock released, and
// hands back each output chunk as a dict of read-only Buffer objects that
// pyarrow wraps without copying. It also holds the streaming parser's type
// (stream_object.cpp).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "python_bindings/py_ref.h"
#include "tagmire_native/batch_core.h"
#include "tagmire_native/config_reading.h"
#include "tagmire_native/glue.h"
#include "tagmire_native/stream_object.h"

namespace tagmire_native {
namespace {

using python_bindings::PyRef;

// --- Buffer: read-only memory owned by C++ -----------------------------------

struct Storage {
  virtual ~Storage() = default;
  virtual const void* data() const noexcept = 0;
  virtual std::size_t size() const noexcept = 0;
};

// Any contiguous container of values: std::vector, or the parser's PodVector.
template <class Values>
struct VectorStorage final : Storage {
  explicit VectorStorage(Values&& values) noexcept : values(std::move(values)) {}
  const void* data() const noexcept override { return values.data(); }
  std::size_t size() const noexcept override { return values.size() * sizeof(*values.data()); }
  Values values;
};

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
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, buffer_slots,
};

// A new Buffer that takes over `values`. The storage is made before the
// object, so a failed allocation of either leaks nothing.
template <class Values>
PyObject* make_buffer(Values&& values) {
  auto storage = std::make_unique<VectorStorage<std::remove_cvref_t<Values>>>(std::move(values));
  PyObject* self = buffer_type->tp_alloc(buffer_type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<BufferObject*>(self)->storage = storage.release();
  return self;
}

// --- output chunks as dicts -----------------------------------------------------

bool set_item(PyObject* dict, const char* key, PyObject* owned) {
  PyRef value(owned);
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

template <class Values>
bool set_buffer(PyObject* dict, const char* key, Values& values) {
  return set_item(dict, key, make_buffer(std::move(values)));
}

// A validity bitmap, or None when nothing is null (Arrow then needs none).
bool set_validity(PyObject* dict, const char* key, Bitmap& bitmap, std::int64_t nulls) {
  if (nulls == 0) return PyDict_SetItemString(dict, key, Py_None) == 0;
  return set_buffer(dict, key, bitmap.bytes());
}

bool set_count(PyObject* dict, const char* key, std::int64_t value) {
  return set_item(dict, key, PyLong_FromLongLong(value));
}

bool set_strings(PyObject* dict, const std::string& prefix, StringColumn& column) {
  return set_buffer(dict, (prefix + "_offsets").c_str(), column.offsets) &&
         set_buffer(dict, (prefix + "_data").c_str(), column.data);
}

bool set_attributes(PyObject* dict, const std::string& prefix, AttributeColumns& columns) {
  return set_buffer(dict, (prefix + "_attr_offsets").c_str(), columns.list_offsets) &&
         set_strings(dict, prefix + "_key", columns.keys) && set_strings(dict, prefix + "_value", columns.values) &&
         set_validity(dict, (prefix + "_value_validity").c_str(), columns.value_validity, columns.value_nulls) &&
         set_count(dict, (prefix + "_value_nulls").c_str(), columns.value_nulls);
}

// The chunk's buffers under the names tagmire/_arrow.py reads; the chunk
// is emptied (its memory now belongs to the Buffer objects).
PyObject* chunk_dict(OutputChunk& chunk) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const bool done =
      set_count(d, "rows", chunk.rows) && set_count(d, "null_rows", chunk.null_rows) &&
      set_validity(d, "validity", chunk.row_validity, chunk.null_rows) && set_strings(d, "text", chunk.text) &&
      set_buffer(d, "segment_offsets", chunk.segment_offsets) && set_buffer(d, "segment_start", chunk.segment_start) &&
      set_buffer(d, "segment_end", chunk.segment_end) &&
      set_buffer(d, "segment_char_start", chunk.segment_char_start) &&
      set_buffer(d, "segment_char_end", chunk.segment_char_end) &&
      set_buffer(d, "annotation_offsets", chunk.annotation_offsets) &&
      set_strings(d, "annotation_tag", chunk.annotation_tags) &&
      set_attributes(d, "annotation", chunk.annotation_attributes) &&
      set_buffer(d, "marker_offsets", chunk.marker_offsets) && set_buffer(d, "marker_pos", chunk.marker_pos) &&
      set_buffer(d, "marker_char_pos", chunk.marker_char_pos) && set_strings(d, "marker_tag", chunk.marker_tags) &&
      set_attributes(d, "marker", chunk.marker_attributes);
  return done ? dict.release() : nullptr;
}

PyObject* chunk_list(std::vector<OutputChunk>& chunks) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    PyObject* dict = chunk_dict(chunks[i]);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);  // steals `dict`
  }
  return list.release();
}

// --- arguments -----------------------------------------------------------------

bool read_threads(PyObject* value, std::size_t* out) {
  const Py_ssize_t threads = PyLong_Check(value) && !PyBool_Check(value) ? PyLong_AsSsize_t(value) : 0;
  if (threads == -1 && PyErr_Occurred()) return false;
  if (threads < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be a positive int");
    return false;
  }
  *out = static_cast<std::size_t>(threads);
  return true;
}

bool check_arity(const char* function, Py_ssize_t nargs, Py_ssize_t expected) {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional arguments (%zd given)", function, expected, nargs);
  return false;
}

// Parses `rows` and returns the chunk list. `rows` point into objects the
// caller keeps alive and that nobody can change: str objects, or Arrow
// buffers held through Py_buffer views.
PyObject* run_batch(const std::vector<TextRow>& rows, const types::ParserConfig& config, std::size_t threads,
                    std::optional<std::size_t>* unencodable_row) {
  BatchOutcome outcome;
  {
    ReleasedGil released;
    outcome = parse_rows(rows, config, threads);
  }
  if (outcome.unencodable_row) {
    *unencodable_row = outcome.unencodable_row;
    return nullptr;
  }
  return chunk_list(outcome.chunks);
}

// --- parse_texts(texts, config, threads) --------------------------------------

// Raises the interpreter's own UnicodeEncodeError for the str `item`, with
// a note naming its row.
void raise_unencodable(PyObject* item, std::size_t row) {
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(item, &size) != nullptr) {
    PyErr_SetString(PyExc_SystemError, "a str that has a UTF-8 form was refused");
    return;
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyRef error(PyErr_GetRaisedException());
  PyRef note(PyUnicode_FromFormat("in texts[%zu]", row));
  if (note) {
    PyRef added(PyObject_CallMethod(error.get(), "add_note", "O", note.get()));
    if (!added) return;
  }
  PyErr_SetRaisedException(error.release());
#else
  (void)row;
#endif
}

PyObject* parse_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (!check_arity("parse_texts", nargs, 3)) return nullptr;
    if (!PyList_Check(args[0]) && !PyTuple_Check(args[0])) {
      PyErr_Format(PyExc_TypeError, "texts must be a list or tuple, not '%.200s'", Py_TYPE(args[0])->tp_name);
      return nullptr;
    }
    types::ParserConfig config;
    std::size_t threads = 0;
    if (!read_config(args[1], &config) || !read_threads(args[2], &threads)) return nullptr;
    // A tuple of its own holds every str alive while the threads read them,
    // whatever other threads do to the caller's list meanwhile.
    PyRef items(PySequence_Tuple(args[0]));
    if (!items) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    std::vector<TextRow> rows(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      TextRow& row = rows[static_cast<std::size_t>(i)];
      if (item == Py_None) {
        row.null = true;
        continue;
      }
      if (!PyUnicode_Check(item)) {
        PyErr_Format(PyExc_TypeError, "texts[%zd] must be a str or None, not '%.200s'", i, Py_TYPE(item)->tp_name);
        return nullptr;
      }
#if PY_VERSION_HEX < 0x030C0000
      // A string made through the legacy API is not in its compact form yet.
      if (PyUnicode_READY(item) < 0) return nullptr;
#endif
      // The code units of a str never change once it is made; the threads
      // read them in place.
      row.data = PyUnicode_DATA(item);
      row.length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(item));
      row.width = PyUnicode_IS_ASCII(item) ? 0 : static_cast<std::uint8_t>(PyUnicode_KIND(item));
    }
    std::optional<std::size_t> unencodable;
    PyObject* chunks = run_batch(rows, config, threads, &unencodable);
    if (unencodable) raise_unencodable(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(*unencodable)), *unencodable);
    return chunks;
  });
}

// --- parse_arrow(arrays, config, threads) -------------------------------------

// A read-only view of a buffer-exporting object, released when this goes
// (always with the lock held: these live outside the released scope).
class BufferView {
 public:
  BufferView() = default;
  BufferView(BufferView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
  BufferView& operator=(BufferView&&) = delete;
  BufferView(const BufferView&) = delete;
  ~BufferView() {
    if (held_) PyBuffer_Release(&view_);
  }
  // None gives an empty view.
  bool acquire(PyObject* object) {
    if (object == Py_None) return true;
    if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0) return false;
    held_ = true;
    return true;
  }
  const void* data() const { return held_ ? view_.buf : nullptr; }
  std::size_t size() const { return held_ ? static_cast<std::size_t>(view_.len) : 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

PyObject* parse_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (!check_arity("parse_arrow", nargs, 3)) return nullptr;
    types::ParserConfig config;
    std::size_t threads = 0;
    if (!read_config(args[1], &config) || !read_threads(args[2], &threads)) return nullptr;
    PyRef arrays(PySequence_Tuple(args[0]));
    if (!arrays) return nullptr;
    std::vector<BufferView> views;
    views.reserve(static_cast<std::size_t>(PyTuple_GET_SIZE(arrays.get())) * 3);
    std::vector<TextRow> rows;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(arrays.get()); ++i) {
      // (length, offset, validity, offsets, data, large_offsets)
      PyObject* array = PyTuple_GET_ITEM(arrays.get(), i);
      long long length = 0;
      long long offset = 0;
      PyObject* validity = nullptr;
      PyObject* offsets = nullptr;
      PyObject* data = nullptr;
      int large = 0;
      if (!PyTuple_Check(array) ||
          !PyArg_ParseTuple(array, "LLOOOp:parse_arrow", &length, &offset, &validity, &offsets, &data, &large)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "each array must be a tuple");
        return nullptr;
      }
      BufferView& validity_view = views.emplace_back();
      BufferView& offsets_view = views.emplace_back();
      BufferView& data_view = views.emplace_back();
      if (!validity_view.acquire(validity) || !offsets_view.acquire(offsets) || !data_view.acquire(data)) {
        return nullptr;
      }
      ArrowStrings strings;
      strings.length = length;
      strings.offset = offset;
      strings.validity = static_cast<const std::uint8_t*>(validity_view.data());
      strings.offsets = offsets_view.data();
      strings.offsets_size = offsets_view.size();
      strings.large_offsets = large != 0;
      strings.data = static_cast<const char*>(data_view.data());
      strings.data_size = data_view.size();
      if (strings.validity != nullptr && validity_view.size() * 8 < static_cast<std::uint64_t>(offset + length)) {
        PyErr_Format(PyExc_ValueError, "string array %zd: its validity bitmap is too short", i);
        return nullptr;
      }
      if (!append_arrow_rows(strings, rows)) {
        PyErr_Format(PyExc_ValueError, "string array %zd: offsets out of order or outside its data", i);
        return nullptr;
      }
    }
    std::optional<std::size_t> unencodable;  // Arrow rows are UTF-8 already
    return run_batch(rows, config, threads, &unencodable);
  });
}

// --- the module ---------------------------------------------------------------

PyMethodDef module_methods[] = {
    {"parse_texts", as_method(parse_texts), METH_FASTCALL,
     "parse_texts(texts, config, threads, /)\n--\n\n"
     "Parse a list or tuple of str or None; returns one dict of buffers per output chunk."},
    {"parse_arrow", as_method(parse_arrow), METH_FASTCALL,
     "parse_arrow(arrays, config, threads, /)\n--\n\n"
     "Parse Arrow string arrays given as (length, offset, validity, offsets, data, large_offsets) tuples; "
     "returns one dict of buffers per output chunk."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "tagmire._native",
    "The batch parser's native half: rows in, Arrow-layout buffers out.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* module_object = nullptr;

PyObject* init_module() {
  // The types and the module live for the process, as _tagmire_rs's do.
  if (PyInterpreterState_GetID(PyInterpreterState_Get()) != PyInterpreterState_GetID(PyInterpreterState_Main())) {
    PyErr_SetString(PyExc_ImportError,
                    "tagmire._native can only be loaded by the main interpreter; sub-interpreters are not supported");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  if (!load_parser_config_type()) return nullptr;
  if (buffer_type == nullptr) {
    buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
    if (buffer_type == nullptr) return nullptr;
  }
  PyRef module(PyModule_Create(&module_definition));
  if (!module || PyModule_AddObjectRef(module.get(), "Buffer", reinterpret_cast<PyObject*>(buffer_type)) < 0 ||
      !add_stream_type(module.get())) {
    return nullptr;
  }
  module_object = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace tagmire_native

PyMODINIT_FUNC PyInit__native() {
  return tagmire_native::guarded([] { return tagmire_native::init_module(); });
}
