#include "package/parse_function.h"

#include "package/config_functions.h"
#include "package/records.h"
#include "python_glue/parse_str.h"
#include "python_glue/py_errors.h"
#include "python_glue/released_gil.h"
#include "python_glue/str_text.h"

namespace package {

namespace {

PyObject* parse(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return python_glue::guarded([&]() -> PyObject* {
    if (nargs != 2) {
      PyErr_Format(PyExc_TypeError, "parse() takes exactly 2 positional arguments (%zd given)", nargs);
      return nullptr;
    }
    if (!PyUnicode_Check(args[0])) {
      PyErr_Format(PyExc_TypeError, "text must be a str, not '%.200s'", Py_TYPE(args[0])->tp_name);
      return nullptr;
    }
    python_glue::StrView input;
    // Lone surrogates are found by the parse's own walk (parse_str).
    if (!python_glue::read_str(args[0], &input, false)) return nullptr;
    const auto config = config_argument(args[1]);
    if (!config) return python_glue::input_error_first(input);
    return python_glue::parse_str(input, *config, parsed_text_of_parse);
  });
}

PyMethodDef methods[] = {
    {"parse", python_glue::as_method(parse), METH_FASTCALL,
     "parse(text, config, /)\n--\n\nParse one text; returns a tagmire.ParsedText."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool add_parse_function(PyObject* module) noexcept { return PyModule_AddFunctions(module, methods) == 0; }

}  // namespace package
