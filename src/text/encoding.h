// The four forms text reaches the parser in: UTF-8 from C++ callers, and the
// three forms CPython keeps a `str` in (one, two or four bytes per
// character). The parser is written once over a form's code units; positions
// count code units of the form it runs on, so bytes for UTF-8 and characters
// for the other three.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/utf8.h"

namespace text {

struct Decoded {
  char32_t cp;
  std::size_t len;  // code units
};

// A code unit's value: a byte of UTF-8 as 0..255, wider units as they are.
template <class Unit>
constexpr std::uint32_t code_of(Unit u) {
  if constexpr (sizeof(Unit) == 1) {
    return static_cast<unsigned char>(u);
  } else {
    return static_cast<std::uint32_t>(u);
  }
}

struct Utf8 {
  using Unit = char;
  static constexpr bool kOneUnitPerCharacter = false;
};

struct Latin1 {
  using Unit = std::uint8_t;
  static constexpr bool kOneUnitPerCharacter = true;
};

struct Ucs2 {
  using Unit = std::uint16_t;
  static constexpr bool kOneUnitPerCharacter = true;
};

struct Ucs4 {
  using Unit = std::uint32_t;
  static constexpr bool kOneUnitPerCharacter = true;
};

// Where the form is chosen at run time, it is named by the width of its
// code units in bytes, as CPython names a str's kinds (1, 2 or 4), and
// UTF-8, whose characters take one to four units, by this width.
inline constexpr std::uint8_t kUtf8Width = 0;

// Calls X(Form) for each of the four forms: the parser's templates are
// instantiated once per form, in their own source files.
#define TAGMIRE_FOR_EACH_FORM(X) X(text::Utf8) X(text::Latin1) X(text::Ucs2) X(text::Ucs4)

// A read-only view of text in form `Form`. Positions are code units from
// `data`; every reader below stays inside [0, size).
template <class Form>
struct TextView {
  using Unit = typename Form::Unit;

  const Unit* data = nullptr;
  std::size_t size = 0;

  Unit operator[](std::size_t pos) const { return data[pos]; }

  // The character that begins at `pos` (`pos < size`).
  Decoded decode_at(std::size_t pos) const {
    if constexpr (Form::kOneUnitPerCharacter) {
      return {static_cast<char32_t>(code_of(data[pos])), 1};
    } else {
      const utf8::Decoded d = utf8::decode_at(data, size, pos);
      return {d.cp, d.len};
    }
  }

  // The character that ends at `pos` (`0 < pos <= size`).
  Decoded decode_before(std::size_t pos) const {
    if constexpr (Form::kOneUnitPerCharacter) {
      return {static_cast<char32_t>(code_of(data[pos - 1])), 1};
    } else {
      const utf8::Decoded d = utf8::decode_before(data, size, pos);
      return {d.cp, d.len};
    }
  }

  TextView sub(std::size_t pos, std::size_t len) const { return {data + pos, len}; }
};

// The ASCII character `c` as a code unit of any form: `U<Unit>('<')`. Short,
// since code that reads markup compares units with ASCII characters on
// almost every line.
template <class Unit>
constexpr Unit U(char c) {
  return static_cast<Unit>(static_cast<unsigned char>(c));
}

}  // namespace text
