// The few Unicode character properties the parser needs, from tables generated
// out of the Unicode Character Database. ASCII is answered inline and never
// reaches the tables.
#pragma once

namespace text::unicode {

extern const char* const kUnicodeVersion;

bool in_white_space_table(char32_t cp);
bool in_alphanumeric_table(char32_t cp);
bool in_escaped_table(char32_t cp);
bool in_cluster_marks_table(char32_t cp);

// The White_Space property: U+0009..U+000D, U+0020, U+0085, U+00A0, ...
inline bool is_white_space(char32_t cp) {
  if (cp < 0x80) return cp == ' ' || (cp >= 0x09 && cp <= 0x0D);
  return in_white_space_table(cp);
}

// ASCII letters and digits, or a character that is Alphabetic or in one of
// the Number categories Nd, Nl, No. `_`, `-` and `'` are not.
inline bool is_alphanumeric(char32_t cp) {
  if (cp < 0x80) {
    return (cp >= '0' && cp <= '9') || ((cp | 0x20) >= 'a' && (cp | 0x20) <= 'z');
  }
  return in_alphanumeric_table(cp);
}

// The marks (general categories Mn, Mc, Me) and the zero-width non-joiner
// and joiner: characters that belong to the grapheme cluster of the letter
// before them, as a combining accent, a vowel sign or a virama does.
inline bool continues_cluster(char32_t cp) { return cp >= 0x300 && in_cluster_marks_table(cp); }

// True for characters the debug rendering writes as `\u{hex}`: general
// categories Cc, Cf, Cs, Co, Cn, Zl, Zp, Zs (except the space U+0020) and
// Grapheme_Extend.
inline bool needs_escape(char32_t cp) {
  if (cp < 0x80) return cp < 0x20 || cp == 0x7F;
  return in_escaped_table(cp);
}

}  // namespace text::unicode
