// Where a parse writes its text: room the caller provides. A one-shot parse
// never writes more than its input, so a caller that gives it room for the
// whole input never sees it grow; a streaming parse grows it through the
// caller's hook. For the one-unit forms the buffer also records which bits
// any unit written has set, so the caller can choose the narrowest form
// that holds the text without a second pass over it. Once a unit as wide
// as the form itself has been written (`unit_bits` reaches `wide_from`),
// nothing narrower is possible and the rest is copied without looking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace parser {

template <class Unit>
struct OutputBuffer {
  Unit* data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
  std::uint32_t unit_bits = 0;  // OR of the units written (one-unit forms only)
  std::uint32_t wide_from = 0;  // 0: nothing to record
  // Whether the parse read a lone surrogate anywhere in its input (two- and
  // four-byte forms): a str may hold one, and a caller that must refuse it
  // learns so from the walk instead of reading the input once more before.
  bool surrogate = false;
  // Makes room for at least `needed` more units; may move `data`.
  void (*grow)(OutputBuffer& buffer, std::size_t needed, void* context) = nullptr;
  void* grow_context = nullptr;

  void append(const Unit* units, std::size_t n) {
    if (n > capacity - size) grow(*this, n, grow_context);
    Unit* to = data + size;
    if (unit_bits < wide_from) {
      // Copy and OR in one pass; the loop vectorises.
      std::uint32_t bits = 0;
      for (std::size_t i = 0; i < n; ++i) {
        to[i] = units[i];
        bits |= static_cast<std::uint32_t>(units[i]);
      }
      unit_bits |= bits;
    } else {
      std::memcpy(to, units, n * sizeof(Unit));
    }
    size += n;
  }
};

}  // namespace parser
