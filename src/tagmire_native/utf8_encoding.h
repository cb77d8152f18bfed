// Encoding a str's code units (one, two or four bytes each) to UTF-8, for
// the parts of tagmire._native that read str objects without asking the
// interpreter for their UTF-8 form, which it would keep attached to them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "text/ascii_blocks.h"

namespace tagmire_native {

// Writes the UTF-8 form of `units` to `out`, which has room for the longest
// form, and returns its end; null at the first lone surrogate, which has
// none.
template <class Unit>
inline char* encode_utf8(const Unit* units, std::size_t length, char* out) {
  for (std::size_t i = 0; i < length; ++i) {
    while (i + text::kAsciiBlock <= length && text::narrow_ascii_block(units + i, out)) {
      out += text::kAsciiBlock;
      i += text::kAsciiBlock;
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

// Bytes enough for the UTF-8 form of `length` code units `width` bytes wide.
inline std::size_t utf8_room(std::size_t length, std::size_t width) {
  return length * std::min<std::size_t>(width + 1, 4);
}

}  // namespace tagmire_native
