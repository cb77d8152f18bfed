#include "text/text_runs.h"

#include <atomic>
#include <cstdlib>

#include "text/platform.h"
#include "text/text_kernels.h"
#include "text/text_runs_kernel.h"
#include "text/utf8.h"

#if TAGMIRE_SSE2
#include <emmintrin.h>
#endif
#if TAGMIRE_X86_64 && defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace text {

namespace {

#if TAGMIRE_SSE2
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
  // The plain loop, which the compiler vectorises for SSE2.
  template <class Unit>
  static std::size_t utf8_length(const Unit* units, std::size_t n) {
    return utf8::encoded_length(units, n);
  }
};

constinit const TextKernels kSse2Kernels = vector_kernels<Sse2>(SimdLevel::kSse2);
#endif

template <class Unit>
std::size_t find_unit_plain(const Unit* text, std::size_t from, std::size_t to, Unit needle) {
  while (from < to && text[from] != needle) ++from;
  return from;
}

std::size_t skip_ascii_plain(const char* data, std::size_t from, std::size_t size) {
  while (from < size && static_cast<unsigned char>(data[from]) < 0x80) ++from;
  return from;
}

// The plain loops, the level every build has. copy_run gathers every
// unit's bits whatever the caller wants.
template <class Unit>
RunScan copy_run_scalar(const Unit* text, std::size_t from, std::size_t to, Unit* out, bool /*want_bits*/) {
  return copy_run_plain(text, from, to, out);
}

constinit const TextKernels kPlainKernels = {
    SimdLevel::kScalar,
    &copy_run_scalar<char>,
    &copy_run_scalar<std::uint8_t>,
    &copy_run_scalar<std::uint16_t>,
    &copy_run_scalar<std::uint32_t>,
    &find_unit_plain<std::uint16_t>,
    &find_unit_plain<std::uint32_t>,
    &skip_ascii_plain,
    &utf8::encoded_length<std::uint8_t>,
    &utf8::encoded_length<std::uint16_t>,
    &utf8::encoded_length<std::uint32_t>,
    &continuation_words_vector<Plain>,
    &has_surrogate_plain<std::uint16_t>,
    &has_surrogate_plain<std::uint32_t>,
};

// Whether the processor and its operating system run AVX2: the instructions,
// and the saving of the wide registers on a switch of threads.
bool processor_has_avx2() {
#if TAGMIRE_X86_64 && defined(_MSC_VER) && !defined(__clang__)
  int info[4];
  __cpuid(info, 0);
  if (info[0] < 7) return false;
  __cpuid(info, 1);
  constexpr int kOsSavesWideRegisters = 1 << 27;
  constexpr int kAvx = 1 << 28;
  if ((info[2] & (kOsSavesWideRegisters | kAvx)) != (kOsSavesWideRegisters | kAvx)) return false;
  constexpr unsigned long long kXmmAndYmmState = 0x6;
  if ((_xgetbv(0) & kXmmAndYmmState) != kXmmAndYmmState) return false;
  __cpuidex(info, 7, 0);
  return (info[1] & (1 << 5)) != 0;
#elif TAGMIRE_X86_64
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

// The kernels of `level`, where this build and processor run it, else null.
const TextKernels* kernels_of(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar: return &kPlainKernels;
    case SimdLevel::kSse2: return sse2_kernels();
    case SimdLevel::kAvx2: return processor_has_avx2() ? avx2_kernels() : nullptr;
    case SimdLevel::kNeon: return neon_kernels();
  }
  return nullptr;
}

// Bytes a step: a forced level stands for the widest one the machine has
// that is no wider.
int vector_bytes(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar: return 1;
    case SimdLevel::kSse2: case SimdLevel::kNeon: return 16;
    case SimdLevel::kAvx2: return 32;
  }
  return 1;
}

constexpr SimdLevel kLevels[] = {SimdLevel::kScalar, SimdLevel::kSse2, SimdLevel::kAvx2, SimdLevel::kNeon};

// The widest level this machine runs that is no wider than `level`.
const TextKernels& widest_up_to(SimdLevel level) {
  const TextKernels* best = &kPlainKernels;
  for (const SimdLevel candidate : kLevels) {
    const TextKernels* kernels = kernels_of(candidate);
    if (kernels != nullptr && vector_bytes(candidate) <= vector_bytes(level) &&
        vector_bytes(candidate) > vector_bytes(best->level)) {
      best = kernels;
    }
  }
  return *best;
}

// Null until the first call: a constant initial value, so that the check on
// each call is one load and no static guard, whose slow path made every
// call save registers. The objects it points to are constants, so a
// relaxed load sees them whole.
std::atomic<const TextKernels*> active_kernels{nullptr};

TAGMIRE_NOINLINE TAGMIRE_COLD const TextKernels& choose_kernels() {
  const TextKernels& chosen = widest_up_to(simd_level_for(std::getenv("TAGMIRE_SIMD")));
  active_kernels.store(&chosen, std::memory_order_relaxed);
  return chosen;
}

inline const TextKernels& kernels() {
  const TextKernels* active = active_kernels.load(std::memory_order_relaxed);
  return active != nullptr ? *active : choose_kernels();
}

}  // namespace

const TextKernels* sse2_kernels() {
#if TAGMIRE_SSE2
  return &kSse2Kernels;
#else
  return nullptr;
#endif
}

SimdLevel best_simd_level() { return widest_up_to(SimdLevel::kAvx2).level; }

bool simd_level_runs(SimdLevel level) { return kernels_of(level) != nullptr; }

SimdLevel simd_level() { return kernels().level; }

SimdLevel use_simd_level(SimdLevel level) {
  const TextKernels& chosen = widest_up_to(level);
  active_kernels.store(&chosen, std::memory_order_relaxed);
  return chosen.level;
}

std::string_view simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::kScalar: return "plain";
    case SimdLevel::kSse2: return "sse2";
    case SimdLevel::kAvx2: return "avx2";
    case SimdLevel::kNeon: return "neon";
  }
  return "plain";
}

std::optional<SimdLevel> simd_level_named(std::string_view name) {
  for (const SimdLevel level : kLevels) {
    if (simd_level_name(level) == name) return level;
  }
  return std::nullopt;
}

SimdLevel simd_level_for(const char* name) {
  if (name == nullptr) return best_simd_level();
  // A name it does not know takes the plain loops: whoever sets the
  // variable wants less than the best, and plain is the least.
  return widest_up_to(simd_level_named(name).value_or(SimdLevel::kScalar)).level;
}

RunScan copy_run(const char* text, std::size_t from, std::size_t to, char* out, bool want_bits) {
  return kernels().copy_run_utf8(text, from, to, out, want_bits);
}
RunScan copy_run(const std::uint8_t* text, std::size_t from, std::size_t to, std::uint8_t* out, bool want_bits) {
  return kernels().copy_run_latin1(text, from, to, out, want_bits);
}
RunScan copy_run(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t* out, bool want_bits) {
  return kernels().copy_run_ucs2(text, from, to, out, want_bits);
}
RunScan copy_run(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t* out, bool want_bits) {
  return kernels().copy_run_ucs4(text, from, to, out, want_bits);
}
bool has_surrogate(const std::uint16_t* units, std::size_t length) { return kernels().has_surrogate_ucs2(units, length); }
bool has_surrogate(const std::uint32_t* units, std::size_t length) { return kernels().has_surrogate_ucs4(units, length); }

std::size_t find_wide_unit(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t needle) {
  return kernels().find_unit_ucs2(text, from, to, needle);
}
std::size_t find_wide_unit(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t needle) {
  return kernels().find_unit_ucs4(text, from, to, needle);
}

std::size_t skip_ascii(const char* data, std::size_t from, std::size_t size) {
  return kernels().skip_ascii(data, from, size);
}

std::size_t continuation_words(const char* data, std::size_t size, std::uint64_t* words, std::size_t* before) {
  return kernels().continuation_words(data, size, words, before);
}

std::size_t utf8_length(const std::uint8_t* units, std::size_t n) { return kernels().utf8_length_latin1(units, n); }
std::size_t utf8_length(const std::uint16_t* units, std::size_t n) { return kernels().utf8_length_ucs2(units, n); }
std::size_t utf8_length(const std::uint32_t* units, std::size_t n) { return kernels().utf8_length_ucs4(units, n); }

}  // namespace text
