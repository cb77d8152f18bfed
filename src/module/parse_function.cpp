#include "module/parse_function.h"

#include "module/parser_config_type.h"
#include "module/result_types.h"
#include "parser/parse.h"
#include "python_glue/argument_binding.h"
#include "python_glue/parse_str.h"
#include "python_glue/py_errors.h"
#include "python_glue/str_text.h"

namespace module {

using namespace python_glue;
namespace {

// The keyword of the first parameter is `input`, although the advertised
// signature calls it text.
constexpr const char* kParseParameters[] = {"input", "config"};
constexpr Signature kParseSignature{"parse", kParseParameters, 1};

PyObject* py_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded([&]() -> PyObject* {
    PyObject* bound[2] = {};
    if (!bind_arguments(kParseSignature, args, nargs, kwnames, bound)) return nullptr;
    // The input is converted first, so with both arguments wrong its error wins.
    if (!PyUnicode_Check(bound[0])) {
      raise_conversion_error("input", bound[0], "PyString");
      return nullptr;
    }
    StrView input;
    // Lone surrogates are found by the parse's own walk (parse_str).
    if (!read_str(bound[0], &input, false)) return nullptr;
    PyObject* config = bound[1];
    // The default preset and its name tables are prepared once per process:
    // the parser only reads them, so sharing cannot be told from a fresh
    // preset per call, and it spares the most common call their build.
    if (config == nullptr || config == Py_None) return parse_str(input, parser::default_prepared_config(), make_parse_result);
    if (!PyObject_TypeCheck(config, parser_config_type())) {
      raise_conversion_error("config", config, "ParserConfig");
      return input_error_first(input);
    }
    // The object's own prepared record, kept until a setter runs, rather
    // than a copy: the parse holds it, so results never depend on later
    // edits, and other threads may edit the object or parse with it meanwhile.
    const auto prepared = prepared_config(config);
    if (!prepared) return input_error_first(input);
    return parse_str(input, *prepared, make_parse_result);
  });
}

}  // namespace

PyMethodDef parse_method = {
    "parse",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(py_parse)),
    METH_FASTCALL | METH_KEYWORDS,
    "parse(text, config=None)\n--\n\n"
    "Parse Tagmire text using the default config (case-insensitive tags, cite retro, others forward).",
};

}  // namespace module
