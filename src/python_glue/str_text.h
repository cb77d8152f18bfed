// A `str` read in its own form, and the `str` a parse writes its text into.
//
// CPython keeps a str as one, two or four bytes per character. The parser
// reads the input in that form in place and writes its text into a new str
// of the same width, so no text is ever encoded to UTF-8 and decoded back.
// The text is then made as narrow as its characters allow: a str must be in
// its narrowest form, or it would compare and hash unequal to other strs
// holding the same characters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "parser/output_buffer.h"
#include "python_glue/py_ref.h"
#include "text/encoding.h"

namespace python_glue {

// The characters of a str, in place.
struct StrView {
  PyObject* str = nullptr;  // borrowed
  int kind = PyUnicode_1BYTE_KIND;
  const void* data = nullptr;
  std::size_t length = 0;
  bool ascii = true;

  template <class Form>
  text::TextView<Form> as() const {
    return {static_cast<const typename Form::Unit*>(data), length};
  }
};

// The characters of `str` (a str object). A str holding a lone surrogate has
// no UTF-8 form and is refused, as encoding it would be: false, with the
// interpreter's own UnicodeEncodeError set. With `check_surrogates` false
// that is left to parse_str, whose walk looks at every unit anyway and
// refuses the str once it has seen one; a caller that refuses a later
// argument before the parse hands its error to input_error_first, so that
// the encoding error still comes first.
bool read_str(PyObject* str, StrView* view, bool check_surrogates = true) noexcept;

// Whether the str holds a lone surrogate.
bool has_surrogate(const StrView& view) noexcept;

// Refuses `str`, which holds a lone surrogate, as encoding it would: sets
// the interpreter's own UnicodeEncodeError.
void refuse_surrogates(PyObject* str) noexcept;

// Called when an argument after the input `view` (read without the
// surrogate check) was refused, its error set: a lone surrogate in the
// input is reported instead, as if the input had been checked first.
// Returns null.
PyObject* input_error_first(const StrView& view) noexcept;

// Room for a parse to write the text of `like` into (as wide as `like`);
// then `finish` makes it the final text.
//
// A small text is written into the thread's buffer, which stays in the
// first-level cache, and then copied into a str of its exact size and
// narrowest form: cheaper than shrinking a block. A larger one is written
// straight into a str as long as the input and shrunk in place, so that it
// never exists twice: a second copy through a buffer cost up to a quarter
// of a parse of several megabytes, and a buffer past the C library's
// largest reused block was fresh pages on every call.
class OutputStr {
 public:
  // False with MemoryError set.
  bool allocate(const StrView& like) noexcept;

  template <class Unit>
  parser::OutputBuffer<Unit> buffer() noexcept {
    parser::OutputBuffer<Unit> out;
    out.data = static_cast<Unit*>(data_);
    out.capacity = capacity_;
    // Only a text narrower than its input needs its units looked at: an
    // ASCII input's text is ASCII.
    out.wide_from = kind_ == PyUnicode_1BYTE_KIND ? (ascii_ ? 0 : 0x80) : kind_ == PyUnicode_2BYTE_KIND ? 0x100 : 0x10000;
    return out;
  }

  // The text of `size` characters whose units ORed together give
  // `unit_bits`, in its narrowest form. A new reference, or null with an
  // exception set.
  PyObject* finish(std::size_t size, std::uint32_t unit_bits) noexcept;

 private:
  PyRef str_;  // when writing straight into a str
  void* data_ = nullptr;
  int kind_ = PyUnicode_1BYTE_KIND;
  bool ascii_ = true;
  std::size_t capacity_ = 0;
};

}  // namespace python_glue
