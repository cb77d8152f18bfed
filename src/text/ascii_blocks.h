// Sixteen code units at a time: narrowing ASCII runs of wide text to bytes,
// and counting the characters of UTF-8 text. Answers are mostly ASCII even
// when they are not all ASCII, so these carry most of their bytes; the
// compiler does not vectorise the plain loops on its own, hence SSE2 where
// the processor has it.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "text/bit_count.h"
#include "text/platform.h"

#if TAGMIRE_SSE2
#include <emmintrin.h>
#endif

namespace text {

inline constexpr std::size_t kAsciiBlock = 16;

namespace detail {

template <class Unit>
std::size_t narrow_ascii_prefix_plain(const Unit* units, char* out) {
  std::size_t k = 0;
  while (k < kAsciiBlock && units[k] < 0x80) {
    out[k] = static_cast<char>(units[k]);
    ++k;
  }
  return k;
}

// The ASCII units before the first other one, from a mask with bit k set
// when unit k is not ASCII.
inline std::size_t ascii_before(unsigned mask) {
  return mask == 0 ? kAsciiBlock : static_cast<std::size_t>(std::countr_zero(mask));
}

}  // namespace detail

// Narrows the ASCII units at the start of units[0..16) to bytes at `out` and
// returns how many they are (16: the whole block). Up to 16 bytes of `out`
// are written either way, those past the count unspecified, so `out` needs
// room for 16 more bytes. A wide run with a character here and there stays
// on the vector path for the ASCII around it.
inline std::size_t narrow_ascii_prefix(const std::uint8_t* units, char* out) {
#if TAGMIRE_SSE2
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
  return detail::ascii_before(static_cast<unsigned>(_mm_movemask_epi8(block)));
#else
  return detail::narrow_ascii_prefix_plain(units, out);
#endif
}

inline std::size_t narrow_ascii_prefix(const std::uint16_t* units, char* out) {
#if TAGMIRE_SSE2
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + 8));
  const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
  const __m128i zero = _mm_setzero_si128();
  // One byte per unit, all ones where the unit is ASCII.
  const __m128i ascii = _mm_packs_epi16(_mm_cmpeq_epi16(_mm_and_si128(a, high), zero),
                                        _mm_cmpeq_epi16(_mm_and_si128(b, high), zero));
  // The pack is exact for the ASCII units, the ones counted.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
  return detail::ascii_before(~static_cast<unsigned>(_mm_movemask_epi8(ascii)) & 0xFFFFu);
#else
  return detail::narrow_ascii_prefix_plain(units, out);
#endif
}

inline std::size_t narrow_ascii_prefix(const std::uint32_t* units, char* out) {
#if TAGMIRE_SSE2
  const auto* p = reinterpret_cast<const __m128i*>(units);
  const __m128i a = _mm_loadu_si128(p);
  const __m128i b = _mm_loadu_si128(p + 1);
  const __m128i c = _mm_loadu_si128(p + 2);
  const __m128i d = _mm_loadu_si128(p + 3);
  const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
  const __m128i zero = _mm_setzero_si128();
  auto is_ascii = [&](__m128i v) { return _mm_cmpeq_epi32(_mm_and_si128(v, high), zero); };
  // One byte per unit, all ones where the unit is ASCII (the signed packs
  // keep 0 and -1 as they are).
  const __m128i ascii = _mm_packs_epi16(_mm_packs_epi32(is_ascii(a), is_ascii(b)), _mm_packs_epi32(is_ascii(c), is_ascii(d)));
  // The packs are exact for the ASCII units, the ones counted.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
  return detail::ascii_before(~static_cast<unsigned>(_mm_movemask_epi8(ascii)) & 0xFFFFu);
#else
  return detail::narrow_ascii_prefix_plain(units, out);
#endif
}

// The characters in `size` bytes of valid UTF-8: the bytes that are not
// continuation bytes (10xxxxxx).
inline std::size_t count_utf8_chars(const char* data, std::size_t size) {
  std::size_t chars = 0;
  std::size_t i = 0;
#if TAGMIRE_SSE2
  // As signed bytes, continuation bytes are exactly those below -64. A long
  // stretch sums each lane over up to 255 blocks; a short one (most are: a
  // segment, the text between two markers) counts a block's mask.
  const __m128i last_continuation = _mm_set1_epi8(-65);
  if (size >= 8 * kAsciiBlock) {
    while (i + kAsciiBlock <= size) {
      const std::size_t blocks = std::min<std::size_t>((size - i) / kAsciiBlock, 255);
      __m128i lanes = _mm_setzero_si128();
      for (std::size_t b = 0; b < blocks; ++b, i += kAsciiBlock) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        lanes = _mm_sub_epi8(lanes, _mm_cmpgt_epi8(block, last_continuation));
      }
      const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
      chars += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
  }
  for (; i + kAsciiBlock <= size; i += kAsciiBlock) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    chars += bit_count(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(block, last_continuation))));
  }
#endif
  // Eight bytes at a time: a continuation byte has its top bit set and the
  // next one clear.
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, data + i, 8);
    chars += 8 - bit_count(word & ~(word << 1) & 0x8080808080808080u);
  }
  for (; i < size; ++i) chars += (static_cast<unsigned char>(data[i]) & 0xC0) != 0x80;
  return chars;
}

}  // namespace text
