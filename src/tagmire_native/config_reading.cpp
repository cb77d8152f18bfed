#include "tagmire_native/config_reading.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// The object layout of _tagmire_rs.ParserConfig comes from its own header:
// the two modules are built together from one source tree, by one compiler,
// against one types::ParserConfig, which is what makes reading the other
// module's objects sound. The import still checks the type's size against
// this layout, and every use checks the exact type first.
#include "python_bindings/parser_config_type.h"
#include "python_bindings/py_ref.h"

namespace tagmire_native {

namespace {

using python_bindings::PyRef;

PyObject* parser_config_type = nullptr;  // _tagmire_rs.ParserConfig

// The UTF-8 form of the str `value`; TypeError naming `what` otherwise.
bool utf8_text(PyObject* value, const char* what, std::string_view* out) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a str, not '%.200s'", what, Py_TYPE(value)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(value, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

template <class Enum>
bool keyword_value(PyObject* value, std::initializer_list<Enum> variants, const char* what, Enum* out) {
  std::string_view text;
  if (!utf8_text(value, what, &text)) return false;
  for (Enum variant : variants) {
    if (text == types::keyword(variant)) {
      *out = variant;
      return true;
    }
  }
  PyErr_Format(PyExc_ValueError, "unknown %s '%U'", what, value);
  return false;
}

bool flag_value(PyObject* value, const char* what, bool* out) {
  if (!PyBool_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be a bool, not '%.200s'", what, Py_TYPE(value)->tp_name);
    return false;
  }
  *out = value == Py_True;
  return true;
}

// The plain values of tagmire.Config, in its field order: recognized_tags
// (tuple of str), recovery_strategies (tuple of (tag, strategy) pairs),
// unknown_mode, then the four flags.
bool config_from_values(PyObject* values, types::ParserConfig* out) {
  if (!PyTuple_CheckExact(values) || PyTuple_GET_SIZE(values) != 7) {
    PyErr_SetString(PyExc_TypeError, "config values must be a tuple of 7 items");
    return false;
  }
  PyObject* tags = PyTuple_GET_ITEM(values, 0);
  PyObject* strategies = PyTuple_GET_ITEM(values, 1);
  if (!PyTuple_CheckExact(tags) || !PyTuple_CheckExact(strategies)) {
    PyErr_SetString(PyExc_TypeError, "recognized_tags and recovery_strategies must be tuples");
    return false;
  }
  types::ParserConfig config;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tags); ++i) {
    std::string_view tag;
    if (!utf8_text(PyTuple_GET_ITEM(tags, i), "a recognized tag", &tag)) return false;
    config.recognized_tags.emplace(tag);
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(strategies); ++i) {
    PyObject* pair = PyTuple_GET_ITEM(strategies, i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "recovery_strategies must hold (tag, strategy) pairs");
      return false;
    }
    std::string_view tag;
    auto strategy = types::RecoveryStrategy::retro_line;
    using enum types::RecoveryStrategy;
    if (!utf8_text(PyTuple_GET_ITEM(pair, 0), "a recovery strategy's tag", &tag) ||
        !keyword_value(PyTuple_GET_ITEM(pair, 1),
                       {retro_line, forward_until_tag, forward_until_newline, forward_next_token, noop},
                       "recovery strategy", &strategy)) {
      return false;
    }
    config.recovery_strategies.insert_or_assign(std::string(tag), strategy);
  }
  using enum types::UnknownTagMode;
  return keyword_value(PyTuple_GET_ITEM(values, 2), {strip, passthrough, treat_as_text}, "unknown mode",
                       &config.unknown_mode) &&
         flag_value(PyTuple_GET_ITEM(values, 3), "autoclose_on_any_tag", &config.autoclose_on_any_tag) &&
         flag_value(PyTuple_GET_ITEM(values, 4), "autoclose_on_same_tag", &config.autoclose_on_same_tag) &&
         flag_value(PyTuple_GET_ITEM(values, 5), "trim_punctuation", &config.trim_punctuation) &&
         flag_value(PyTuple_GET_ITEM(values, 6), "case_sensitive_tags", &config.case_sensitive_tags) &&
         (*out = std::move(config), true);
}

}  // namespace

// None (the default preset), a _tagmire_rs.ParserConfig (its record,
// copied under the lock), or the plain values of a tagmire.Config.
bool read_config(PyObject* value, types::ParserConfig* out) {
  if (value == Py_None) {
    *out = types::ParserConfig::default_llm_friendly_config();
    return true;
  }
  if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == parser_config_type) {
    const auto& state = reinterpret_cast<const python_bindings::PyParserConfig*>(value)->record;
    if (state.access == python_bindings::ConfigState::kExclusive) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      return false;
    }
    *out = state.config;
    return true;
  }
  if (PyTuple_CheckExact(value)) return config_from_values(value, out);
  PyErr_Format(PyExc_TypeError, "config must be None, a tagmire.Config or a ParserConfig, not '%.200s'",
               Py_TYPE(value)->tp_name);
  return false;
}


namespace {

// The ParserConfig type of _tagmire_rs, checked against the layout its header declares.
PyObject* find_parser_config_type() {
  PyRef module(PyImport_ImportModule("_tagmire_rs"));
  if (!module) return nullptr;
  PyRef type(PyObject_GetAttrString(module.get(), "ParserConfig"));
  if (!type) return nullptr;
  if (!PyType_Check(type.get()) ||
      reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize !=
          static_cast<Py_ssize_t>(sizeof(python_bindings::PyParserConfig))) {
    PyErr_SetString(PyExc_ImportError, "_tagmire_rs.ParserConfig does not have the layout tagmire._native was built for");
    return nullptr;
  }
  return type.release();
}

}  // namespace

bool load_parser_config_type() {
  if (parser_config_type == nullptr) parser_config_type = find_parser_config_type();
  return parser_config_type != nullptr;
}

}  // namespace tagmire_native
