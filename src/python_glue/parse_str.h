// One parse of a str, in the str's own form: its text written into a new
// str of its narrowest form and its records handed to the caller, which
// makes the result object; or, when the walk met a lone surrogate, the
// interpreter's encoding error. Shared by the module's parse and the
// package's.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "parser/parse.h"
#include "python_glue/py_ref.h"
#include "python_glue/str_text.h"

namespace python_glue {

// `make(text, input, parts)` builds the result from the text (a str), the
// input and the records' parts (valid during the call; their annotations
// are read in the input); null with an exception set.
template <class Make>
PyObject* parse_str(const StrView& input, const parser::PreparedConfig& config, Make&& make) {
  OutputStr out;
  if (!out.allocate(input)) return nullptr;
  const auto in_form = [&]<class Form>(Form) -> PyObject* {
    auto buffer = out.buffer<typename Form::Unit>();
    return parser::parse_with(input.as<Form>(), config, buffer, [&](const types::ParseRecords::Parts& parts) -> PyObject* {
      if (buffer.surrogate) {
        refuse_surrogates(input.str);
        return nullptr;
      }
      PyRef text(out.finish(buffer.size, buffer.unit_bits));
      if (!text) return nullptr;
      return make(text.get(), input, parts);
    });
  };
  switch (input.kind) {
    case PyUnicode_1BYTE_KIND: return in_form(text::Latin1{});
    case PyUnicode_2BYTE_KIND: return in_form(text::Ucs2{});
    default: return in_form(text::Ucs4{});
  }
}

}  // namespace python_glue
