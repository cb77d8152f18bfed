// What a tag name is looked up by, computed while the scanner walks the
// name: its first eight characters folded and packed into one word, and a
// hash of the whole folded name. Folding is `c | 0x20`, which lower-cases
// ASCII letters, leaves digits, `-`, `.` and `:` as they are and turns `_`
// into a byte no name holds, so on name characters it identifies exactly the
// names that ASCII folding identifies. Names of up to eight characters then
// compare in one instruction.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/encoding.h"

namespace parser {

struct NameKey {
  std::uint64_t folded_prefix = 0;  // folded characters 0..7, character i in byte i
  std::uint64_t hash = 0;

  // Adds the name character `c` (an ASCII code), the `index`-th of the name.
  void add(std::uint32_t c, std::size_t index) {
    const std::uint64_t folded = c | 0x20;
    if (index < 8) folded_prefix |= folded << (8 * index);
    hash = ((hash << 5) | (hash >> 59)) ^ folded;
  }
  // The final hash of a name of `length` characters.
  std::uint64_t finished_hash(std::size_t length) const {
    std::uint64_t h = (hash ^ length) * 0x9E3779B97F4A7C15ull;
    return h ^ (h >> 31);
  }
};

template <class Unit>
NameKey name_key(const Unit* name, std::size_t length) {
  NameKey key;
  for (std::size_t i = 0; i < length; ++i) key.add(text::code_of(name[i]), i);
  return key;
}

}  // namespace parser
