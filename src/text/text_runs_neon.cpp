// The NEON level of text_runs.cpp, for aarch64, whose every processor has
// it: 16 bytes a step like SSE2. Empty for any other target, such as the
// x86-64 half of a universal macOS build.
#include "text/platform.h"
#include "text/text_kernels.h"

#if TAGMIRE_NEON
#include <arm_neon.h>

#include "text/text_runs_kernel.h"
#include "text/utf8.h"

namespace text {

namespace {

struct Neon {
  static constexpr std::size_t kBytes = 16;
  static uint8x16_t zero() { return vdupq_n_u8(0); }
  static uint8x16_t load(const void* p) { return vld1q_u8(static_cast<const std::uint8_t*>(p)); }
  static void store(void* p, uint8x16_t v) { vst1q_u8(static_cast<std::uint8_t*>(p), v); }
  static uint8x16_t bitor_(uint8x16_t a, uint8x16_t b) { return vorrq_u8(a, b); }
  static uint8x16_t bitxor_(uint8x16_t a, uint8x16_t b) { return veorq_u8(a, b); }
  // The top bit of each byte, one bit per byte, as SSE2's movemask gives
  // it: NEON has no such instruction, so each half's flags are weighted by
  // their bit and summed across the half.
  static std::uint32_t mask(uint8x16_t v) {
    static constexpr std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128, 1, 2, 4, 8, 16, 32, 64, 128};
    const uint8x16_t weighted = vandq_u8(vcltzq_s8(vreinterpretq_s8_u8(v)), vld1q_u8(kWeights));
    return std::uint32_t{vaddv_u8(vget_low_u8(weighted))} | (std::uint32_t{vaddv_u8(vget_high_u8(weighted))} << 8);
  }
  static std::uint32_t equal(uint8x16_t v, char c) { return equal(v, static_cast<std::uint8_t>(c)); }
  static std::uint32_t equal(uint8x16_t v, std::uint8_t c) { return mask(vceqq_u8(v, vdupq_n_u8(c))); }
  static std::uint32_t equal(uint8x16_t v, std::uint16_t c) {
    return mask(vreinterpretq_u8_u16(vceqq_u16(vreinterpretq_u16_u8(v), vdupq_n_u16(c))));
  }
  static std::uint32_t equal(uint8x16_t v, std::uint32_t c) {
    return mask(vreinterpretq_u8_u32(vceqq_u32(vreinterpretq_u32_u8(v), vdupq_n_u32(c))));
  }
  static uint8x16_t prefix(uint8x16_t v, std::size_t bytes) {
    static constexpr std::uint8_t kIndex[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    return vandq_u8(v, vcltq_u8(vld1q_u8(kIndex), vdupq_n_u8(static_cast<std::uint8_t>(bytes))));
  }
  // OR of every unit: the two halves, then the halves of what is left, down
  // to one unit.
  template <class Unit>
  static std::uint32_t unit_or(uint8x16_t v, Unit) {
    const uint64x2_t halves = vreinterpretq_u64_u8(v);
    std::uint64_t x = vgetq_lane_u64(halves, 0) | vgetq_lane_u64(halves, 1);
    x |= x >> 32;
    if constexpr (sizeof(Unit) < 4) x |= x >> 16;
    if constexpr (sizeof(Unit) < 2) x |= x >> 8;
    const auto low = static_cast<std::uint32_t>(x);
    return sizeof(Unit) == 4 ? low : low & ((1u << (8 * sizeof(Unit))) - 1);
  }
  // UTF-8 continuation bytes are those below -64 as signed bytes.
  static std::uint32_t continuations(uint8x16_t v) { return mask(vcltq_s8(vreinterpretq_s8_u8(v), vdupq_n_s8(-64))); }
  static uint8x16_t surrogates(uint8x16_t v, std::uint16_t) {
    const uint16x8_t units = vreinterpretq_u16_u8(v);
    return vreinterpretq_u8_u16(vceqq_u16(vandq_u16(units, vdupq_n_u16(0xF800)), vdupq_n_u16(0xD800)));
  }
  static uint8x16_t surrogates(uint8x16_t v, std::uint32_t) {
    const uint32x4_t units = vreinterpretq_u32_u8(v);
    return vreinterpretq_u8_u32(vceqq_u32(vandq_u32(units, vdupq_n_u32(0xFFFFF800u)), vdupq_n_u32(0xD800)));
  }
  // The plain loop, which the compiler vectorises for NEON.
  template <class Unit>
  static std::size_t utf8_length(const Unit* units, std::size_t n) {
    return utf8::encoded_length(units, n);
  }
};

constinit const TextKernels kNeonKernels = vector_kernels<Neon>(SimdLevel::kNeon);

}  // namespace

const TextKernels* neon_kernels() { return &kNeonKernels; }

}  // namespace text

#else

const text::TextKernels* text::neon_kernels() { return nullptr; }

#endif
