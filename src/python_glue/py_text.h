// Text crossing the boundary: Python str objects made from UTF-8 at their
// exact size, and the UTF-8 form of a str read in place.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstring>
#include <string_view>

#include "python_glue/py_errors.h"

namespace python_glue {

inline bool is_ascii(std::string_view text) noexcept {
  // One OR over every byte, no early exit: the compiler turns this into a
  // vector loop, which beats a branch per byte on the mostly-ASCII texts
  // the parser hands out.
  unsigned char bits = 0;
  for (char c : text) bits |= static_cast<unsigned char>(c);
  return bits < 0x80;
}

// A new str holding `text` (valid UTF-8), or null with an exception set.
inline PyObject* make_str(std::string_view text) noexcept {
  const auto size = static_cast<Py_ssize_t>(text.size());
  if (!is_ascii(text)) return PyUnicode_DecodeUTF8(text.data(), size, "strict");
  PyObject* str = PyUnicode_New(size, 127);
  if (str != nullptr && size > 0) std::memcpy(PyUnicode_DATA(str), text.data(), text.size());
  return str;
}

// The UTF-8 form of the str `str`, cached by the interpreter inside the str
// and valid while it lives. False with the interpreter's UnicodeEncodeError
// pending when the str holds a lone surrogate.
inline bool utf8_view(PyObject* str, std::string_view* out) noexcept {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  *out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// The UTF-8 form of argument `param`, which must be a str (subclasses
// included); otherwise TypeError "argument '{param}': '{type}' object cannot
// be converted to 'PyString'".
inline bool extract_text(PyObject* value, const char* param, std::string_view* out) noexcept {
  if (!PyUnicode_Check(value)) {
    raise_conversion_error(param, value, "PyString");
    return false;
  }
  return utf8_view(value, out);
}

}  // namespace python_glue
