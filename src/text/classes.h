// Character classes of Tagmire text and the ASCII folding of names. Every
// test here looks at whole characters, so a cut made next to one always falls
// on a character boundary, in every form of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/encoding.h"
#include "text/unicode_tables.h"

namespace text {

inline constexpr bool is_ascii_letter(char32_t c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Tag names and attribute keys are made of these: ASCII letters and digits,
// `-`, `.`, `:` and `_`. Nothing non-ASCII.
inline constexpr bool is_name_char(char32_t c) {
  return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c == '_';
}

// A code unit that is a name character on its own (a unit of any form:
// name characters are ASCII, so a unit of a multi-unit character never is).
template <class Unit>
constexpr bool is_name_unit(Unit u) {
  return code_of(u) < 0x80 && is_name_char(code_of(u));
}

inline constexpr bool is_ascii_white_space(char32_t c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// A unit that a blank line may hold: any ASCII white space but the line
// feed that ends the line.
template <class Unit>
constexpr bool is_line_blank_unit(Unit u) {
  return code_of(u) != '\n' && is_ascii_white_space(code_of(u));
}

// Units of the White_Space character that begins at `pos`, or 0.
template <class Form>
std::size_t white_space_len_at(const TextView<Form>& text, std::size_t pos) {
  const std::uint32_t u = code_of(text[pos]);
  if (u < 0x80) return is_ascii_white_space(u) ? 1 : 0;
  const Decoded d = text.decode_at(pos);
  return unicode::is_white_space(d.cp) ? d.len : 0;
}

// Units of the White_Space character that ends at `pos`, or 0.
template <class Form>
std::size_t white_space_len_before(const TextView<Form>& text, std::size_t pos) {
  const std::uint32_t u = code_of(text[pos - 1]);
  if (u < 0x80) return is_ascii_white_space(u) ? 1 : 0;
  const Decoded d = text.decode_before(pos);
  return unicode::is_white_space(d.cp) ? d.len : 0;
}

// First position in [pos, end) that does not begin a white-space character,
// or `end`.
template <class Form>
std::size_t skip_white_space(const TextView<Form>& text, std::size_t pos, std::size_t end) {
  while (pos < end) {
    const std::size_t len = white_space_len_at(text, pos);
    if (len == 0) break;
    pos += len;
  }
  return pos < end ? pos : end;
}

// Last position in (begin, end] before which no white-space character ends,
// or `begin`.
template <class Form>
std::size_t skip_white_space_back(const TextView<Form>& text, std::size_t end, std::size_t begin) {
  while (end > begin) {
    const std::size_t len = white_space_len_before(text, end);
    if (len == 0) break;
    end = len <= end - begin ? end - len : begin;
  }
  return end;
}

// Characters that trimming removes from the ends of recovered spans: white
// space and eight ASCII punctuation marks. Quotes, brackets and dashes stay.
inline bool is_trimmable(char32_t cp) {
  switch (cp) {
    case '!': case '(': case ')': case ',': case '.': case ':': case ';': case '?':
      return true;
    default:
      return unicode::is_white_space(cp);
  }
}

// ASCII folding: `A`-`Z` become `a`-`z`; every other unit stays.
template <class Unit>
constexpr Unit fold_unit(Unit u) {
  return (u >= U<Unit>('A') && u <= U<Unit>('Z')) ? static_cast<Unit>(u + 0x20) : u;
}

inline std::string fold_ascii(std::string_view s) {
  std::string folded(s);
  for (char& c : folded) c = fold_unit(c);
  return folded;
}

}  // namespace text
