#include "package/batch_functions.h"

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <initializer_list>
#include <optional>
#include <stdexcept>
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

// The output's forms by name, in the order the package offers them
// (OUTPUT_FORMS).
constexpr std::pair<const char*, batch::OutputForm> kForms[] = {{"segments", batch::OutputForm::segments},
                                                                  {"spans", batch::OutputForm::spans}};

// The columns of an output of `form`, without rows.
std::vector<batch::ArrowField> empty_columns(batch::OutputForm form) {
  OutputChunk chunk;
  chunk.form = form;
  return batch::output_columns(std::move(chunk));
}

bool read_form(PyObject* value, batch::OutputForm* out);

// output_schema(form): the output's columns, as one ArrowExport of a
// struct with no rows, whose __arrow_c_schema__ pyarrow reads as the
// table's schema.
PyObject* output_schema(PyObject*, PyObject* form) noexcept {
  return guarded([&]() -> PyObject* {
    batch::OutputForm read = batch::OutputForm::segments;
    if (!read_form(form, &read)) return nullptr;
    return new_arrow_export(batch::ArrowField::structure("", 0, empty_columns(read)));
  });
}

// Each form's column names, in order: what the package needs of the
// schema where pyarrow may be missing.
PyObject* output_column_names() {
  PyRef forms(PyDict_New());
  if (!forms) return nullptr;
  for (const auto& [form_name, form] : kForms) {
    const std::vector<batch::ArrowField> columns = empty_columns(form);
    PyRef names(PyTuple_New(static_cast<Py_ssize_t>(columns.size())));
    if (!names) return nullptr;
    for (std::size_t k = 0; k < columns.size(); ++k) {
      PyObject* name = PyUnicode_FromString(columns[k].name().c_str());
      if (name == nullptr) return nullptr;
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(k), name);
    }
    if (PyDict_SetItemString(forms.get(), form_name, names.get()) < 0) return nullptr;
  }
  return forms.release();
}

// A tuple of the names of `table`'s entries.
template <class Entry, std::size_t kCount>
PyObject* names_of(const Entry (&table)[kCount]) {
  PyRef names(PyTuple_New(static_cast<Py_ssize_t>(kCount)));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < kCount; ++i) {
    PyObject* name = PyUnicode_FromString(table[i].first);
    if (name == nullptr) return nullptr;
    PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
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

// The entry of `table` named `value`; false where none is.
template <class Value, std::size_t kCount>
bool read_name(PyObject* value, const std::pair<const char*, Value> (&table)[kCount], Value* out) {
  if (PyUnicode_Check(value)) {
    for (const auto& [name, entry] : table) {
      if (PyUnicode_CompareWithASCIIString(value, name) == 0) {
        *out = entry;
        return true;
      }
    }
  }
  return false;
}

bool read_errors(PyObject* value, batch::ErrorPolicy* out) {
  if (read_name(value, kPolicies, out)) return true;
  PyErr_Format(PyExc_ValueError, "errors must be 'strict', 'replace' or 'null', not %R", value);
  return false;
}

bool read_form(PyObject* value, batch::OutputForm* out) {
  if (read_name(value, kForms, out)) return true;
  PyErr_Format(PyExc_ValueError, "form must be 'segments' or 'spans', not %R", value);
  return false;
}

// The output bytes a row may take per byte of its text: 0 for no bound.
bool read_ratio(PyObject* value, std::size_t* out) {
  const Py_ssize_t ratio = PyLong_Check(value) && !PyBool_Check(value) ? PyLong_AsSsize_t(value) : -1;
  if (ratio == -1 && PyErr_Occurred()) return false;
  if (ratio < 0) {
    PyErr_SetString(PyExc_ValueError, "max_output_ratio must be a positive int, or 0 for no bound");
    return false;
  }
  *out = static_cast<std::size_t>(ratio);
  return true;
}

// The options that follow the config and threads: (errors, form, max_output_ratio).
bool read_options(PyObject* const* args, batch::BatchOptions* out) {
  return read_errors(args[0], &out->errors) && read_form(args[1], &out->form) &&
         read_ratio(args[2], &out->max_output_ratio);
}

PyObject* output_too_large_error = nullptr;  // tagmire.OutputTooLargeError

// Sets each of `attributes` on `error`; false where one could not be made.
bool set_attributes(PyObject* error, std::initializer_list<std::pair<const char*, PyRef>> attributes) {
  for (const auto& [name, value] : attributes) {
    if (!value || PyObject_SetAttrString(error, name, value.get()) < 0) return false;
  }
  return true;
}

// Raises OutputTooLargeError for the row `invalid` names.
void raise_too_large(const batch::InvalidRow& invalid, std::size_t ratio) {
  PyRef error(PyObject_CallFunction(output_too_large_error, "N",
                                    PyUnicode_FromFormat("texts[%zu]: its output would take about %zu bytes, past "
                                                         "its bound of %zu (max_output_ratio=%zu)",
                                                         invalid.row, invalid.at, invalid.limit, ratio)));
  if (!error || !set_attributes(error.get(), {{"row", PyRef(PyLong_FromSize_t(invalid.row))},
                                              {"position", PyRef(Py_NewRef(Py_None))},
                                              {"unit", PyRef(Py_NewRef(Py_None))},
                                              {"output_bytes", PyRef(PyLong_FromSize_t(invalid.at))},
                                              {"limit", PyRef(PyLong_FromSize_t(invalid.limit))}})) {
    return;
  }
  PyErr_SetObject(output_too_large_error, error.get());
}

// Raises InvalidTextError for `invalid`, which names the row and where in it.
void raise_invalid(const batch::InvalidRow& invalid, const std::vector<TextRow>& rows) {
  PyRef message;
  const bool surrogate = invalid.fault == batch::RowFault::lone_surrogate;
  if (surrogate) {
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
  if (!error || !set_attributes(error.get(), {{"row", PyRef(PyLong_FromSize_t(invalid.row))},
                                              {"position", PyRef(PyLong_FromSize_t(invalid.at))},
                                              {"unit", PyRef(PyUnicode_FromString(surrogate ? "character" : "byte"))}})) {
    return;
  }
  PyErr_SetObject(invalid_text_error, error.get());
}

// Parses `rows` and returns the chunk list. `rows` point into objects the
// caller keeps alive and that nobody can change: str objects, or Arrow
// buffers held through Py_buffer views.
PyObject* run_batch(const std::vector<TextRow>& rows, const parser::PreparedConfig& config, std::size_t threads,
                    const batch::BatchOptions& options) {
  BatchOutcome outcome;
  std::optional<std::length_error> past_map_offsets;
  {
    ReleasedGil released;
    try {
      outcome = batch::parse_rows(rows, config, threads, options);
    } catch (const std::length_error& error) {
      past_map_offsets = error;
    }
  }
  if (past_map_offsets) {
    PyErr_SetString(PyExc_OverflowError, past_map_offsets->what());
    return nullptr;
  }
  if (outcome.invalid_row) {
    if (outcome.invalid_row->fault == batch::RowFault::too_large) {
      raise_too_large(*outcome.invalid_row, options.max_output_ratio);
    } else {
      raise_invalid(*outcome.invalid_row, rows);
    }
    return nullptr;
  }
  return chunk_list(outcome.chunks);
}

// --- parse_texts(texts, config, threads, errors, form, max_output_ratio) -------

PyObject* parse_texts(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded([&]() -> PyObject* {
    if (!check_arity("parse_texts", nargs, 6)) return nullptr;
    if (!PyList_Check(args[0]) && !PyTuple_Check(args[0])) {
      PyErr_Format(PyExc_TypeError, "texts must be a list or tuple, not '%.200s'", Py_TYPE(args[0])->tp_name);
      return nullptr;
    }
    const auto config = config_argument(args[1]);
    std::size_t threads = 0;
    batch::BatchOptions options;
    if (!config || !read_threads(args[2], &threads) || !read_options(args + 3, &options)) return nullptr;
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
    return run_batch(rows, *config, threads, options);
  });
}

// --- parse_arrow(arrays, config, threads, errors, form, max_output_ratio) -----

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
    if (!check_arity("parse_arrow", nargs, 6)) return nullptr;
    const auto config = config_argument(args[1]);
    std::size_t threads = 0;
    batch::BatchOptions options;
    if (!config || !read_threads(args[2], &threads) || !read_options(args + 3, &options)) return nullptr;
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
    return run_batch(rows, *config, threads, options);
  });
}

PyMethodDef batch_methods[] = {
    {"parse_texts", as_method(parse_texts), METH_FASTCALL,
     "parse_texts(texts, config, threads, errors, form, max_output_ratio, /)\n--\n\n"
     "Parse a list or tuple of str or None; returns each output chunk as a tuple of its columns."},
    {"parse_arrow", as_method(parse_arrow), METH_FASTCALL,
     "parse_arrow(arrays, config, threads, errors, form, max_output_ratio, /)\n--\n\n"
     "Parse Arrow string arrays given as (length, offset, validity, offsets, data, large_offsets) tuples; "
     "returns each output chunk as a tuple of its columns."},
    {"output_schema", as_method(output_schema), METH_O,
     "output_schema(form, /)\n--\n\nThe output's columns in `form`, names and types, as a struct with no rows."},
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
  if (output_too_large_error == nullptr) {
    output_too_large_error = PyErr_NewExceptionWithDoc(
        "tagmire.OutputTooLargeError",
        "A text whose parsed output would pass its bound, max_output_ratio bytes per byte of the text: "
        "`output_bytes` about what it would take, `limit` the bound; `position` and `unit` are None.",
        invalid_text_error, nullptr);
    if (output_too_large_error == nullptr) return false;
  }
  PyRef policies(names_of(kPolicies));
  PyRef forms(names_of(kForms));
  PyRef columns(guarded(output_column_names));
  return policies && forms && columns &&
         PyModule_AddObjectRef(module, "InvalidTextError", invalid_text_error) == 0 &&
         PyModule_AddObjectRef(module, "OutputTooLargeError", output_too_large_error) == 0 &&
         PyModule_AddObjectRef(module, "ERROR_POLICIES", policies.get()) == 0 &&
         PyModule_AddObjectRef(module, "OUTPUT_FORMS", forms.get()) == 0 &&
         PyModule_AddObjectRef(module, "OUTPUT_COLUMNS", columns.get()) == 0 &&
         PyModule_AddFunctions(module, batch_methods) == 0;
}

}  // namespace package
