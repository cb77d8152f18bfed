// The AVX2 level of text_runs.cpp: this file alone is compiled for AVX2
// (where the target is x86-64; it is empty for any other, such as the arm64
// half of a universal macOS build), and its kernels are chosen only where
// the processor has AVX2. Of the library's function templates it calls only
// <bit>'s, whose code is the same scalar instructions for any of these
// flags, so that nothing compiled here for AVX2 can be picked by the linker
// for code that runs anywhere.
#include "text/platform.h"
#include "text/text_kernels.h"

#if TAGMIRE_X86_64 && defined(__AVX2__)
#include <immintrin.h>

#include "text/text_runs_kernel.h"

namespace text {

namespace {

// Units at or above each of `limits` counted per lane: the bytes a unit's
// UTF-8 form has beyond its first. Lanes are summed every 2^20 vectors, far
// below where three a vector could overflow them.
template <class Unit>
std::size_t utf8_extra(const Unit* units, std::size_t n) {
  constexpr std::size_t kUnits = 32 / sizeof(Unit);
  std::size_t extra = 0;
  std::size_t i = 0;
  while (i + kUnits <= n) {
    __m256i lanes = _mm256_setzero_si256();
    std::size_t vectors = (n - i) / kUnits;
    if (vectors > (std::size_t{1} << 20)) vectors = std::size_t{1} << 20;
    const std::size_t end = i + vectors * kUnits;
    for (; i < end; i += kUnits) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(units + i));
      if constexpr (sizeof(Unit) == 1) {
        lanes = _mm256_sub_epi8(lanes, _mm256_cmpgt_epi8(_mm256_setzero_si256(), v));  // bytes >= 0x80
      } else if constexpr (sizeof(Unit) == 2) {
        // Unsigned: a unit is at least t when max(unit, t) is the unit.
        const auto at_least = [&](int t) {
          return _mm256_cmpeq_epi16(_mm256_max_epu16(v, _mm256_set1_epi16(static_cast<short>(t))), v);
        };
        lanes = _mm256_sub_epi16(_mm256_sub_epi16(lanes, at_least(0x80)), at_least(0x800));
      } else {
        // UCS-4 units are at most 0x10FFFF: the signed compare is exact.
        lanes = _mm256_sub_epi32(lanes, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0x7F)));
        lanes = _mm256_sub_epi32(lanes, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0x7FF)));
        lanes = _mm256_sub_epi32(lanes, _mm256_cmpgt_epi32(v, _mm256_set1_epi32(0xFFFF)));
      }
      if constexpr (sizeof(Unit) < 4) {
        // Narrow lanes are widened before they could overflow: every 64 vectors.
        if (((i / kUnits) & 63) == 63 || i + kUnits >= end) {
          alignas(32) Unit counts[kUnits];
          _mm256_store_si256(reinterpret_cast<__m256i*>(counts), lanes);
          for (const Unit c : counts) extra += c;
          lanes = _mm256_setzero_si256();
        }
      }
    }
    if constexpr (sizeof(Unit) == 4) {
      alignas(32) std::uint32_t counts[8];
      _mm256_store_si256(reinterpret_cast<__m256i*>(counts), lanes);
      for (const std::uint32_t c : counts) extra += c;
    }
  }
  for (; i < n; ++i) {
    const std::uint32_t u = units[i];
    extra += static_cast<std::size_t>(u >= 0x80) + static_cast<std::size_t>(u >= 0x800) +
             static_cast<std::size_t>(u >= 0x10000);
  }
  return extra;
}

struct Avx2 {
  static constexpr std::size_t kBytes = 32;
  static __m256i zero() { return _mm256_setzero_si256(); }
  static __m256i load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
  static void store(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
  static __m256i bitor_(__m256i a, __m256i b) { return _mm256_or_si256(a, b); }
  static __m256i bitxor_(__m256i a, __m256i b) { return _mm256_xor_si256(a, b); }
  static std::uint32_t mask(__m256i v) { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
  static std::uint32_t equal(__m256i v, char c) { return mask(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(c))); }
  static std::uint32_t equal(__m256i v, std::uint8_t c) { return equal(v, static_cast<char>(c)); }
  static std::uint32_t equal(__m256i v, std::uint16_t c) {
    return mask(_mm256_cmpeq_epi16(v, _mm256_set1_epi16(static_cast<short>(c))));
  }
  static std::uint32_t equal(__m256i v, std::uint32_t c) {
    return mask(_mm256_cmpeq_epi32(v, _mm256_set1_epi32(static_cast<int>(c))));
  }
  static __m256i prefix(__m256i v, std::size_t bytes) {
    const __m256i index = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20,
                                           21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
    return _mm256_and_si256(v, _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(bytes)), index));
  }
  template <class Unit>
  static std::uint32_t unit_or(__m256i v, Unit) {
    __m128i h = _mm_or_si128(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    h = _mm_or_si128(h, _mm_srli_si128(h, 8));
    h = _mm_or_si128(h, _mm_srli_si128(h, 4));
    if constexpr (sizeof(Unit) < 4) h = _mm_or_si128(h, _mm_srli_si128(h, 2));
    if constexpr (sizeof(Unit) < 2) h = _mm_or_si128(h, _mm_srli_si128(h, 1));
    const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(h));
    return sizeof(Unit) == 4 ? low : low & ((1u << (8 * sizeof(Unit))) - 1);
  }
  static std::uint32_t continuations(__m256i v) { return mask(_mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v)); }
  static __m256i surrogates(__m256i v, std::uint16_t) {
    return _mm256_cmpeq_epi16(_mm256_and_si256(v, _mm256_set1_epi16(static_cast<short>(0xF800))), _mm256_set1_epi16(static_cast<short>(0xD800)));
  }
  static __m256i surrogates(__m256i v, std::uint32_t) {
    return _mm256_cmpeq_epi32(_mm256_and_si256(v, _mm256_set1_epi32(static_cast<int>(0xFFFFF800u))), _mm256_set1_epi32(0xD800));
  }
  template <class Unit>
  static std::size_t utf8_length(const Unit* units, std::size_t n) {
    return n + utf8_extra(units, n);
  }
};

constinit const TextKernels kAvx2Kernels = vector_kernels<Avx2>(SimdLevel::kAvx2);

}  // namespace

const TextKernels* avx2_kernels() { return &kAvx2Kernels; }

}  // namespace text

#else

const text::TextKernels* text::avx2_kernels() { return nullptr; }

#endif
