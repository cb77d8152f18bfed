#include <cstdio>

#include "text/unicode_tables.h"
#include "text/utf8.h"
#include "types/annotation.h"

namespace types {

namespace {

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    const text::utf8::Decoded d = text::utf8::decode_at(text.data(), text.size(), pos);
    switch (d.cp) {
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\0': out += "\\0"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (text::unicode::needs_escape(d.cp)) {
          char escaped[16];
          const int n = std::snprintf(escaped, sizeof escaped, "\\u{%x}", static_cast<unsigned>(d.cp));
          out.append(escaped, static_cast<std::size_t>(n));
        } else {
          out.append(text.substr(pos, d.len));
        }
    }
    pos += d.len;
  }
  out += '"';
}

}  // namespace

std::string debug_render(const AttrMap& attrs) {
  std::string out = "{";
  bool first = true;
  for (const auto& [key, value] : attrs) {
    if (!first) out += ", ";
    first = false;
    append_quoted(out, key);
    out += ": ";
    if (value.kind() == AttrValue::Kind::Bool) {
      out += value.as_bool() ? "Bool(true)" : "Bool(false)";
    } else {
      out += "Str(";
      append_quoted(out, value.as_str());
      out += ')';
    }
  }
  out += '}';
  return out;
}

}  // namespace types
