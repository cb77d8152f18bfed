#include "tagmire_native/stream_object.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/stream.h"
#include "python_bindings/py_ref.h"
#include "tagmire_native/config_reading.h"
#include "tagmire_native/glue.h"
#include "tagmire_native/utf8_encoding.h"

namespace tagmire_native {

namespace {

using python_bindings::PyRef;

// Chunks at least this long are parsed with the interpreter lock released.
constexpr std::size_t kReleaseFrom = 16384;

struct StreamObject {
  PyObject_HEAD
  parser::StreamParser* stream;
  std::string* scratch;          // a chunk's UTF-8 form, when it is not ASCII
  std::size_t settled_chars;     // characters handed out so far
  bool busy;                     // a call is running (with the lock released)
};

PyTypeObject* stream_type = nullptr;

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

// Characters in UTF-8 `bytes`: each has exactly one byte that is not a
// continuation byte.
std::size_t chars_in(std::string_view bytes) {
  std::size_t chars = 0;
  for (const char c : bytes) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return chars;
}

PyObject* str_of(types::StoredText<char> text) {
  return PyUnicode_DecodeUTF8(text.data, static_cast<Py_ssize_t>(text.size), "strict");
}

// (tag, attrs) of a stored annotation; attrs maps each key to its value, or
// to True for a key written without one.
PyObject* annotation_tuple(const types::ParseRecords& records, types::AnnotationRef ref) {
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
  return PyTuple_Pack(2, tag.get(), attrs.get());
}

// A settled run as (text, start, char_start, continues, segments, markers),
// with every position in the whole text: bytes and characters.
PyObject* run_tuple(const parser::SettledText& run, std::size_t char_start) {
  PyRef text(PyUnicode_DecodeUTF8(run.text.data(), static_cast<Py_ssize_t>(run.text.size()), "strict"));
  if (!text) return nullptr;
  const types::SegmentTable& segments = run.records.segments();
  PyRef segment_list(PyList_New(static_cast<Py_ssize_t>(segments.size())));
  if (!segment_list) return nullptr;
  std::vector<types::AnnotationRef> refs;
  std::size_t chars = char_start;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const std::size_t length = chars_in(std::string_view(run.text).substr(segments.start(i), segments.end(i) - segments.start(i)));
    refs.clear();
    segments.annotations(i, refs);
    PyRef annotations(PyTuple_New(static_cast<Py_ssize_t>(refs.size())));
    if (!annotations) return nullptr;
    for (std::size_t k = 0; k < refs.size(); ++k) {
      PyObject* annotation = annotation_tuple(run.records, refs[k]);
      if (annotation == nullptr) return nullptr;
      PyTuple_SET_ITEM(annotations.get(), static_cast<Py_ssize_t>(k), annotation);
    }
    PyObject* segment = Py_BuildValue("(nnnnO)", static_cast<Py_ssize_t>(run.start + segments.start(i)),
                                      static_cast<Py_ssize_t>(run.start + segments.end(i)),
                                      static_cast<Py_ssize_t>(chars), static_cast<Py_ssize_t>(chars + length),
                                      annotations.get());
    if (segment == nullptr) return nullptr;
    PyList_SET_ITEM(segment_list.get(), static_cast<Py_ssize_t>(i), segment);
    chars += length;
  }
  const auto markers = run.records.markers();
  PyRef marker_list(PyList_New(static_cast<Py_ssize_t>(markers.size())));
  if (!marker_list) return nullptr;
  std::size_t marker_chars = char_start;
  std::size_t counted_to = 0;
  for (std::size_t i = 0; i < markers.size(); ++i) {
    // Markers stand in order of position: count on from the last one.
    marker_chars += chars_in(std::string_view(run.text).substr(counted_to, markers[i].pos - counted_to));
    counted_to = markers[i].pos;
    PyRef annotation(annotation_tuple(run.records, markers[i].annotation));
    if (!annotation) return nullptr;
    PyObject* marker = Py_BuildValue("(nnOO)", static_cast<Py_ssize_t>(run.start + markers[i].pos),
                                     static_cast<Py_ssize_t>(marker_chars), PyTuple_GET_ITEM(annotation.get(), 0),
                                     PyTuple_GET_ITEM(annotation.get(), 1));
    if (marker == nullptr) return nullptr;
    PyList_SET_ITEM(marker_list.get(), static_cast<Py_ssize_t>(i), marker);
  }
  return Py_BuildValue("(OnnOOO)", text.get(), static_cast<Py_ssize_t>(run.start), static_cast<Py_ssize_t>(char_start),
                       run.continues ? Py_True : Py_False, segment_list.get(), marker_list.get());
}

// What settled since the last call, or None when nothing did.
PyObject* take_settled(StreamObject* self) {
  const parser::SettledText run = self->stream->take_settled();
  if (run.text.empty() && run.records.markers().empty()) Py_RETURN_NONE;
  PyObject* tuple = run_tuple(run, self->settled_chars);
  if (tuple != nullptr) self->settled_chars += chars_in(run.text);
  return tuple;
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
  const void* data = PyUnicode_DATA(chunk);
  if (PyUnicode_IS_ASCII(chunk)) {
    *out = std::string_view(static_cast<const char*>(data), length);
    return true;
  }
  const int kind = PyUnicode_KIND(chunk);
  self->scratch->resize(utf8_room(length, static_cast<std::size_t>(kind)));
  char* begin = self->scratch->data();
  char* end = kind == PyUnicode_1BYTE_KIND   ? encode_utf8(static_cast<const Py_UCS1*>(data), length, begin)
              : kind == PyUnicode_2BYTE_KIND ? encode_utf8(static_cast<const Py_UCS2*>(data), length, begin)
                                             : encode_utf8(static_cast<const Py_UCS4*>(data), length, begin);
  if (end == nullptr) {
    // A lone surrogate: the interpreter's own UnicodeEncodeError.
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(chunk, &size) == nullptr) return false;
    PyErr_SetString(PyExc_SystemError, "a string with a lone surrogate encoded to UTF-8");
    return false;
  }
  *out = std::string_view(begin, static_cast<std::size_t>(end - begin));
  return true;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* config_value = nullptr;
    static const char* keywords[] = {"config", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:Stream", const_cast<char**>(keywords), &config_value)) {
      return nullptr;
    }
    types::ParserConfig config;
    if (!read_config(config_value, &config)) return nullptr;
    auto stream = std::make_unique<parser::StreamParser>(std::make_shared<const parser::PreparedConfig>(config));
    auto scratch = std::make_unique<std::string>();
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    as_stream(self)->stream = stream.release();
    as_stream(self)->scratch = scratch.release();
    as_stream(self)->settled_chars = 0;
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
    return take_settled(stream);
  });
}

PyObject* stream_close(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    StreamObject* stream = as_stream(self);
    Busy busy(stream);
    if (!busy.acquired()) return nullptr;
    if (stream->stream->closed()) Py_RETURN_NONE;
    stream->stream->close();
    return take_settled(stream);
  });
}

PyObject* stream_preview(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    StreamObject* stream = as_stream(self);
    Busy busy(stream);
    if (!busy.acquired()) return nullptr;
    const parser::SettledText run = stream->stream->preview();
    if (run.text.empty() && run.records.markers().empty()) Py_RETURN_NONE;
    return run_tuple(run, stream->settled_chars);
  });
}

PyObject* stream_closed(PyObject* self, void*) noexcept { return PyBool_FromLong(as_stream(self)->stream->closed()); }

PyObject* stream_held(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(as_stream(self)->stream->held_bytes());
}

PyMethodDef stream_methods[] = {
    {"feed", as_method(stream_feed), METH_O,
     "feed($self, chunk, /)\n--\n\nParse a piece of the text; returns the run that settled, or None."},
    {"close", as_method(stream_close), METH_NOARGS,
     "close($self, /)\n--\n\nEnd the text; returns the run that settled, or None."},
    {"preview", as_method(stream_preview), METH_NOARGS,
     "preview($self, /)\n--\n\nThe held-back tail as it would parse if the text ended now, or None."},
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
    {Py_tp_doc, const_cast<char*>("Stream(config)\n--\n\nThe streaming parser's native half (see tagmire.StreamParser).")},
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
  return PyModule_AddObjectRef(module, "Stream", reinterpret_cast<PyObject*>(stream_type)) == 0;
}

}  // namespace tagmire_native
