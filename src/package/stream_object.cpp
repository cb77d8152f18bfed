#include "package/stream_object.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "package/config_functions.h"
#include "package/native_state.h"
#include "package/records.h"
#include "parser/stream.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/released_gil.h"
#include "text/ascii_blocks.h"
#include "text/positions.h"
#include "text/encoding.h"
#include "text/transcode.h"

namespace package {

namespace {

using python_glue::as_method;
using python_glue::guarded;
using python_glue::PyRef;
using python_glue::ReleasedGil;

// Chunks at least this long are parsed with the interpreter lock released.
constexpr std::size_t kReleaseFrom = 16384;
struct StreamState {
  std::unique_ptr<parser::StreamParser> stream;
  std::string scratch;  // a chunk's UTF-8 form, when it is not ASCII
  // Characters of the whole text before a byte of the held text.
  text::PositionMap<char> chars;
  std::size_t committed_chars = 0;  // characters handed out as committed
  bool previews = false;
  // A window's stream: nothing settles before the end, and each step hands
  // out what to redraw; after the end, `result` is the whole parse.
  bool window = false;
  PyRef result;
  // A call is running: taken by one exchange, so that of two threads
  // calling at once (one with the interpreter lock released, or on a
  // free-threaded build any two) exactly one is refused.
  std::atomic<bool> busy = false;
  // closed and held_bytes as the last call left them, for the getters,
  // which read them while another thread's call may be running.
  std::atomic<bool> closed = false;
  std::atomic<std::size_t> held_bytes = 0;
};

struct StreamObject {
  PyObject_HEAD
  StreamState* state;
};

StreamState& state_of(PyObject* self) { return *reinterpret_cast<StreamObject*>(self)->state; }

// Marks the stream busy for a call, refusing a call that meets it busy: one
// that another thread made while this one runs. When the call ends, what
// the getters read is brought up to date.
class Busy {
 public:
  explicit Busy(StreamState& state) : state_(&state) {
    if (state.busy.exchange(true, std::memory_order_acquire)) {
      PyErr_SetString(PyExc_RuntimeError,
                      "this StreamParser is in use by another thread; a stream takes one call at a time");
      state_ = nullptr;
    }
  }
  ~Busy() {
    if (state_ == nullptr) return;
    state_->closed.store(state_->stream->closed(), std::memory_order_relaxed);
    state_->held_bytes.store(state_->stream->held_bytes(), std::memory_order_relaxed);
    state_->busy.store(false, std::memory_order_release);
  }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  bool acquired() const { return state_ != nullptr; }

 private:
  StreamState* state_;
};

// The UTF-8 form of the str `chunk`, read in place when it is ASCII and
// otherwise encoded into the stream's scratch, so that no UTF-8 copy is
// left attached to the caller's str. False with an exception set.
bool chunk_bytes(StreamState& state, PyObject* chunk, std::string_view* out) {
  if (!PyUnicode_Check(chunk)) {
    PyErr_Format(PyExc_TypeError, "chunk must be a str, not '%.200s'", Py_TYPE(chunk)->tp_name);
    return false;
  }
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(chunk));
  const std::size_t width = PyUnicode_IS_ASCII(chunk) ? text::kUtf8Width : static_cast<std::size_t>(PyUnicode_KIND(chunk));
  if (text::utf8_of(PyUnicode_DATA(chunk), width, length, state.scratch, out)) return true;
  // A lone surrogate: the interpreter's own UnicodeEncodeError.
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(chunk, &size) == nullptr) return false;
  PyErr_SetString(PyExc_SystemError, "a string with a lone surrogate encoded to UTF-8");
  return false;
}

std::size_t char_at(StreamState& state, std::size_t byte) {
  const parser::StreamParser& stream = *state.stream;
  return state.chars.at(byte, stream.held_text().data(), stream.held_text_offset());
}

// What settled since the last call, as a ParsedText.
PyObject* take_committed(StreamState& state) {
  parser::SettledText run = state.stream->take_settled();
  const std::size_t chars = text::count_utf8_chars(run.text.data(), run.text.size());
  PyObject* committed = parsed_text_of_run(std::move(run), state.committed_chars);
  if (committed != nullptr) state.committed_chars += chars;
  return committed;
}

// The preview's changes: the pending run from where the preview changed up
// to its end (with the new markers and the unfinished markup), and earlier
// stretches that changed.
PyObject* pending_of(StreamState& state, parser::PreviewChange& change) {
  parser::StreamParser& stream = *state.stream;
  parser::PreviewRun tail = change.pending;
  const std::string_view tail_text = stream.text_of(tail);
  std::size_t tail_chars = char_at(state, tail.start);
  if (change.unfinished_from > 0) {
    // Only the unfinished markup grew: the pending run continues it.
    tail.start = tail.end = change.held_end + change.unfinished_from;
    tail_chars += text::count_utf8_chars(stream.unfinished().data(), change.unfinished_from);
  }
  return parsed_text_of_preview(tail, tail_text, tail_chars, std::move(change.markers), change.unfinished,
                                change.unfinished_from > 0);
}

bool take_pending(StreamState& state, PyRef* pending, PyRef* revised) {
  parser::StreamParser& stream = *state.stream;
  parser::PreviewChange change = stream.take_preview();
  const std::span<const parser::PreviewRun> runs = change.revised;
  *pending = PyRef(pending_of(state, change));
  if (!*pending) return false;
  PyRef earlier(PyTuple_New(static_cast<Py_ssize_t>(runs.size())));
  if (!earlier) return false;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    PyObject* run = parsed_text_of_preview(runs[i], stream.text_of(runs[i]), char_at(state, runs[i].start), {}, {},
                                           false);
    if (run == nullptr) return false;
    PyTuple_SET_ITEM(earlier.get(), static_cast<Py_ssize_t>(i), run);
  }
  *revised = std::move(earlier);
  return true;
}

// What a window redraws after a feed or a close: its text from the first
// place that changed to its end, the markers there and the unfinished
// markup. After the close the whole parse is kept as the window's result.
PyObject* make_redraw_of(StreamState& state) {
  parser::StreamParser& stream = *state.stream;
  parser::PreviewChange change = stream.take_preview();
  PyRef redraw;
  if (change.revised.empty()) {
    redraw = PyRef(pending_of(state, change));
  } else {
    parser::PreviewChange from = stream.preview_from(change.revised.front().start);
    redraw = PyRef(parsed_text_of_preview(from.pending, stream.text_of(from.pending), char_at(state, from.pending.start),
                                          std::move(from.markers), from.unfinished, false));
  }
  if (!redraw) return nullptr;
  if (stream.closed()) {
    state.result = PyRef(parsed_text_of_run(stream.take_settled(), 0));
    if (!state.result) return nullptr;
  }
  return redraw.release();
}

// The update after a feed or a close, built.
PyObject* make_update_of(StreamState& state) {
  if (state.window) return make_redraw_of(state);
  PyRef committed(take_committed(state));
  if (!committed) return nullptr;
  const parser::StreamParser& stream = *state.stream;
  state.chars.start_at(stream.settled_position(), state.committed_chars);
  if (!state.previews) return make_update(committed.get());
  PyRef pending;
  PyRef revised;
  if (!take_pending(state, &pending, &revised)) return nullptr;
  return make_preview_update(committed.get(), pending.get(), revised.get());
}

// A feed or a close (`act`) and its update. When the update cannot be
// made, the feed or close is undone, so that nothing it settled is lost
// and the stream is as it was: what failed can be fed again.
template <class Act>
PyObject* step(StreamState& state, Act&& act) {
  struct Undo {
    StreamState& state;
    std::size_t committed_chars;
    // Characters of the whole text before a byte of the held text.
  text::PositionMap<char> chars;
    bool done = false;
    ~Undo() {
      if (done) return;
      state.stream->roll_back();
      state.committed_chars = committed_chars;
      state.chars = std::move(chars);
    }
  } undo{state, state.committed_chars, state.chars};
  act();
  PyObject* made = make_update_of(state);
  undo.done = made != nullptr;
  return made;
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* config_value = nullptr;
    int previews = 1;
    int unfinished = 0;
    int window = 0;
    static const char* keywords[] = {"config", "preview", "unfinished", "window", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|ppp:Stream", const_cast<char**>(keywords), &config_value,
                                     &previews, &unfinished, &window)) {
      return nullptr;
    }
    auto config = config_argument(config_value);
    if (!config) return nullptr;
    auto state = std::make_unique<StreamState>();
    state->window = window != 0;
    state->previews = previews != 0 || state->window;
    state->stream = std::make_unique<parser::StreamParser>(std::move(config), state->previews, unfinished != 0,
                                                           state->window);
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    reinterpret_cast<StreamObject*>(self)->state = state.release();
    return self;
  });
}

void stream_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<StreamObject*>(self)->state;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* stream_feed(PyObject* self, PyObject* chunk) noexcept {
  return guarded([&]() -> PyObject* {
    StreamState& state = state_of(self);
    Busy busy(state);
    if (!busy.acquired()) return nullptr;
    if (state.stream->closed()) {
      PyErr_SetString(PyExc_ValueError, "feed() after close(): the stream has ended");
      return nullptr;
    }
    std::string_view bytes;
    if (!chunk_bytes(state, chunk, &bytes)) return nullptr;
    return step(state, [&] {
      if (bytes.size() >= kReleaseFrom) {
        // The chunk's memory cannot change meanwhile: the caller holds the
        // str, and strs do not change.
        ReleasedGil released;
        state.stream->feed(bytes);
      } else {
        state.stream->feed(bytes);
      }
    });
  });
}

PyObject* stream_close(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    StreamState& state = state_of(self);
    Busy busy(state);
    if (!busy.acquired()) return nullptr;
    return step(state, [&] { state.stream->close(); });
  });
}

PyObject* stream_preview(PyObject* self, PyObject*) noexcept {
  return guarded([&]() -> PyObject* {
    StreamState& state = state_of(self);
    Busy busy(state);
    if (!busy.acquired()) return nullptr;
    parser::StreamParser& stream = *state.stream;
    if (state.result) return Py_NewRef(state.result.get());
    parser::PreviewChange whole = stream.full_preview();
    const parser::PreviewRun run = whole.pending;
    return parsed_text_of_preview(run, stream.text_of(run), char_at(state, run.start), std::move(whole.markers),
                                  whole.unfinished, false);
  });
}

PyObject* stream_closed(PyObject* self, void*) noexcept {
  return PyBool_FromLong(state_of(self).closed.load(std::memory_order_relaxed));
}

PyObject* stream_held(PyObject* self, void*) noexcept {
  return PyLong_FromSize_t(state_of(self).held_bytes.load(std::memory_order_relaxed));
}

PyMethodDef stream_methods[] = {
    {"feed", as_method(stream_feed), METH_O,
     "feed($self, chunk, /)\n--\n\nParse a piece of the text; returns a StreamUpdate or PreviewUpdate."},
    {"close", as_method(stream_close), METH_NOARGS,
     "close($self, /)\n--\n\nEnd the text; returns the last update."},
    {"preview", as_method(stream_preview), METH_NOARGS,
     "preview($self, /)\n--\n\nThe whole held-back tail as it would parse if the text ended now."},
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
    {Py_tp_doc, const_cast<char*>("Stream(config, preview=True, unfinished=False, window=False)\n--\n\n"
                                  "The streaming parser's native half (see tagmire.StreamParser).")},
    {0, nullptr},
};

PyType_Spec stream_spec = {
    "tagmire._native.Stream", sizeof(StreamObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, stream_slots,
};

}  // namespace

bool add_stream_type(PyObject* module) {
  PyTypeObject*& type = TheNativeState::get().stream;
  type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&stream_spec));
  return type != nullptr && PyModule_AddObjectRef(module, "Stream", reinterpret_cast<PyObject*>(type)) == 0;
}

}  // namespace package
