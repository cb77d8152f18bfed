// Where a parse writes its text: room the caller provides. A one-shot parse
// never writes more than its input, so a caller that gives it room for the
// whole input never sees it grow; a streaming parse grows it through the
// caller's hook. For the one-unit forms the buffer also records which bits
// any unit written has set, so the caller can choose the narrowest form
// that holds the text without a second pass over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace parser {

template <class Unit>
struct OutputBuffer {
  Unit* data = nullptr;
  std::size_t size = 0;
  std::size_t capacity = 0;
  std::uint32_t unit_bits = 0;  // OR of every unit written (one-unit forms only)
  // Makes room for at least `needed` more units; may move `data`.
  void (*grow)(OutputBuffer& buffer, std::size_t needed, void* context) = nullptr;
  void* grow_context = nullptr;

  void append(const Unit* units, std::size_t n) {
    if (n > capacity - size) grow(*this, n, grow_context);
    Unit* to = data + size;
    if constexpr (sizeof(Unit) == 1 && !std::is_same_v<Unit, char>) {
      // Copy and OR in one pass; the loop vectorises.
      std::uint32_t bits = 0;
      for (std::size_t i = 0; i < n; ++i) {
        to[i] = units[i];
        bits |= units[i];
      }
      unit_bits |= bits;
    } else if constexpr (sizeof(Unit) > 1) {
      std::uint32_t bits = 0;
      for (std::size_t i = 0; i < n; ++i) {
        to[i] = units[i];
        bits |= static_cast<std::uint32_t>(units[i]);
      }
      unit_bits |= bits;
    } else {
      std::memcpy(to, units, n);
    }
    size += n;
  }
};

}  // namespace parser
