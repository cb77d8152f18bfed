#include "package/config_functions.h"

#include <algorithm>
#include <string>
#include <vector>

#include "module/parser_config_type.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/py_text.h"
#include "python_glue/released_gil.h"

namespace package {

using python_glue::PyRef;

namespace {

template <class Enum, std::size_t N>
PyObject* keyword_tuple(const std::array<Enum, N>& variants) {
  PyRef tuple(PyTuple_New(static_cast<Py_ssize_t>(N)));
  if (!tuple) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* word = PyUnicode_FromString(types::keyword(variants[i]));
    if (word == nullptr) return nullptr;
    PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), word);
  }
  return tuple.release();
}

bool set_item(PyObject* dict, const char* key, PyObject* owned) {
  PyRef value(owned);
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* flag(bool value) { return Py_NewRef(value ? Py_True : Py_False); }

// config_fields(config, /): the fields of a ParserConfig as plain values:
// recognized_tags (a sorted list), recovery_strategies (a list of (tag,
// strategy) pairs in the order they were last set, which decides between
// names that fold together), unknown_mode, the four switches, and the
// three rules of the package's reading.
PyObject* config_fields(PyObject*, PyObject* value) noexcept {
  return python_glue::guarded([&]() -> PyObject* {
    if (!PyObject_TypeCheck(value, module::parser_config_type())) {
      PyErr_Format(PyExc_TypeError, "config_fields() takes a ParserConfig, not '%.200s'", Py_TYPE(value)->tp_name);
      return nullptr;
    }
    module::SharedConfigAccess access(value);
    if (!access.acquired()) return nullptr;
    const types::ParserConfig& config = access.config();
    std::vector<std::string> tags(config.recognized_tags.begin(), config.recognized_tags.end());
    std::sort(tags.begin(), tags.end());
    PyRef tag_list(PyList_New(static_cast<Py_ssize_t>(tags.size())));
    if (!tag_list) return nullptr;
    for (std::size_t i = 0; i < tags.size(); ++i) {
      PyObject* tag = python_glue::make_str(tags[i]);
      if (tag == nullptr) return nullptr;
      PyList_SET_ITEM(tag_list.get(), static_cast<Py_ssize_t>(i), tag);
    }
    const auto entries = config.recovery_strategies.entries();
    PyRef pairs(PyList_New(static_cast<Py_ssize_t>(entries.size())));
    if (!pairs) return nullptr;
    for (std::size_t i = 0; i < entries.size(); ++i) {
      PyRef tag(python_glue::make_str(entries[i].first));
      if (!tag) return nullptr;
      PyObject* pair = Py_BuildValue("(Os)", tag.get(), types::keyword(entries[i].second));
      if (pair == nullptr) return nullptr;
      PyList_SET_ITEM(pairs.get(), static_cast<Py_ssize_t>(i), pair);
    }
    PyRef fields(PyDict_New());
    PyObject* d = fields.get();
    const bool done = fields && set_item(d, "recognized_tags", tag_list.release()) &&
                      set_item(d, "recovery_strategies", pairs.release()) &&
                      set_item(d, "unknown_mode", PyUnicode_FromString(types::keyword(config.unknown_mode))) &&
                      set_item(d, "autoclose_on_any_tag", flag(config.autoclose_on_any_tag)) &&
                      set_item(d, "autoclose_on_same_tag", flag(config.autoclose_on_same_tag)) &&
                      set_item(d, "trim_punctuation", flag(config.trim_punctuation)) &&
                      set_item(d, "case_sensitive_tags", flag(config.case_sensitive_tags)) &&
                      set_item(d, "provisional_autoclose", flag(config.provisional_autoclose)) &&
                      set_item(d, "retro_line_split", flag(config.retro_line_split)) &&
                      set_item(d, "token_clusters", flag(config.token_clusters));
    return done ? fields.release() : nullptr;
  });
}

// blank_parser_config(provisional_autoclose, retro_line_split,
// token_clusters): a ParserConfig that recognises nothing and holds no
// strategies, with the presets' switches and the package's reading rules
// as given: where a configuration is built field by field through the
// setters, nothing of a preset is left over in it. The module has no
// setters for the reading rules: its own ParserConfigs keep them off.
PyObject* blank_parser_config(PyObject*, PyObject* args) noexcept {
  return python_glue::guarded([&]() -> PyObject* {
    types::ParserConfig config;
    int provisional_autoclose = 0;
    int retro_line_split = 0;
    int token_clusters = 0;
    if (!PyArg_ParseTuple(args, "ppp:blank_parser_config", &provisional_autoclose, &retro_line_split,
                          &token_clusters)) {
      return nullptr;
    }
    config.provisional_autoclose = provisional_autoclose != 0;
    config.retro_line_split = retro_line_split != 0;
    config.token_clusters = token_clusters != 0;
    return module::new_parser_config(std::move(config));
  });
}

PyMethodDef config_methods[] = {
    {"config_fields", python_glue::as_method(config_fields), METH_O,
     "config_fields(config, /)\n--\n\nThe fields of a ParserConfig as plain values."},
    {"blank_parser_config", python_glue::as_method(blank_parser_config), METH_VARARGS,
     "blank_parser_config(provisional_autoclose, retro_line_split, token_clusters, /)\n--\n\n"
     "A ParserConfig that recognises nothing and holds no strategies, with the package's reading rules as given."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::shared_ptr<const parser::PreparedConfig> config_argument(PyObject* value) {
  if (!PyObject_TypeCheck(value, module::parser_config_type())) {
    PyErr_Format(PyExc_TypeError, "config must be a ParserConfig, not '%.200s'", Py_TYPE(value)->tp_name);
    return nullptr;
  }
  return module::prepared_config(value);
}

bool add_config_functions(PyObject* module) noexcept {
  PyRef strategies(keyword_tuple(types::kRecoveryStrategies));
  PyRef modes(keyword_tuple(types::kUnknownTagModes));
  return strategies && modes && PyModule_AddObjectRef(module, "RECOVERY_STRATEGIES", strategies.get()) == 0 &&
         PyModule_AddObjectRef(module, "UNKNOWN_MODES", modes.get()) == 0 &&
         PyModule_AddFunctions(module, config_methods) == 0;
}

}  // namespace package
