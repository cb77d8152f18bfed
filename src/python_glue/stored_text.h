// Strings kept by a parse's records, read into Python: a stored string
// keeps the code units of the text it was read from (bytes of UTF-8, or
// the one, two or four bytes a character of the str that was parsed).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <type_traits>

#include "text/encoding.h"
#include "types/annotation_store.h"

namespace python_glue {

// A new str holding `text`.
template <class Unit>
PyObject* make_str_from(types::StoredText<Unit> text) noexcept {
  if constexpr (sizeof(Unit) == 1 && !std::is_same_v<Unit, std::uint8_t>) {
    return PyUnicode_DecodeUTF8(text.data, static_cast<Py_ssize_t>(text.size), "strict");
  } else {
    constexpr int kind = sizeof(Unit) == 1 ? PyUnicode_1BYTE_KIND
                         : sizeof(Unit) == 2 ? PyUnicode_2BYTE_KIND
                                             : PyUnicode_4BYTE_KIND;
    return PyUnicode_FromKindAndData(kind, text.data, static_cast<Py_ssize_t>(text.size));
  }
}

// Calls `body` with the reader of the annotation stored at `ref` of
// `bytes`, whose strings are in `form`: a str kind, or text::kUtf8Width.
template <class Body>
auto with_annotation(const char* bytes, types::AnnotationRef ref, int form, Body&& body) {
  switch (form) {
    case text::kUtf8Width: return body(types::AnnotationReader<char>(bytes, ref));
    case PyUnicode_1BYTE_KIND: return body(types::AnnotationReader<Py_UCS1>(bytes, ref));
    case PyUnicode_2BYTE_KIND: return body(types::AnnotationReader<Py_UCS2>(bytes, ref));
    default: return body(types::AnnotationReader<Py_UCS4>(bytes, ref));
  }
}

// Bytes of the UTF-8 form of characters [start, end) of the str `str`.
std::size_t utf8_length(PyObject* str, std::size_t start, std::size_t end) noexcept;

}  // namespace python_glue
