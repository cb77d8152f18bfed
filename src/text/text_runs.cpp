#include "text/text_runs.h"

#include <atomic>

#include "text/text_runs_kernel.h"
#include "text/utf8.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <emmintrin.h>
#define TAGMIRE_X86_64 1
#endif

namespace text {

#if TAGMIRE_HAVE_AVX2_UNIT
// In text_runs_avx2.cpp, compiled for AVX2 and called only where it runs.
namespace avx2 {
RunScan copy_run(const char* text, std::size_t from, std::size_t to, char* out, bool want_bits);
RunScan copy_run(const std::uint8_t* text, std::size_t from, std::size_t to, std::uint8_t* out, bool want_bits);
RunScan copy_run(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t* out, bool want_bits);
RunScan copy_run(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t* out, bool want_bits);
bool has_surrogate(const std::uint16_t* units, std::size_t length);
bool has_surrogate(const std::uint32_t* units, std::size_t length);
std::size_t find_wide_unit(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t needle);
std::size_t find_wide_unit(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t needle);
std::size_t skip_ascii(const char* data, std::size_t from, std::size_t size);
std::size_t utf8_length(const std::uint8_t* units, std::size_t n);
std::size_t utf8_length(const std::uint16_t* units, std::size_t n);
std::size_t utf8_length(const std::uint32_t* units, std::size_t n);
std::size_t continuation_words(const char* data, std::size_t size, std::uint64_t* words, std::size_t* before);
}  // namespace avx2
#endif

namespace {

#if TAGMIRE_X86_64
struct Sse2 {
  static constexpr std::size_t kBytes = 16;
  static __m128i zero() { return _mm_setzero_si128(); }
  static __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
  static void store(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
  static __m128i bitor_(__m128i a, __m128i b) { return _mm_or_si128(a, b); }
  static __m128i bitxor_(__m128i a, __m128i b) { return _mm_xor_si128(a, b); }
  static std::uint32_t mask(__m128i v) { return static_cast<std::uint32_t>(_mm_movemask_epi8(v)); }
  static std::uint32_t equal(__m128i v, char c) { return mask(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))); }
  static std::uint32_t equal(__m128i v, std::uint8_t c) { return equal(v, static_cast<char>(c)); }
  static std::uint32_t equal(__m128i v, std::uint16_t c) {
    return mask(_mm_cmpeq_epi16(v, _mm_set1_epi16(static_cast<short>(c))));
  }
  static std::uint32_t equal(__m128i v, std::uint32_t c) {
    return mask(_mm_cmpeq_epi32(v, _mm_set1_epi32(static_cast<int>(c))));
  }
  static __m128i prefix(__m128i v, std::size_t bytes) {
    const __m128i index = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_and_si128(v, _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(bytes)), index));
  }
  // OR of every unit: fold the halves onto each other down to one unit.
  template <class Unit>
  static std::uint32_t unit_or(__m128i v, Unit) {
    v = _mm_or_si128(v, _mm_srli_si128(v, 8));
    v = _mm_or_si128(v, _mm_srli_si128(v, 4));
    if constexpr (sizeof(Unit) < 4) v = _mm_or_si128(v, _mm_srli_si128(v, 2));
    if constexpr (sizeof(Unit) < 2) v = _mm_or_si128(v, _mm_srli_si128(v, 1));
    const auto low = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    return sizeof(Unit) == 4 ? low : low & ((1u << (8 * sizeof(Unit))) - 1);
  }
  // One bit per byte, set for UTF-8 continuation bytes: below -64 as signed bytes.
  static std::uint32_t continuations(__m128i v) { return mask(_mm_cmpgt_epi8(_mm_set1_epi8(-64), v)); }
  static __m128i surrogates(__m128i v, std::uint16_t) {
    return _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xF800))), _mm_set1_epi16(static_cast<short>(0xD800)));
  }
  static __m128i surrogates(__m128i v, std::uint32_t) {
    return _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xFFFFF800u))), _mm_set1_epi32(0xD800));
  }
};
#endif

SimdLevel detect() {
#if TAGMIRE_X86_64 && TAGMIRE_HAVE_AVX2_UNIT
  return __builtin_cpu_supports("avx2") ? SimdLevel::kAvx2 : SimdLevel::kSse2;
#elif TAGMIRE_X86_64
  return SimdLevel::kSse2;
#else
  return SimdLevel::kScalar;
#endif
}

// Not yet chosen until the first call: a constant initial value, so that
// the check on each call is one load and no static guard, whose slow path
// made every dispatch save registers.
constexpr auto kUnchosen = static_cast<SimdLevel>(0xFF);
std::atomic<SimdLevel> chosen_level{kUnchosen};

[[gnu::noinline, gnu::cold]] SimdLevel choose_level() {
  const SimdLevel level = detect();
  chosen_level.store(level, std::memory_order_relaxed);
  return level;
}

inline SimdLevel level_in_use() {
  const SimdLevel level = chosen_level.load(std::memory_order_relaxed);
  return level != kUnchosen ? level : choose_level();
}

// The call of the level in use.
#if TAGMIRE_X86_64 && TAGMIRE_HAVE_AVX2_UNIT
#define TAGMIRE_DISPATCH(plain_call, sse2_call, avx2_call)          \
  switch (level_in_use()) {         \
    case SimdLevel::kAvx2: return avx2_call;                        \
    case SimdLevel::kSse2: return sse2_call;                        \
    case SimdLevel::kScalar: break;                                 \
  }                                                                 \
  return plain_call;
#elif TAGMIRE_X86_64
#define TAGMIRE_DISPATCH(plain_call, sse2_call, avx2_call)          \
  if (level_in_use() == SimdLevel::kSse2) return sse2_call; \
  return plain_call;
#else
#define TAGMIRE_DISPATCH(plain_call, sse2_call, avx2_call) return plain_call;
#endif

// Out of line, so that the public functions stay a load and a jump.
#if TAGMIRE_X86_64
template <class Unit>
[[gnu::noinline]] RunScan copy_run_sse2(const Unit* text, std::size_t from, std::size_t to, Unit* out,
                                        bool want_bits) {
  return copy_run_vector<Sse2>(text, from, to, out, want_bits);
}
#endif

template <class Unit>
[[gnu::noinline]] RunScan copy_run_scalar(const Unit* text, std::size_t from, std::size_t to, Unit* out) {
  return copy_run_plain(text, from, to, out);
}

template <class Unit>
std::size_t find_unit_plain(const Unit* text, std::size_t from, std::size_t to, Unit needle) {
  while (from < to && text[from] != needle) ++from;
  return from;
}

std::size_t skip_ascii_plain(const char* data, std::size_t from, std::size_t size) {
  while (from < size && static_cast<unsigned char>(data[from]) < 0x80) ++from;
  return from;
}

}  // namespace

SimdLevel best_simd_level() { return detect(); }

SimdLevel simd_level() { return level_in_use(); }

SimdLevel use_simd_level(SimdLevel level) {
  const SimdLevel best = detect();
  const SimdLevel chosen = level < best ? level : best;
  chosen_level.store(chosen, std::memory_order_relaxed);
  return chosen;
}

RunScan copy_run(const char* text, std::size_t from, std::size_t to, char* out, bool want_bits) {
  TAGMIRE_DISPATCH(copy_run_scalar(text, from, to, out), copy_run_sse2(text, from, to, out, want_bits),
                   avx2::copy_run(text, from, to, out, want_bits))
}
RunScan copy_run(const std::uint8_t* text, std::size_t from, std::size_t to, std::uint8_t* out, bool want_bits) {
  TAGMIRE_DISPATCH(copy_run_scalar(text, from, to, out), copy_run_sse2(text, from, to, out, want_bits),
                   avx2::copy_run(text, from, to, out, want_bits))
}
RunScan copy_run(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t* out, bool want_bits) {
  TAGMIRE_DISPATCH(copy_run_scalar(text, from, to, out), copy_run_sse2(text, from, to, out, want_bits),
                   avx2::copy_run(text, from, to, out, want_bits))
}
RunScan copy_run(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t* out, bool want_bits) {
  TAGMIRE_DISPATCH(copy_run_scalar(text, from, to, out), copy_run_sse2(text, from, to, out, want_bits),
                   avx2::copy_run(text, from, to, out, want_bits))
}
bool has_surrogate(const std::uint16_t* units, std::size_t length) {
  TAGMIRE_DISPATCH(has_surrogate_plain(units, length), (has_surrogate_vector<Sse2>(units, length)),
                   avx2::has_surrogate(units, length))
}
bool has_surrogate(const std::uint32_t* units, std::size_t length) {
  TAGMIRE_DISPATCH(has_surrogate_plain(units, length), (has_surrogate_vector<Sse2>(units, length)),
                   avx2::has_surrogate(units, length))
}

std::size_t find_wide_unit(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t needle) {
  TAGMIRE_DISPATCH(find_unit_plain(text, from, to, needle), (find_unit_vector<Sse2>(text, from, to, needle)),
                   avx2::find_wide_unit(text, from, to, needle))
}
std::size_t find_wide_unit(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t needle) {
  TAGMIRE_DISPATCH(find_unit_plain(text, from, to, needle), (find_unit_vector<Sse2>(text, from, to, needle)),
                   avx2::find_wide_unit(text, from, to, needle))
}

std::size_t skip_ascii(const char* data, std::size_t from, std::size_t size) {
  TAGMIRE_DISPATCH(skip_ascii_plain(data, from, size), (skip_ascii_vector<Sse2>(data, from, size)),
                   avx2::skip_ascii(data, from, size))
}

std::size_t continuation_words(const char* data, std::size_t size, std::uint64_t* words, std::size_t* before) {
  TAGMIRE_DISPATCH(continuation_words_vector<Plain>(data, size, words, before),
                   (continuation_words_vector<Sse2>(data, size, words, before)),
                   avx2::continuation_words(data, size, words, before))
}

// Without AVX2, the plain loop, which the compiler vectorises for SSE2.
std::size_t utf8_length(const std::uint8_t* units, std::size_t n) {
  TAGMIRE_DISPATCH(utf8::encoded_length(units, n), utf8::encoded_length(units, n), avx2::utf8_length(units, n))
}
std::size_t utf8_length(const std::uint16_t* units, std::size_t n) {
  TAGMIRE_DISPATCH(utf8::encoded_length(units, n), utf8::encoded_length(units, n), avx2::utf8_length(units, n))
}
std::size_t utf8_length(const std::uint32_t* units, std::size_t n) {
  TAGMIRE_DISPATCH(utf8::encoded_length(units, n), utf8::encoded_length(units, n), avx2::utf8_length(units, n))
}

#undef TAGMIRE_DISPATCH

}  // namespace text
