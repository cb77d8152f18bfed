#include "python_bindings/utf8_input.h"

#include <cstddef>
#include <cstdint>

namespace python_bindings {

namespace {

// Writes the UTF-8 form of `units` to `out` and returns the end, or null at
// the first lone surrogate (which has no UTF-8 form).
template <class Unit>
char* encode(const Unit* units, std::size_t length, char* out) noexcept {
  for (std::size_t i = 0; i < length; ++i) {
    // Model answers are mostly ASCII: copy runs of it four units at a time.
    while (i + 4 <= length && (units[i] | units[i + 1] | units[i + 2] | units[i + 3]) < 0x80) {
      out[0] = static_cast<char>(units[i]);
      out[1] = static_cast<char>(units[i + 1]);
      out[2] = static_cast<char>(units[i + 2]);
      out[3] = static_cast<char>(units[i + 3]);
      out += 4;
      i += 4;
    }
    if (i == length) break;
    const std::uint32_t cp = units[i];
    if (cp < 0x80) {
      *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out++ = static_cast<char>(0xC0 | (cp >> 6));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      if (cp >= 0xD800 && cp <= 0xDFFF) return nullptr;
      *out++ = static_cast<char>(0xE0 | (cp >> 12));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out++ = static_cast<char>(0xF0 | (cp >> 18));
      *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// The interpreter's own UTF-8 copy of `str`, when it already made one.
const char* cached_utf8(PyObject* str, Py_ssize_t* size) noexcept {
#if PY_VERSION_HEX < 0x030E0000
  const auto* compact = reinterpret_cast<const PyCompactUnicodeObject*>(str);
  if (PyUnicode_IS_COMPACT(str) && compact->utf8 != nullptr) {
    *size = compact->utf8_length;
    return compact->utf8;
  }
#else
  (void)str;
  (void)size;
#endif
  return nullptr;
}

}  // namespace

bool Utf8Input::load(PyObject* str) {
#if PY_VERSION_HEX < 0x030C0000
  // A string made through the legacy API is not in its compact form yet.
  if (PyUnicode_READY(str) < 0) return false;
#endif
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  if (PyUnicode_IS_ASCII(str)) {
    view_ = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)), length);
    return true;
  }
  Py_ssize_t size = 0;
  if (const char* utf8 = cached_utf8(str, &size)) {
    view_ = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
  }
  const int kind = PyUnicode_KIND(str);
  const void* data = PyUnicode_DATA(str);
  // Room for the longest form: each code unit of a kind-k string takes at
  // most k + 1 bytes (and never more than 4).
  buffer_.reset(new char[length * (kind == PyUnicode_4BYTE_KIND ? 4 : kind + 1) + 1]);
  char* end = nullptr;
  if (kind == PyUnicode_1BYTE_KIND) {
    end = encode(static_cast<const Py_UCS1*>(data), length, buffer_.get());
  } else if (kind == PyUnicode_2BYTE_KIND) {
    end = encode(static_cast<const Py_UCS2*>(data), length, buffer_.get());
  } else {
    end = encode(static_cast<const Py_UCS4*>(data), length, buffer_.get());
  }
  if (end == nullptr) {
    // Let the interpreter raise its own UnicodeEncodeError, unchanged.
    buffer_.reset();
    if (PyUnicode_AsUTF8AndSize(str, &size) == nullptr) return false;
    PyErr_SetString(PyExc_SystemError, "a string with a lone surrogate encoded to UTF-8");
    return false;
  }
  view_ = std::string_view(buffer_.get(), static_cast<std::size_t>(end - buffer_.get()));
  return true;
}

}  // namespace python_bindings
