// The bits set in a 64-bit word. Where the build may use the POPCNT
// instruction (the AVX2 unit, compiled with it) it is one instruction;
// elsewhere (the baseline, which wheels build for every x86-64) a few
// shifts and a multiply, since __builtin_popcountll there is a call into
// the compiler's runtime library, which took 2% of a batch's time. Internal
// linkage, so that the two bodies never meet as one inline function.
#pragma once

#include <cstdint>

namespace text {
namespace {

inline unsigned bit_count(std::uint64_t x) {
#if defined(__POPCNT__)
  return static_cast<unsigned>(__builtin_popcountll(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555u);
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
  return static_cast<unsigned>((x * 0x0101010101010101u) >> 56);
#endif
}

}  // namespace
}  // namespace text
