// The records one parse produces. Every position in them is a byte offset into
// UTF-8 text; nothing here ever counts characters.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace types {

// The value of one attribute: `Bool` for a key written without a value
// (`<a x>`, `<a x=>`), `Str` for the written value, kept verbatim.
struct AttrValue {
  enum class Kind : std::uint8_t {
    Bool,  // bare key; the scanner always stores true
    Str,   // the written value, no entity decoding
  };

  std::variant<bool, std::string> value;

  static AttrValue boolean(bool b) { return AttrValue{b}; }
  static AttrValue str(std::string s) { return AttrValue{std::move(s)}; }

  Kind kind() const { return value.index() == 0 ? Kind::Bool : Kind::Str; }
  bool as_bool() const { return std::get<bool>(value); }
  const std::string& as_str() const { return std::get<std::string>(value); }

  friend bool operator==(const AttrValue&, const AttrValue&) = default;
};

// An attribute map. Keys are unique; entries keep the order in which each key
// was first written (a repeated key replaces its value in place), so every
// rendering and conversion of one annotation lists them in the same order.
using AttrMap = std::vector<std::pair<std::string, AttrValue>>;

// What one tag contributes: its name as written (original letter case) and
// its attributes.
struct Annotation {
  std::string tag;
  AttrMap attrs;

  friend bool operator==(const Annotation&, const Annotation&) = default;
};

// Renders an attribute map for debugging, e.g. `{"id": Str("7"), "urgent":
// Bool(true)}`; control, format, unassigned and separator characters and
// combining marks are written as `\u{hex}`.
std::string debug_render(const AttrMap& attrs);

}  // namespace types
