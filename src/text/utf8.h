// Decoding single UTF-8 characters forwards and backwards. Text from Python is
// always valid UTF-8; other callers may pass anything, so a malformed byte
// decodes as a one-byte character U+FFFD and nothing ever reads out of bounds.
#pragma once

#include <cstddef>
#include <cstdint>

namespace text::utf8 {

struct Decoded {
  char32_t cp;
  std::size_t len;  // 1 to 4 bytes
};

inline constexpr char32_t kReplacement = 0xFFFD;

inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The character that begins at `pos` (`pos < size`).
inline Decoded decode_at(const char* text, std::size_t size, std::size_t pos) {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x80) return {b0, 1};
  std::size_t len;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07;
  } else {
    return {kReplacement, 1};
  }
  if (size - pos < len) return {kReplacement, 1};
  for (std::size_t i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(text[pos + i]);
    if (!is_continuation(b)) return {kReplacement, 1};
    cp = (cp << 6) | (b & 0x3F);
  }
  // Overlong forms, surrogates and values past U+10FFFF are malformed.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return {kReplacement, 1};
  }
  return {cp, len};
}

// The character that ends at `pos` (`0 < pos <= size`): the longest
// well-formed sequence ending there, else the single byte before `pos`.
inline Decoded decode_before(const char* text, std::size_t size, std::size_t pos) {
  const auto last = static_cast<unsigned char>(text[pos - 1]);
  if (last < 0x80) return {last, 1};
  for (std::size_t len = 2; len <= 4 && len <= pos; ++len) {
    const auto lead = static_cast<unsigned char>(text[pos - len]);
    if (is_continuation(lead)) continue;
    const Decoded d = decode_at(text, size, pos - len);
    if (d.len == len) return d;
    break;
  }
  return {kReplacement, 1};
}

// Bytes of the UTF-8 form of `cp` (a scalar value or a surrogate).
inline constexpr std::size_t encoded_length(char32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Bytes of the UTF-8 form of `n` code points given as units of a one-unit
// form (Latin-1, UCS-2 or UCS-4, no surrogates). Branch-free, so the
// compiler vectorises it.
template <class Unit>
std::size_t encoded_length(const Unit* units, std::size_t n) {
  std::size_t extra = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t u = units[i];
    extra += static_cast<std::size_t>(u >= 0x80) + static_cast<std::size_t>(u >= 0x800) +
             static_cast<std::size_t>(u >= 0x10000);
  }
  return n + extra;
}

// Appends the UTF-8 form of `cp` (a scalar value) to `out`, any string-like
// container of char.
template <class Out>
void append_encoded(Out& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace text::utf8
