#include "package_native/stream_object.h"

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "package_native/config_functions.h"
#include "parser/stream.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/released_gil.h"
#include "text/ascii_blocks.h"
#include "text/transcode.h"

namespace package_native {

namespace {

using python_glue::as_method;
using python_glue::guarded;
using python_glue::PyRef;
using python_glue::ReleasedGil;

// Chunks at least this long are parsed with the interpreter lock released.
constexpr std::size_t kReleaseFrom = 16384;

struct StreamObject {
  PyObject_HEAD
  parser::StreamParser* stream;
  std::string* scratch;          // a chunk's UTF-8 form, when it is not ASCII
  std::size_t settled_chars;     // characters handed out so far
  bool previews;                 // each feed's update carries a preview
  bool busy;                     // a call is running (with the lock released)
};

PyTypeObject* stream_type = nullptr;

// The package's record types (named tuples), registered by tagmire._stream
// at import, in this order.
enum Record { kAnnotation, kSegment, kMarker, kSettled, kUpdate, kRecordCount };
PyTypeObject* record_types[kRecordCount] = {};

// A new instance of the named tuple `record` holding `items` (references
// taken). Made as the tuple type itself makes a subclass's instances,
// without going through the class's Python-level constructor.
PyObject* make_record(Record record, std::initializer_list<PyObject*> items) {
  PyTypeObject* type = record_types[record];
  PyObject* tuple = type->tp_alloc(type, static_cast<Py_ssize_t>(items.size()));
  if (tuple == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(tuple, i++, Py_NewRef(item));
  return tuple;
}

StreamObject* as_stream(PyObject* self) { return reinterpret_cast<StreamObject*>(self); }

// Marks the stream busy for a call, refusing a call that meets it busy: one
// that another thread made while this one runs without the lock.
class Busy {
 public:
  explicit Busy(StreamObject* self) : self_(self->busy ? nullptr : self) {
    if (self_ == nullptr) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this StreamParser is in use by another thread; a stream takes one call at a time");
      return;
    }
    self_->busy = true;
  }
  ~Busy() {
    if (self_ != nullptr) self_->busy = false;
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  bool acquired() const { return self_ != nullptr; }

 private:
  StreamObject* self_;
};

std::size_t chars_in(std::string_view bytes) { return text::count_utf8_chars(bytes.data(), bytes.size()); }

PyObject* str_of(types::StoredText<char> text) {
  return PyUnicode_DecodeUTF8(text.data, static_cast<Py_ssize_t>(text.size), "strict");
}

// A StreamAnnotation (tag, attrs) of a stored annotation; attrs maps each
// key to its value, or to True for a key written without one.
PyObject* annotation_record(const types::ParseRecords& records, types::AnnotationRef ref) {
  types::AnnotationReader<char> reader = records.annotation<char>(ref);
  PyRef tag(str_of(reader.tag()));
  PyRef attrs(PyDict_New());
  if (!tag || !attrs) return nullptr;
  for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
    const auto attribute = reader.next_attribute();
    PyRef key(str_of(attribute.key));
    PyRef value = attribute.has_value ? PyRef(str_of(attribute.value)) : PyRef::borrow(Py_True);
    if (!key || !value || PyDict_SetItem(attrs.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return make_record(kAnnotation, {tag.get(), attrs.get()});
}

PyObject* size_of(std::size_t n) { return PyLong_FromSize_t(n); }

// A SettledText of `run`, every position in the whole text: bytes and
// characters.
PyObject* settled_record(const parser::SettledText& run, std::size_t char_start, bool provisional) {
  PyRef text(PyUnicode_DecodeUTF8(run.text.data(), static_cast<Py_ssize_t>(run.text.size()), "strict"));
  if (!text) return nullptr;
  const types::SegmentTable& segments = run.records.segments();
  PyRef segment_tuple(PyTuple_New(static_cast<Py_ssize_t>(segments.size())));
  if (!segment_tuple) return nullptr;
  std::vector<types::AnnotationRef> refs;
  std::size_t chars = 0;  // in the run
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const std::size_t length =
        chars_in(std::string_view(run.text).substr(segments.start(i), segments.end(i) - segments.start(i)));
    refs.clear();
    segments.annotations(i, refs);
    PyRef annotations(PyTuple_New(static_cast<Py_ssize_t>(refs.size())));
    if (!annotations) return nullptr;
    for (std::size_t k = 0; k < refs.size(); ++k) {
      PyObject* annotation = annotation_record(run.records, refs[k]);
      if (annotation == nullptr) return nullptr;
      PyTuple_SET_ITEM(annotations.get(), static_cast<Py_ssize_t>(k), annotation);
    }
    PyRef piece(PyUnicode_Substring(text.get(), static_cast<Py_ssize_t>(chars), static_cast<Py_ssize_t>(chars + length)));
    PyRef start(size_of(run.start + segments.start(i)));
    PyRef end(size_of(run.start + segments.end(i)));
    PyRef char_begin(size_of(char_start + chars));
    PyRef char_end(size_of(char_start + chars + length));
    if (!piece || !start || !end || !char_begin || !char_end) return nullptr;
    PyObject* segment = make_record(kSegment, {piece.get(), start.get(), end.get(), char_begin.get(), char_end.get(),
                                               annotations.get(), i == 0 && run.continues ? Py_True : Py_False});
    if (segment == nullptr) return nullptr;
    PyTuple_SET_ITEM(segment_tuple.get(), static_cast<Py_ssize_t>(i), segment);
    chars += length;
  }
  const auto markers = run.records.markers();
  PyRef marker_tuple(PyTuple_New(static_cast<Py_ssize_t>(markers.size())));
  if (!marker_tuple) return nullptr;
  std::size_t marker_chars = char_start;
  std::size_t counted_to = 0;
  for (std::size_t i = 0; i < markers.size(); ++i) {
    // Markers stand in order of position: count on from the last one.
    marker_chars += chars_in(std::string_view(run.text).substr(counted_to, markers[i].pos - counted_to));
    counted_to = markers[i].pos;
    PyRef annotation(annotation_record(run.records, markers[i].annotation));
    PyRef pos(size_of(run.start + markers[i].pos));
    PyRef char_pos(size_of(marker_chars));
    if (!annotation || !pos || !char_pos) return nullptr;
    PyObject* marker = make_record(kMarker, {pos.get(), char_pos.get(), annotation.get()});
    if (marker == nullptr) return nullptr;
    PyTuple_SET_ITEM(marker_tuple.get(), static_cast<Py_ssize_t>(i), marker);
  }
  PyRef start(size_of(run.start));
  PyRef end(size_of(run.start + run.text.size()));
  PyRef char_begin(size_of(char_start));
  PyRef char_end(size_of(char_start + static_cast<std::size_t>(PyUnicode_GET_LENGTH(text.get()))));
  if (!start || !end || !char_begin || !char_end) return nullptr;
  return make_record(kSettled, {text.get(), start.get(), end.get(), char_begin.get(), char_end.get(),
                                segment_tuple.get(), marker_tuple.get(), provisional ? Py_True : Py_False});
}

// What settled since the last call: a SettledText, empty where nothing did.
PyObject* take_settled(StreamObject* self) {
  const parser::SettledText run = self->stream->take_settled();
  PyObject* record = settled_record(run, self->settled_chars, false);
  if (record != nullptr) self->settled_chars += static_cast<std::size_t>(PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(record, 0)));
  return record;
}

// The held tail as it would parse if the text ended now: a provisional
// SettledText.
PyObject* preview(StreamObject* self) {
  return settled_record(self->stream->preview(), self->settled_chars, true);
}

// A StreamUpdate: what settled, and the preview when the stream makes them.
PyObject* update(StreamObject* self, bool with_preview) {
  PyRef committed(take_settled(self));
  if (!committed) return nullptr;
  PyRef pending = with_preview ? PyRef(preview(self)) : PyRef::borrow(Py_None);
  if (!pending) return nullptr;
  return make_record(kUpdate, {committed.get(), pending.get()});
}

// The UTF-8 form of the str `chunk`, read in place when it is ASCII and
// otherwise encoded into the stream's scratch, so that no UTF-8 copy is
// left attached to the caller's str. False with an exception set.
bool chunk_bytes(StreamObject* self, PyObject* chunk, std::string_view* out) {
  if (!PyUnicode_Check(chunk)) {
    PyErr_Format(PyExc_TypeError, "chunk must be a str, not '%.200s'", Py_TYPE(chunk)->tp_name);
    return false;
  }
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(chunk));
  const std::size_t width = PyUnicode_IS_ASCII(chunk) ? 0 : static_cast<std::size_t>(PyUnicode_KIND(chunk));
  if (text::utf8_of(PyUnicode_DATA(chunk), width, length, *self->scratch, out)) return true;
  // A lone surrogate: the interpreter's own UnicodeEncodeError.
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(chunk, &size) == nullptr) return false;
  PyErr_SetString(PyExc_SystemError, "a string with a lone surrogate encoded to UTF-8");
  return false;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (record_types[kUpdate] == nullptr) {
      PyErr_SetString(PyExc_RuntimeError, "tagmire._stream has not registered its record types");
      return nullptr;
    }
    PyObject* config_value = nullptr;
    int previews = 1;
    static const char* keywords[] = {"config", "preview", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op:Stream", const_cast<char**>(keywords), &config_value,
                                     &previews)) {
      return nullptr;
    }
    auto config = config_argument(config_value);
    if (!config) return nullptr;
    auto stream = std::make_unique<parser::StreamParser>(std::move(config));
    auto scratch = std::make_unique<std::string>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_stream(self)->stream = stream.release();
    as_stream(self)->scratch = scratch.release();
    as_stream(self)->settled_chars = 0;
    as_stream(self)->previews = previews != 0;
    as_stream(self)->busy = false;
    return self;
  });
}

void stream_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete as_stream(self)->stream;
  delete as_stream(self)->scratch;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* stream_feed(PyObject* self, PyObject* chunk) noexcept {
  return guarded([&]() -> PyObject* {
    StreamObject* stream = as_stream(self);
    Busy busy(stream);
    if (!busy.acquired()) return nullptr;
    if (stream->stream->closed()) {
      PyErr_SetString(PyExc_ValueError, "feed() after close(): the stream has ended");
      return nullptr;
    }
    std::string_view bytes;
    if (!chunk_bytes(stream, chunk, &bytes)) return nullptr;
    if (bytes.size() >= kReleaseFrom) {
      // The chunk's memory cannot change meanwhile: the caller holds the
      // str, and strs do not change.
      ReleasedGil released;
      stream->stream->feed(bytes);
    } else {
      stream->stream->feed(bytes);
    }
    return update(stream, stream->previews);
  });
}

PyObject* stream_close(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    StreamObject* stream = as_stream(self);
    Busy busy(stream);
    if (!busy.acquired()) return nullptr;
    stream->stream->close();
    return update(stream, false);
  });
}

PyObject* stream_preview(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    StreamObject* stream = as_stream(self);
    Busy busy(stream);
    if (!busy.acquired()) return nullptr;
    return preview(stream);
  });
}

PyObject* stream_closed(PyObject* self, void*) noexcept { return PyBool_FromLong(as_stream(self)->stream->closed()); }

PyObject* stream_held(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(as_stream(self)->stream->held_bytes());
}

PyMethodDef stream_methods[] = {
    {"feed", as_method(stream_feed), METH_O,
     "feed($self, chunk, /)\n--\n\nParse a piece of the text; returns a StreamUpdate."},
    {"close", as_method(stream_close), METH_NOARGS,
     "close($self, /)\n--\n\nEnd the text; returns a StreamUpdate."},
    {"preview", as_method(stream_preview), METH_NOARGS,
     "preview($self, /)\n--\n\nThe held-back tail as it would parse if the text ended now."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* register_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  if (nargs != kRecordCount) {
    PyErr_Format(PyExc_TypeError, "stream_records() takes %d classes", static_cast<int>(kRecordCount));
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    if (!PyType_Check(args[i]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[i]), &PyTuple_Type)) {
      PyErr_SetString(PyExc_TypeError, "stream_records() takes tuple subclasses");
      return nullptr;
    }
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    // Held for the process, like the module's own types.
    PyTypeObject*& slot = record_types[i];
    Py_XDECREF(slot);
    slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(args[i]));
  }
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"stream_records", as_method(register_records), METH_FASTCALL,
     "stream_records(annotation, segment, marker, settled, update, /)\n--\n\n"
     "Register the named tuples a Stream hands out."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"closed", stream_closed, nullptr, nullptr, nullptr},
    {"held_bytes", stream_held, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_methods, stream_methods},
    {Py_tp_getset, stream_getset},
    {Py_tp_doc,
     const_cast<char*>("Stream(config, preview=True)\n--\n\nThe streaming parser's native half (see tagmire.StreamParser).")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "tagmire._native.Stream", sizeof(StreamObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, stream_slots,
};

}  // namespace

bool add_stream_type(PyObject* module) {
  if (stream_type == nullptr) {
    stream_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_spec));
    if (stream_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "Stream", reinterpret_cast<PyObject*>(stream_type)) == 0 &&
         PyModule_AddFunctions(module, module_functions) == 0;
}

}  // namespace package_native
