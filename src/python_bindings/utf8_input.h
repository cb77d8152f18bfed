// The UTF-8 form of the text handed to parse. ASCII strings, and strings
// whose UTF-8 form the interpreter already caches, are read in place; any
// other string is encoded into a buffer that lives only for the call, so
// parsing a string does not leave a UTF-8 copy of it attached to the caller's
// object for the rest of its life.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>
#include <string_view>

namespace python_bindings {

class Utf8Input {
 public:
  // False with an exception set: the interpreter's UnicodeEncodeError for a
  // string holding a lone surrogate. Throws std::bad_alloc.
  bool load(PyObject* str);
  std::string_view view() const noexcept { return view_; }

 private:
  std::unique_ptr<char[]> buffer_;
  std::string_view view_;
};

}  // namespace python_bindings
