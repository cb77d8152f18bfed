// Encoding the one-unit forms (one, two or four bytes a character, as CPython
// keeps a str) to UTF-8. ASCII runs go sixteen units at a time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "text/ascii_blocks.h"
#include "text/encoding.h"

namespace text {

// Bytes enough for the UTF-8 form of `length` units `width` bytes wide.
inline std::size_t utf8_room(std::size_t length, std::size_t width) {
  return length * std::min<std::size_t>(width + 1, 4);
}

namespace detail {

// Writes the UTF-8 form of one character that is not ASCII and returns the
// end; null for a lone surrogate unless `replace_surrogates` (U+FFFD).
inline char* encode_wide_char(std::uint32_t cp, char* out, bool replace_surrogates) {
  if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      if (!replace_surrogates) return nullptr;
      cp = 0xFFFD;
    }
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

}  // namespace detail

// Writes the UTF-8 form of `units` to `out`, which has `utf8_room` bytes,
// and returns its end; null at the first lone surrogate, which has none,
// unless `replace_surrogates`, which writes U+FFFD for it. ASCII goes a
// block at a time up to the first other character of the block, and a run
// of other characters one at a time, so a mostly ASCII answer with a dash
// or an emoji here and there stays on the block path.
template <class Unit>
char* encode_utf8(const Unit* units, std::size_t length, char* out, bool replace_surrogates = false) {
  std::size_t i = 0;
  while (i < length) {
    if (i + kAsciiBlock <= length) {
      // The room holds the block's 16 bytes: every unit before it took at
      // least one byte of its share and every one from it on has one left.
      const std::size_t ascii = narrow_ascii_prefix(units + i, out);
      out += ascii;
      i += ascii;
      if (ascii == kAsciiBlock) continue;
    } else if (units[i] < 0x80) {
      *out++ = static_cast<char>(units[i++]);
      continue;
    }
    do {
      out = detail::encode_wide_char(units[i], out, replace_surrogates);
      if (out == nullptr) return nullptr;
      ++i;
    } while (i < length && units[i] >= 0x80);
  }
  return out;
}

// The same for units `width` bytes wide (1, 2 or 4) given untyped.
inline char* encode_utf8(const void* units, std::size_t width, std::size_t length, char* out,
                         bool replace_surrogates = false) {
  switch (width) {
    case 1: return encode_utf8(static_cast<const std::uint8_t*>(units), length, out);
    case 2: return encode_utf8(static_cast<const std::uint16_t*>(units), length, out, replace_surrogates);
    default: return encode_utf8(static_cast<const std::uint32_t*>(units), length, out, replace_surrogates);
  }
}

// The UTF-8 form of `length` units `width` bytes wide, where kUtf8Width
// means bytes that are UTF-8 already: those in place, others encoded into
// `scratch`, which only grows. False at a lone surrogate.
inline bool utf8_of(const void* units, std::size_t width, std::size_t length, std::string& scratch,
                    std::string_view* out, bool replace_surrogates = false) {
  if (width == kUtf8Width) {
    *out = std::string_view(static_cast<const char*>(units), length);
    return true;
  }
  const std::size_t room = utf8_room(length, width);
  if (scratch.size() < room) scratch.resize(room);
  const char* end = encode_utf8(units, width, length, scratch.data(), replace_surrogates);
  if (end == nullptr) return false;
  *out = std::string_view(scratch.data(), static_cast<std::size_t>(end - scratch.data()));
  return true;
}

// A string holding the UTF-8 form of `length` units of any form (bytes of
// UTF-8 are copied as they are).
template <class Unit>
std::string utf8_string(const Unit* units, std::size_t length) {
  if constexpr (sizeof(Unit) == 1 && !std::is_same_v<Unit, std::uint8_t>) {
    return std::string(units, length);
  } else {
    std::string out(utf8_room(length, sizeof(Unit)), '\0');
    // A stored string never holds a lone surrogate: strs with one are refused.
    const char* end = encode_utf8(units, length, out.data());
    out.resize(end == nullptr ? 0 : static_cast<std::size_t>(end - out.data()));
    return out;
  }
}

}  // namespace text
