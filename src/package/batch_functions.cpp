#include "package/batch_functions.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "batch/batch_core.h"
#include "batch/output_columns.h"
#include "package/arrow_export.h"
#include "package/config_functions.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/released_gil.h"
#include "text/encoding.h"

namespace package {
namespace {

using batch::ArrowStrings;
using batch::BatchOutcome;
using batch::OutputChunk;
using batch::TextRow;
using python_glue::as_method;
using python_glue::guarded;
using python_glue::PyRef;
using python_glue::ReleasedGil;

// --- output chunks as Arrow columns ----------------------------------------------

// Each chunk as a tuple of its columns, each an ArrowExport over the
// chunk's buffers, which they take over (the chunks are left empty).
PyObject* chunk_list(std::vector<OutputChunk>& chunks) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(chunks.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    std::vector<batch::ArrowField> columns = batch::output_columns(std::move(chunks[i]));
    PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!tuple) return nullptr;
    for (std::size_t k = 0; k < columns.size(); ++k) {
      PyObject* column = new_arrow_export(std::move(columns[k]));
      if (column == nullptr) return nullptr;
      PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), column);  // steals `column`
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple.release());  // steals the tuple
  }
  return list.release();
}

// output_schema(): the output's columns, as one ArrowExport of a struct
// with no rows, whose __arrow_c_schema__ pyarrow reads as the table's
// schema.
PyObject* output_schema(PyObject*, PyObject*) noexcept {
  return guarded([] {
    return new_arrow_export(batch::ArrowField::structure("", 0, batch::output_columns(OutputChunk())));
  });
}

// The columns' names, in order: what the package needs of the schema
// where pyarrow may be missing.
PyObject* output_column_names() {
  const std::vector<batch::ArrowField> columns = batch::output_columns(OutputChunk());
  PyRef names(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
  if (!names) return nullptr;
  for (std::size_t k = 0; k < columns.size(); ++k) {
    PyObject* name = PyUnicode_FromString(columns[k].name().c_str());
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
  }
  return names.release();
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

PyObject* invalid_text_error = nullptr;  // tagmire.InvalidTextError

// The policies by name, in the order the package offers them
// (ERROR_POLICIES, which the command line's --errors takes too).
constexpr std::pair<const char*, batch::ErrorPolicy> kPolicies[] = {
    {"strict", batch::ErrorPolicy::strict}, {"replace", batch::ErrorPolicy::replace}, {"null", batch::ErrorPolicy::null}};

// The policy named `value`.
bool read_errors(PyObject* value, batch::ErrorPolicy* out) {
  if (PyUnicode_Check(value)) {
    for (const auto& [name, policy] : kPolicies) {
      if (PyUnicode_CompareWithASCIIString(value, name) == 0) {
        *out = policy;
        return true;
      }
    }
  }
  PyErr_Format(PyExc_ValueError, "errors must be 'strict', 'replace' or 'null', not %R", value);
  return false;
}

// Raises InvalidTextError for `invalid`, which names the row and where in it.
void raise_invalid(const batch::InvalidRow& invalid, const std::vector<TextRow>& rows) {
  PyRef message;
  if (invalid.surrogate) {
    const TextRow& row = rows[invalid.row];
    const std::uint32_t unit = row.width == 2 ? static_cast<const std::uint16_t*>(row.data)[invalid.at]
                                              : static_cast<const std::uint32_t*>(row.data)[invalid.at];
    // The code point is written here: PyUnicode_FromFormat has no %X
    // before 3.12, and 3.11 would print the directive itself.
    char code_point[16];
    std::snprintf(code_point, sizeof code_point, "U+%04X", static_cast<unsigned>(unit));
    message = PyRef(PyUnicode_FromFormat("texts[%zu]: character %zu is a lone surrogate (%s), which has no UTF-8 form",
                                         invalid.row, invalid.at, code_point));
  } else {
    message = PyRef(PyUnicode_FromFormat("texts[%zu]: not UTF-8 at byte %zu", invalid.row, invalid.at));
  }
  if (!message) return;
  PyRef error(PyObject_CallOneArg(invalid_text_error, message.get()));
  if (!error) return;
  PyRef row(PyLong_FromSize_t(invalid.row));
  PyRef position(PyLong_FromSize_t(invalid.at));
  PyRef unit(PyUnicode_FromString(invalid.surrogate ? "character" : "byte"));
  if (!row || !position || !unit || PyObject_SetAttrString(error.get(), "row", row.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "position", position.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "unit", unit.get()) < 0) {
    return;
  }
  PyErr_SetObject(invalid_text_error, error.get());
}

// Parses `rows` and returns the chunk list. `rows` point into objects the
// caller keeps alive and that nobody can change: str objects, or Arrow
// buffers held through Py_buffer views.
PyObject* run_batch(const std::vector<TextRow>& rows, const parser::PreparedConfig& config, std::size_t threads,
                    batch::ErrorPolicy errors) {
  BatchOutcome outcome;
  {
    ReleasedGil released;
    outcome = batch::parse_rows(rows, config, threads, errors);
  }
  if (outcome.invalid_row) {
    raise_invalid(*outcome.invalid_row, rows);
    return nullptr;
  }
  return chunk_list(outcome.chunks);
}

// --- parse_texts(texts, config, threads, errors) ------------------------------

PyObject* parse_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (!check_arity("parse_texts", nargs, 4)) return nullptr;
    if (!PyList_Check(args[0]) && !PyTuple_Check(args[0])) {
      PyErr_Format(PyExc_TypeError, "texts must be a list or tuple, not '%.200s'", Py_TYPE(args[0])->tp_name);
      return nullptr;
    }
    const auto config = config_argument(args[1]);
    std::size_t threads = 0;
    batch::ErrorPolicy errors = batch::ErrorPolicy::strict;
    if (!config || !read_threads(args[2], &threads) || !read_errors(args[3], &errors)) return nullptr;
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
      row.width = PyUnicode_IS_ASCII(item) ? text::kUtf8Width : static_cast<std::uint8_t>(PyUnicode_KIND(item));
    }
    return run_batch(rows, *config, threads, errors);
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
    if (!check_arity("parse_arrow", nargs, 4)) return nullptr;
    const auto config = config_argument(args[1]);
    std::size_t threads = 0;
    batch::ErrorPolicy errors = batch::ErrorPolicy::strict;
    if (!config || !read_threads(args[2], &threads) || !read_errors(args[3], &errors)) return nullptr;
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
      if (!batch::append_arrow_rows(strings, rows)) {
        PyErr_Format(PyExc_ValueError, "string array %zd: offsets out of order or outside its data", i);
        return nullptr;
      }
    }
    return run_batch(rows, *config, threads, errors);
  });
}

PyMethodDef batch_methods[] = {
    {"parse_texts", as_method(parse_texts), METH_FASTCALL,
     "parse_texts(texts, config, threads, errors, /)\n--\n\n"
     "Parse a list or tuple of str or None; returns each output chunk as a tuple of its columns."},
    {"parse_arrow", as_method(parse_arrow), METH_FASTCALL,
     "parse_arrow(arrays, config, threads, errors, /)\n--\n\n"
     "Parse Arrow string arrays given as (length, offset, validity, offsets, data, large_offsets) tuples; "
     "returns each output chunk as a tuple of its columns."},
    {"output_schema", as_method(output_schema), METH_NOARGS,
     "output_schema()\n--\n\nThe output's columns, names and types, as a struct with no rows."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_batch_functions(PyObject* module) noexcept {
  if (invalid_text_error == nullptr) {
    invalid_text_error = PyErr_NewExceptionWithDoc(
        "tagmire.InvalidTextError",
        "A text that cannot be parsed: a str holding a lone surrogate, bytes that are not UTF-8. `row` is its "
        "index in the batch, `position` where in it the trouble begins, counted in `unit`s (\"character\" or "
        "\"byte\").",
        PyExc_UnicodeError, nullptr);
    if (invalid_text_error == nullptr) return false;
  }
  PyRef policies(PyTuple_New(std::size(kPolicies)));
  if (!policies) return false;
  for (std::size_t i = 0; i < std::size(kPolicies); ++i) {
    PyObject* name = PyUnicode_FromString(kPolicies[i].first);
    if (name == nullptr) return false;
    PyTuple_SET_ITEM(policies.get(), static_cast<Py_ssize_t>(i), name);
  }
  PyRef columns(guarded(output_column_names));
  return columns && PyModule_AddObjectRef(module, "InvalidTextError", invalid_text_error) == 0 &&
         PyModule_AddObjectRef(module, "ERROR_POLICIES", policies.get()) == 0 &&
         PyModule_AddObjectRef(module, "OUTPUT_COLUMNS", columns.get()) == 0 &&
         PyModule_AddFunctions(module, batch_methods) == 0;
}

}  // namespace package
