// Sixteen code units at a time: narrowing ASCII runs of wide text to bytes,
// and counting the characters of UTF-8 text. Answers are mostly ASCII even
// when they are not all ASCII, so these carry most of their bytes; the
// compiler does not vectorise the plain loops on its own, hence SSE2 where
// the processor has it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace text {

inline constexpr std::size_t kAsciiBlock = 16;

namespace detail {

template <class Unit>
bool narrow_ascii_block_plain(const Unit* units, char* out) {
  Unit bits = 0;
  for (std::size_t k = 0; k < kAsciiBlock; ++k) bits = static_cast<Unit>(bits | units[k]);
  if (bits >= 0x80) return false;
  for (std::size_t k = 0; k < kAsciiBlock; ++k) out[k] = static_cast<char>(units[k]);
  return true;
}

}  // namespace detail

// Writes units[0..16) to out as bytes and returns true when all of them are
// ASCII; returns false otherwise, having written an unspecified part of out.
inline bool narrow_ascii_block(const std::uint8_t* units, char* out) {
#if defined(__SSE2__)
  const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
  if (_mm_movemask_epi8(block) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), block);
  return true;
#else
  return detail::narrow_ascii_block_plain(units, out);
#endif
}

inline bool narrow_ascii_block(const std::uint16_t* units, char* out) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + 8));
  const __m128i high = _mm_and_si128(_mm_or_si128(a, b), _mm_set1_epi16(static_cast<short>(0xFF80)));
  if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(a, b));
  return true;
#else
  return detail::narrow_ascii_block_plain(units, out);
#endif
}

inline bool narrow_ascii_block(const std::uint32_t* units, char* out) {
#if defined(__SSE2__)
  const auto* p = reinterpret_cast<const __m128i*>(units);
  const __m128i a = _mm_loadu_si128(p);
  const __m128i b = _mm_loadu_si128(p + 1);
  const __m128i c = _mm_loadu_si128(p + 2);
  const __m128i d = _mm_loadu_si128(p + 3);
  const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
  const __m128i high = _mm_and_si128(any, _mm_set1_epi32(static_cast<int>(0xFFFFFF80u)));
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(high, _mm_setzero_si128())) != 0xFFFF) return false;
  // Every unit is below 0x80, so the saturating packs are exact.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                   _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d)));
  return true;
#else
  return detail::narrow_ascii_block_plain(units, out);
#endif
}

// The characters in `size` bytes of valid UTF-8: the bytes that are not
// continuation bytes (10xxxxxx).
inline std::size_t count_utf8_chars(const char* data, std::size_t size) {
  std::size_t chars = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // As signed bytes, continuation bytes are exactly those below -64. Each
  // lane counts up to 255 blocks before the lanes are summed.
  const __m128i last_continuation = _mm_set1_epi8(-65);
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
#endif
  for (; i < size; ++i) chars += (static_cast<unsigned char>(data[i]) & 0xC0) != 0x80;
  return chars;
}

}  // namespace text
