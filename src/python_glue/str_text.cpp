#include "python_glue/str_text.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "text/text_runs.h"

namespace python_glue {

namespace {

// Texts up to this many bytes go through the per-thread buffer.
constexpr std::size_t kThreadBufferBytes = std::size_t{64} << 10;
// Strs from this many bytes up are the C library's fresh pages every time.
constexpr std::size_t kFreshPagesBytes = std::size_t{32} << 20;

struct ThreadBuffer {
  std::unique_ptr<std::byte[]> data;
  std::size_t size = 0;
};

// The calling thread's buffer, with room for at least `bytes`.
void* thread_buffer(std::size_t bytes) noexcept {
  thread_local ThreadBuffer buffer;
  if (buffer.size < bytes) {
    const std::size_t size = bytes < 4096 ? 4096 : bytes;
    buffer.data.reset(new (std::nothrow) std::byte[size]);
    buffer.size = buffer.data ? size : 0;
  }
  return buffer.data.get();
}

// Asks for huge pages under a str's characters before they are first
// written, when the str is larger than the C library ever keeps for reuse
// (glibc maps blocks past 32 MB afresh each time; smaller ones it reuses,
// warm): such a str otherwise faults in a page and is zeroed every 4 KB,
// and the 4-byte form of a 16 MB answer (64 MB) took seven times as long
// as at 4 MB. Advice only, on the whole pages inside the characters.
void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes <= kFreshPagesBytes) return;
  constexpr std::uintptr_t kPage = 4096;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kPage - 1) & ~(kPage - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kPage - 1);
  if (begin < end) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
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
  if constexpr (sizeof(From) == sizeof(To)) {
    std::memcpy(to, from, length * sizeof(To));
  } else {
    const auto* source = static_cast<const From*>(from);
    auto* target = static_cast<To*>(to);
    for (std::size_t i = 0; i < length; ++i) target[i] = static_cast<To>(source[i]);
  }
}

// A new str of `size` characters of `narrowest` from units of `kind`.
PyObject* copy_narrowed(const void* from, int kind, std::size_t size, Py_UCS4 narrowest) noexcept {
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(size), narrowest);
  if (str == nullptr) return nullptr;
  void* to = PyUnicode_DATA(str);
  const int to_kind = PyUnicode_KIND(str);
  prefer_huge_pages(to, size * static_cast<std::size_t>(to_kind));
  if (kind == PyUnicode_1BYTE_KIND) {
    narrow_into<Py_UCS1, Py_UCS1>(from, to, size);
  } else if (kind == PyUnicode_2BYTE_KIND) {
    if (to_kind == PyUnicode_2BYTE_KIND) {
      narrow_into<Py_UCS2, Py_UCS2>(from, to, size);
    } else {
      narrow_into<Py_UCS2, Py_UCS1>(from, to, size);
    }
  } else if (to_kind == PyUnicode_4BYTE_KIND) {
    narrow_into<Py_UCS4, Py_UCS4>(from, to, size);
  } else if (to_kind == PyUnicode_2BYTE_KIND) {
    narrow_into<Py_UCS4, Py_UCS2>(from, to, size);
  } else {
    narrow_into<Py_UCS4, Py_UCS1>(from, to, size);
  }
  return str;
}

Py_UCS4 narrowest_for(std::uint32_t unit_bits) noexcept {
  return unit_bits < 0x80 ? 0x7F : unit_bits < 0x100 ? 0xFF : unit_bits < 0x10000 ? 0xFFFF : 0x10FFFF;
}

}  // namespace

bool read_str(PyObject* str, StrView* view, bool check_surrogates) noexcept {
#if PY_VERSION_HEX < 0x030C0000
  // A string made through the legacy API is not in its compact form yet.
  if (PyUnicode_READY(str) < 0) return false;
#endif
  view->str = str;
  view->kind = PyUnicode_KIND(str);
  view->data = PyUnicode_DATA(str);
  view->length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  view->ascii = PyUnicode_IS_ASCII(str);
  if (!check_surrogates || !has_surrogate(*view)) return true;
  refuse_surrogates(str);
  return false;
}

bool has_surrogate(const StrView& view) noexcept {
  if (view.kind == PyUnicode_2BYTE_KIND) return text::has_surrogate(static_cast<const Py_UCS2*>(view.data), view.length);
  if (view.kind == PyUnicode_4BYTE_KIND) return text::has_surrogate(static_cast<const Py_UCS4*>(view.data), view.length);
  return false;
}

void refuse_surrogates(PyObject* str) noexcept {
  // Let the interpreter raise its own UnicodeEncodeError, unchanged.
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(str, &size) == nullptr) return;
  PyErr_SetString(PyExc_SystemError, "a string with a lone surrogate encoded to UTF-8");
}

PyObject* input_error_first(const StrView& view) noexcept {
  if (has_surrogate(view)) {
    PyErr_Clear();
    refuse_surrogates(view.str);
  }
  return nullptr;
}

bool OutputStr::allocate(const StrView& like) noexcept {
  capacity_ = like.length;
  kind_ = like.kind;
  ascii_ = like.ascii;
  const std::size_t bytes = like.length * static_cast<std::size_t>(like.kind);
  if (bytes <= kThreadBufferBytes) {
    data_ = thread_buffer(bytes);
    if (data_ != nullptr) return true;
  }
  str_ = PyRef(PyUnicode_New(static_cast<Py_ssize_t>(like.length), widest(like)));
  if (!str_) return false;
  data_ = PyUnicode_DATA(str_.get());
  prefer_huge_pages(data_, bytes);
  return true;
}

PyObject* OutputStr::finish(std::size_t size, std::uint32_t unit_bits) noexcept {
  // An input as wide as its form left the bits that reached its width set.
  const Py_UCS4 narrowest = narrowest_for(unit_bits);
  if (!str_) return copy_narrowed(data_, kind_, size, narrowest);
  const bool same_form = kind_ == (narrowest <= 0xFF ? PyUnicode_1BYTE_KIND
                                   : narrowest <= 0xFFFF ? PyUnicode_2BYTE_KIND
                                                         : PyUnicode_4BYTE_KIND) &&
                         (kind_ != PyUnicode_1BYTE_KIND || ascii_ == (narrowest == 0x7F));
  if (!same_form) return copy_narrowed(data_, kind_, size, narrowest);
  if (size == capacity_) return str_.release();
  PyObject* str = str_.release();
  // On failure the str is left as it was, and still ours to release.
  if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(size)) < 0) {
    Py_XDECREF(str);
    return nullptr;
  }
  return str;
}

}  // namespace python_glue
