// Character classes of Tagmire text and the ASCII folding of names. Every
// test here looks at whole characters, so a cut made next to one always falls
// on a UTF-8 character boundary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "parser/unicode_tables.h"
#include "parser/utf8.h"

namespace parser {

inline bool is_ascii_letter(char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }

// Tag names and attribute keys are made of these: ASCII letters and digits,
// `-`, `.`, `:` and `_`. Nothing non-ASCII.
inline bool is_name_char(char c) {
  return is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' ||
         c == '_';
}

// Byte length of the White_Space character that begins at `pos`, or 0.
inline std::size_t white_space_len_at(std::string_view text, std::size_t pos) {
  const auto b = static_cast<unsigned char>(text[pos]);
  if (b < 0x80) return (b == ' ' || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
  const utf8::Decoded d = utf8::decode_at(text, pos);
  return unicode::is_white_space(d.cp) ? d.len : 0;
}

// Byte length of the White_Space character that ends at `pos`, or 0.
inline std::size_t white_space_len_before(std::string_view text, std::size_t pos) {
  const auto b = static_cast<unsigned char>(text[pos - 1]);
  if (b < 0x80) return (b == ' ' || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
  const utf8::Decoded d = utf8::decode_before(text, pos);
  return unicode::is_white_space(d.cp) ? d.len : 0;
}

// First position in [pos, end) that does not begin a white-space character,
// or `end`.
inline std::size_t skip_white_space(std::string_view text, std::size_t pos, std::size_t end) {
  while (pos < end) {
    const std::size_t len = white_space_len_at(text, pos);
    if (len == 0) break;
    pos += len;
  }
  return pos < end ? pos : end;
}

// Last position in (begin, end] before which no white-space character ends,
// or `begin`.
inline std::size_t skip_white_space_back(std::string_view text, std::size_t end,
                                         std::size_t begin) {
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

// ASCII folding: `A`-`Z` become `a`-`z`; every other byte stays.
inline std::string fold_ascii(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
  }
  return folded;
}

}  // namespace parser
