#include "python_bindings/str_text.h"

namespace python_bindings {

namespace {

// Whether any unit is a surrogate, in one pass that the compiler vectorises.
template <class Unit>
bool has_surrogate(const Unit* units, std::size_t length) noexcept {
  bool found = false;
  for (std::size_t i = 0; i < length; ++i) found |= static_cast<std::uint32_t>(units[i]) - 0xD800u < 0x800u;
  return found;
}

// The largest character a str of `kind` may hold, as PyUnicode_New takes it.
Py_UCS4 widest(const StrView& view) noexcept {
  switch (view.kind) {
    case PyUnicode_1BYTE_KIND: return view.ascii ? 0x7F : 0xFF;
    case PyUnicode_2BYTE_KIND: return 0xFFFF;
    default: return 0x10FFFF;
  }
}

// The units of `from` (kind `from_kind`) copied into `to` (a fresh str of a
// narrower kind and the same length); every unit fits.
template <class From, class To>
void narrow_into(const void* from, void* to, std::size_t length) noexcept {
  const auto* source = static_cast<const From*>(from);
  auto* target = static_cast<To*>(to);
  for (std::size_t i = 0; i < length; ++i) target[i] = static_cast<To>(source[i]);
}

}  // namespace

bool read_str(PyObject* str, StrView* view) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  // A string made through the legacy API is not in its compact form yet.
  if (PyUnicode_READY(str) < 0) return false;
#endif
  view->kind = PyUnicode_KIND(str);
  view->data = PyUnicode_DATA(str);
  view->length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  view->ascii = PyUnicode_IS_ASCII(str);
  bool surrogate = false;
  if (view->kind == PyUnicode_2BYTE_KIND) {
    surrogate = has_surrogate(static_cast<const Py_UCS2*>(view->data), view->length);
  } else if (view->kind == PyUnicode_4BYTE_KIND) {
    surrogate = has_surrogate(static_cast<const Py_UCS4*>(view->data), view->length);
  }
  if (!surrogate) return true;
  // Let the interpreter raise its own UnicodeEncodeError, unchanged.
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(str, &size) == nullptr) return false;
  PyErr_SetString(PyExc_SystemError, "a string with a lone surrogate encoded to UTF-8");
  return false;
}

bool OutputStr::allocate(const StrView& like) noexcept {
  capacity_ = like.length;
  // Pages the parse never writes are never touched, so room for the whole
  // input costs only what the text takes.
  str_ = PyRef(PyUnicode_New(static_cast<Py_ssize_t>(like.length), widest(like)));
  return static_cast<bool>(str_);
}

PyObject* OutputStr::finish(std::size_t size, std::uint32_t unit_bits) noexcept {
  const int kind = PyUnicode_KIND(str_.get());
  const Py_UCS4 narrowest = unit_bits < 0x80 ? 0x7F : unit_bits < 0x100 ? 0xFF : unit_bits < 0x10000 ? 0xFFFF : 0x10FFFF;
  const int narrow_kind = narrowest <= 0xFF ? PyUnicode_1BYTE_KIND
                          : narrowest <= 0xFFFF ? PyUnicode_2BYTE_KIND
                                                : PyUnicode_4BYTE_KIND;
  const bool ascii_matches = kind != PyUnicode_1BYTE_KIND || PyUnicode_IS_ASCII(str_.get()) == (narrowest == 0x7F);
  if (narrow_kind == kind && ascii_matches) {
    if (size == capacity_) return str_.release();
    PyObject* str = str_.release();
    // On failure the str is left as it was, and still ours to release.
    if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(size)) < 0) {
      Py_XDECREF(str);
      return nullptr;
    }
    return str;
  }
  PyRef narrow(PyUnicode_New(static_cast<Py_ssize_t>(size), narrowest));
  if (!narrow) return nullptr;
  const void* from = PyUnicode_DATA(str_.get());
  void* to = PyUnicode_DATA(narrow.get());
  if (kind == PyUnicode_1BYTE_KIND) {
    narrow_into<Py_UCS1, Py_UCS1>(from, to, size);  // Latin-1 text that turned out ASCII
  } else if (kind == PyUnicode_2BYTE_KIND) {
    narrow_into<Py_UCS2, Py_UCS1>(from, to, size);
  } else if (narrow_kind == PyUnicode_2BYTE_KIND) {
    narrow_into<Py_UCS4, Py_UCS2>(from, to, size);
  } else {
    narrow_into<Py_UCS4, Py_UCS1>(from, to, size);
  }
  return narrow.release();
}

}  // namespace python_bindings
