#include "module/parser_config_type.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "python_glue/argument_binding.h"
#include "python_glue/critical_section.h"
#include "python_glue/heap_types.h"
#include "python_glue/py_errors.h"
#include "python_glue/py_ref.h"
#include "python_glue/py_text.h"
#include "python_glue/released_gil.h"
#include "text/classes.h"

namespace module {

using namespace python_glue;
namespace {

ConfigState& state_of(PyObject* self) noexcept { return reinterpret_cast<PyParserConfig*>(self)->record; }

// Exclusive access for a setter, inside the object's critical section. With
// the section held, the only way to meet a busy object is Python code, run
// by a setter while it converts its arguments, that lets another call in:
// a call back into the same object, or another thread while this one waits.
class ExclusiveConfigAccess {
 public:
  explicit ExclusiveConfigAccess(PyObject* self) noexcept : section_(self), state_(&state_of(self)) {
    if (state_->access != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      state_ = nullptr;
      return;
    }
    state_->access = ConfigState::kExclusive;
    // The record may change: what parses prepared from it is stale.
    state_->prepared.reset();
  }
  ~ExclusiveConfigAccess() {
    if (state_ != nullptr) state_->access = 0;
  }
  ExclusiveConfigAccess(const ExclusiveConfigAccess&) = delete;
  ExclusiveConfigAccess& operator=(const ExclusiveConfigAccess&) = delete;

  bool acquired() const noexcept { return state_ != nullptr; }
  types::ParserConfig& config() const noexcept { return state_->config; }

 private:
  CriticalSection section_;
  ConfigState* state_;
};

// --- argument conversion ---

// The variant `named` finds for `argument` after ASCII folding; otherwise
// ValueError "{what} '{folded argument}'".
template <class Named>
auto match_keyword(std::string_view argument, Named named, const char* what) {
  const std::string folded = text::fold_ascii(argument);
  const auto variant = named(folded);
  if (!variant) {
    const std::string message = std::string(what) + " '" + folded + "'";
    if (PyRef text{make_str(message)}) PyErr_SetObject(PyExc_ValueError, text.get());
  }
  return variant;
}

// NumPy's bool scalar is not a subclass of bool, yet arrays of flags hand
// them out everywhere; NumPy 2 renamed the type from bool_ to bool.
int is_numpy_bool(PyTypeObject* type) noexcept {
  PyRef module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  if (!PyUnicode_Check(module.get()) || PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) return 0;
  PyRef qualname(PyType_GetQualName(type));
  if (!qualname) return -1;
  return PyUnicode_CompareWithASCIIString(qualname.get(), "bool_") == 0 ||
         PyUnicode_CompareWithASCIIString(qualname.get(), "bool") == 0;
}

bool extract_flag(PyObject* value, bool* out) noexcept {
  if (PyBool_Check(value)) {
    *out = value == Py_True;
    return true;
  }
  const int numpy_bool = is_numpy_bool(Py_TYPE(value));
  if (numpy_bool < 0) {
    // Looking up the type's module can run a metaclass's Python code.
    prefix_argument_error("val");
    return false;
  }
  if (numpy_bool == 0) {
    raise_conversion_error("val", value, "PyBool");
    return false;
  }
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) {
    prefix_argument_error("val");
    return false;
  }
  *out = truth != 0;
  return true;
}

bool add_tag(PyObject* item, std::unordered_set<std::string>& tags) {
  std::string_view name;
  if (!extract_text(item, "tags", &name)) return false;
  tags.emplace(name);
  return true;
}

// Collects the str items of the sequence `value`, in sequence order, into a
// new set. For anything but an exact list or tuple this runs Python code
// (__len__, __getitem__, __iter__), which is why the access state exists.
bool extract_tag_set(PyObject* value, std::unordered_set<std::string>& tags) {
  if (PyUnicode_Check(value)) {
    // A str is a sequence of str; taking it letter by letter is never meant.
    raise_argument_error("tags", "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(value)) {
    raise_conversion_error("tags", value, "Sequence");
    return false;
  }
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) {
    // Reading str items runs no Python code, so the list cannot change here
    // on an ordinary build; on a free-threaded one its lock keeps other
    // threads from changing it (and freeing its items) meanwhile.
    CriticalSection section(value);
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
    PyObject** items = PySequence_Fast_ITEMS(value);
    tags.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (!add_tag(items[i], tags)) return false;
    }
    return true;
  }
  const Py_ssize_t length = PySequence_Size(value);
  if (length < 0) {
    prefix_argument_error("tags");
    return false;
  }
  // The length is only a hint and may be anything a __len__ returns.
  tags.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(length, 4096)));
  PyRef iterator(PyObject_GetIter(value));
  if (!iterator) {
    prefix_argument_error("tags");
    return false;
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!add_tag(item.get(), tags)) return false;
  }
  if (PyErr_Occurred()) {
    prefix_argument_error("tags");
    return false;
  }
  return true;
}

// --- construction ---

PyObject* parser_config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&]() -> PyObject* {
    const Py_ssize_t given = PyTuple_GET_SIZE(args);
    if (given > 0) {
      PyErr_Format(PyExc_TypeError, "ParserConfig() takes 0 positional arguments but %zd %s given", given,
                   given == 1 ? "was" : "were");
      return nullptr;
    }
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
      Py_ssize_t position = 0;
      PyObject* keyword = nullptr;
      PyObject* unused = nullptr;
      PyDict_Next(kwargs, &position, &keyword, &unused);
      PyErr_Format(PyExc_TypeError, "ParserConfig() got an unexpected keyword argument '%S'", keyword);
      return nullptr;
    }
    return adopt_record<PyParserConfig>(type, ConfigState{types::ParserConfig::default_llm_friendly_config(), 0, nullptr});
  });
}

// The class methods ignore the class or instance they are called on.
PyObject* default_llm_friendly_config(PyObject*, PyObject*) noexcept {
  return guarded([] { return new_parser_config(types::ParserConfig::default_llm_friendly_config()); });
}

PyObject* default_cite_config(PyObject*, PyObject*) noexcept {
  return guarded([] { return new_parser_config(types::ParserConfig::default_cite_config()); });
}

// --- setters ---
// Each binds its arguments, takes exclusive access, converts and checks
// everything, and only then writes, so a failure leaves the record as it was.

constexpr const char* kTagsParameter[] = {"tags"};
constexpr const char* kModeParameter[] = {"mode"};
constexpr const char* kTagStrategyParameters[] = {"tag", "strategy"};
constexpr const char* kValParameter[] = {"val"};

constexpr Signature kSetRecognizedTags{"ParserConfig.set_recognized_tags", kTagsParameter, 1};
constexpr Signature kSetUnknownMode{"ParserConfig.set_unknown_mode", kModeParameter, 1};
constexpr Signature kSetRecoveryStrategy{"ParserConfig.set_recovery_strategy", kTagStrategyParameters, 2};
constexpr Signature kSetTrimPunctuation{"ParserConfig.set_trim_punctuation", kValParameter, 1};
constexpr Signature kSetAutocloseOnAnyTag{"ParserConfig.set_autoclose_on_any_tag", kValParameter, 1};
constexpr Signature kSetAutocloseOnSameTag{"ParserConfig.set_autoclose_on_same_tag", kValParameter, 1};
constexpr Signature kSetCaseSensitiveTags{"ParserConfig.set_case_sensitive_tags", kValParameter, 1};

PyObject* set_recognized_tags(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* tags_argument = nullptr;
    if (!bind_arguments(kSetRecognizedTags, args, nargs, kwnames, &tags_argument)) return nullptr;
    ExclusiveConfigAccess access(self);
    if (!access.acquired()) return nullptr;
    std::unordered_set<std::string> tags;
    if (!extract_tag_set(tags_argument, tags)) return nullptr;
    access.config().recognized_tags = std::move(tags);
    Py_RETURN_NONE;
  });
}

PyObject* set_unknown_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* mode_argument = nullptr;
    if (!bind_arguments(kSetUnknownMode, args, nargs, kwnames, &mode_argument)) return nullptr;
    ExclusiveConfigAccess access(self);
    if (!access.acquired()) return nullptr;
    std::string_view mode_text;
    if (!extract_text(mode_argument, "mode", &mode_text)) return nullptr;
    const auto mode = match_keyword(mode_text, types::unknown_mode_named, "unknown mode");
    if (!mode) return nullptr;
    access.config().unknown_mode = *mode;
    Py_RETURN_NONE;
  });
}

PyObject* set_recovery_strategy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2] = {};
    if (!bind_arguments(kSetRecoveryStrategy, args, nargs, kwnames, bound)) return nullptr;
    ExclusiveConfigAccess access(self);
    if (!access.acquired()) return nullptr;
    std::string_view tag;
    if (!extract_text(bound[0], "tag", &tag)) return nullptr;
    std::string_view strategy_text;
    if (!extract_text(bound[1], "strategy", &strategy_text)) return nullptr;
    const auto strategy = match_keyword(strategy_text, types::recovery_strategy_named, "unknown recovery strategy");
    if (!strategy) return nullptr;
    // Stored verbatim: folding happens per parse, when case_sensitive_tags
    // says so. The entry becomes the last, so it wins over names set
    // earlier that fold to the same key.
    access.config().recovery_strategies.set(tag, *strategy);
    Py_RETURN_NONE;
  });
}

PyObject* set_flag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   const Signature& signature, bool types::ParserConfig::*field) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* val = nullptr;
    if (!bind_arguments(signature, args, nargs, kwnames, &val)) return nullptr;
    ExclusiveConfigAccess access(self);
    if (!access.acquired()) return nullptr;
    bool flag = false;
    if (!extract_flag(val, &flag)) return nullptr;
    access.config().*field = flag;
    Py_RETURN_NONE;
  });
}

PyObject* set_trim_punctuation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return set_flag(self, args, nargs, kwnames, kSetTrimPunctuation, &types::ParserConfig::trim_punctuation);
}

PyObject* set_autoclose_on_any_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) noexcept {
  return set_flag(self, args, nargs, kwnames, kSetAutocloseOnAnyTag, &types::ParserConfig::autoclose_on_any_tag);
}

PyObject* set_autoclose_on_same_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) noexcept {
  return set_flag(self, args, nargs, kwnames, kSetAutocloseOnSameTag, &types::ParserConfig::autoclose_on_same_tag);
}

PyObject* set_case_sensitive_tags(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) noexcept {
  return set_flag(self, args, nargs, kwnames, kSetCaseSensitiveTags, &types::ParserConfig::case_sensitive_tags);
}

constexpr int kSetterFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef parser_config_methods[] = {
    {"default_llm_friendly_config", as_method(default_llm_friendly_config), METH_CLASS | METH_NOARGS,
     "default_llm_friendly_config($cls)\n--\n\n"},
    {"default_cite_config", as_method(default_cite_config), METH_CLASS | METH_NOARGS,
     "default_cite_config($cls)\n--\n\n"},
    {"set_recognized_tags", as_method(set_recognized_tags), kSetterFlags,
     "set_recognized_tags($self, tags)\n--\n\nReplace the recognized tag set."},
    {"set_unknown_mode", as_method(set_unknown_mode), kSetterFlags,
     "set_unknown_mode($self, mode)\n--\n\n"
     "Set the unknown tag handling mode: \"strip\", \"passthrough\", or \"treat_as_text\"."},
    {"set_recovery_strategy", as_method(set_recovery_strategy), kSetterFlags,
     "set_recovery_strategy($self, tag, strategy)\n--\n\n"
     "Set recovery strategy for a specific tag: \"retro_line\", \"forward_until_tag\", "
     "\"forward_until_newline\", \"forward_next_token\", or \"noop\"."},
    {"set_trim_punctuation", as_method(set_trim_punctuation), kSetterFlags,
     "set_trim_punctuation($self, val)\n--\n\nToggle punctuation trimming for retro spans."},
    {"set_autoclose_on_any_tag", as_method(set_autoclose_on_any_tag), kSetterFlags,
     "set_autoclose_on_any_tag($self, val)\n--\n\nToggle auto-close behavior when encountering any new tag."},
    {"set_autoclose_on_same_tag", as_method(set_autoclose_on_same_tag), kSetterFlags,
     "set_autoclose_on_same_tag($self, val)\n--\n\nToggle auto-close behavior when seeing the same tag again."},
    {"set_case_sensitive_tags", as_method(set_case_sensitive_tags), kSetterFlags,
     "set_case_sensitive_tags($self, val)\n--\n\nToggle case-sensitive tag matching."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_config_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_record<PyParserConfig>)},
    {Py_tp_new, reinterpret_cast<void*>(parser_config_new)},
    {Py_tp_methods, parser_config_methods},
    {Py_tp_doc, const_cast<char*>("ParserConfig()\n--\n\nParserConfig() -> mutable parser configuration.")},
    {0, nullptr},
};

PyType_Spec parser_config_spec = {
    "builtins.ParserConfig", sizeof(PyParserConfig), 0, Py_TPFLAGS_DEFAULT, parser_config_slots,
};

}  // namespace

bool create_parser_config_type(ModuleState& state) noexcept {
  state.parser_config = create_builtin_type(&parser_config_spec);
  return state.parser_config != nullptr;
}

PyTypeObject* parser_config_type() noexcept { return TheModuleState::get().parser_config; }

PyObject* new_parser_config(types::ParserConfig&& config) noexcept {
  return adopt_record<PyParserConfig>(parser_config_type(), ConfigState{std::move(config), 0, nullptr});
}

SharedConfigAccess::SharedConfigAccess(PyObject* config) noexcept : section_(config), state_(&state_of(config)) {
  if (state_->access == ConfigState::kExclusive) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    state_ = nullptr;
    return;
  }
  ++state_->access;
}

SharedConfigAccess::~SharedConfigAccess() {
  if (state_ != nullptr) --state_->access;
}

std::shared_ptr<const parser::PreparedConfig> prepared_config(PyObject* config) {
  // No Python code runs while the section is held here, so the count of
  // readers is left alone: the parse that follows reads its own snapshot,
  // in parallel with other threads' parses of the same object.
  CriticalSection section(config);
  ConfigState& state = state_of(config);
  if (state.access == ConfigState::kExclusive) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  if (!state.prepared) state.prepared = std::make_shared<const parser::PreparedConfig>(state.config);
  return state.prepared;
}

}  // namespace module
