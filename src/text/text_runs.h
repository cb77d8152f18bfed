// Copying one text run of the walk in a single pass: the units up to the
// next `<` are copied out while the same vector loads find that `<`, the
// line feeds of the run and the bits its units set. Searching for the `<`,
// copying, and searching the copy for line feeds backwards and forwards
// were four passes over the same units. AVX2 is used where the processor
// has it, chosen once at run time; SSE2, which every x86-64 processor has,
// is the baseline.
#pragma once

#include <cstddef>
#include <cstdint>

namespace text {

// The instruction sets the vector code may use.
enum class SimdLevel : std::uint8_t {
  kScalar,  // plain loops (also what non-x86 builds run)
  kSse2,    // 16 bytes a step
  kAvx2,    // 32 bytes a step
};

// The best level this processor runs.
SimdLevel best_simd_level();
// The level in use: the best one, unless lowered by `use_simd_level`.
SimdLevel simd_level();
// Uses `level`, or the best one below it that the processor has; returns the
// level now in use. For tests, which prove that every level gives the same
// results: not for use while another thread parses.
SimdLevel use_simd_level(SimdLevel level);

// What copy_run found, as offsets from the run's start.
struct RunScan {
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t length = 0;         // units copied: up to the `<` or the end
  std::size_t first_lf = kNone;   // the run's first line feed, or kNone
  std::size_t last_lf = kNone;    // its last one
  std::uint32_t unit_bits = 0;    // the units copied, ORed together (or some of them: see copy_run)
  bool surrogate = false;         // a unit copied is a surrogate (two- and four-byte units)
};

// From this many units up, has_surrogate tests whole vectors only, at every
// level. A caller with fewer units to test may extend them back over units
// of the same text: a surrogate there is one in its text all the same.
inline constexpr std::size_t kSurrogateSpan = 16;

// The functions that run at the level in use, listed once in
// text_runs_functions.inc, which text_runs.cpp includes again inside
// text::avx2 for the builds of text_runs_avx2.cpp that it calls.
#include "text/text_runs_functions.inc"

}  // namespace text
