// Searching runs of text for one ASCII character: the parser's inner loops
// (the next `<`, the next `>`, line feeds). One-byte forms use the C
// library's memchr; forward searches of the wider forms use the vector
// loops of text_runs.h (AVX2 where the processor has it), backward ones
// compare sixteen bytes at a time. Every search returns `end` (or `begin` for the
// backward ones) when the character is absent.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/platform.h"
#include "text/text_runs.h"

#if TAGMIRE_SSE2
#include <emmintrin.h>
#endif

namespace text {

namespace detail {

#if TAGMIRE_SSE2
inline __m128i splat(std::uint16_t unit) { return _mm_set1_epi16(static_cast<short>(unit)); }
inline __m128i splat(std::uint32_t unit) { return _mm_set1_epi32(static_cast<int>(unit)); }
inline int matches(__m128i block, __m128i needle, std::uint16_t) {
  return _mm_movemask_epi8(_mm_cmpeq_epi16(block, needle));
}
inline int matches(__m128i block, __m128i needle, std::uint32_t) {
  return _mm_movemask_epi8(_mm_cmpeq_epi32(block, needle));
}
#endif

// Last `needle` in [begin, end), or null.
template <class Unit>
const Unit* find_last_wide(const Unit* begin, const Unit* end, Unit needle) {
#if TAGMIRE_SSE2
  constexpr std::size_t kPerBlock = 16 / sizeof(Unit);
  const __m128i wanted = splat(needle);
  while (static_cast<std::size_t>(end - begin) >= kPerBlock) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(end - kPerBlock));
    if (const int mask = matches(block, wanted, Unit{})) {
      const int high_byte = 31 - std::countl_zero(static_cast<unsigned>(mask));
      return end - kPerBlock + high_byte / sizeof(Unit);
    }
    end -= kPerBlock;
  }
#endif
  while (end > begin) {
    if (*--end == needle) return end;
  }
  return nullptr;
}

inline const void* find_last_byte(const void* begin, std::size_t size, unsigned char needle) {
#if defined(__GLIBC__)
  return memrchr(begin, needle, size);
#else
  const auto* p = static_cast<const unsigned char*>(begin) + size;
  while (p != begin) {
    if (*--p == needle) return p;
  }
  return nullptr;
#endif
}

}  // namespace detail

// Position of the first `needle` in text[from, to), or `to`.
template <class Unit>
std::size_t find_unit(const Unit* text, std::size_t from, std::size_t to, Unit needle) {
  if (from >= to) return to;
  if constexpr (sizeof(Unit) == 1) {
    const void* hit = std::memchr(text + from, static_cast<unsigned char>(needle), to - from);
    return hit ? static_cast<std::size_t>(static_cast<const Unit*>(hit) - text) : to;
  } else {
    return find_wide_unit(text, from, to, needle);
  }
}

// Position of the last `needle` in text[from, to), or `to` when there is none.
template <class Unit>
std::size_t find_last_unit(const Unit* text, std::size_t from, std::size_t to, Unit needle) {
  if (from >= to) return to;
  const Unit* hit;
  if constexpr (sizeof(Unit) == 1) {
    hit = static_cast<const Unit*>(
        detail::find_last_byte(text + from, to - from, static_cast<unsigned char>(needle)));
  } else {
    hit = detail::find_last_wide(text + from, text + to, needle);
  }
  return hit ? static_cast<std::size_t>(hit - text) : to;
}

}  // namespace text
