#include "python_glue/stored_text.h"

#include "text/text_runs.h"

namespace python_glue {

std::size_t utf8_length(PyObject* str, std::size_t start, std::size_t end) noexcept {
  const void* data = PyUnicode_DATA(str);
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      if (PyUnicode_IS_ASCII(str)) return end - start;
      return text::utf8_length(static_cast<const Py_UCS1*>(data) + start, end - start);
    case PyUnicode_2BYTE_KIND:
      return text::utf8_length(static_cast<const Py_UCS2*>(data) + start, end - start);
    default:
      return text::utf8_length(static_cast<const Py_UCS4*>(data) + start, end - start);
  }
}

}  // namespace python_glue
