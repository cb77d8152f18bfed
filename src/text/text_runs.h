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

// Copies text[from, end) to `out` and describes it, where `end` is the
// first `<` in text[from + 1, to), or `to`: text[from] itself is copied
// whatever it is (a `<` that began nothing). `out` must have room for
// `to - from` units: whole vectors are stored, and the units stored past
// `end` are left for the caller to overwrite. The units' bits are all
// gathered only when `want_bits`: a caller that knows its text's form
// already saves that work.
RunScan copy_run(const char* text, std::size_t from, std::size_t to, char* out, bool want_bits);
RunScan copy_run(const std::uint8_t* text, std::size_t from, std::size_t to, std::uint8_t* out, bool want_bits);
RunScan copy_run(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t* out, bool want_bits);
RunScan copy_run(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t* out, bool want_bits);

// The first `needle` in text[from, to) of two- or four-byte units, or
// `to` (search.h's find_unit for those forms).
std::size_t find_wide_unit(const std::uint16_t* text, std::size_t from, std::size_t to, std::uint16_t needle);
std::size_t find_wide_unit(const std::uint32_t* text, std::size_t from, std::size_t to, std::uint32_t needle);

// The first byte of data[from, size) that is not ASCII, or `size`.
std::size_t skip_ascii(const char* data, std::size_t from, std::size_t size);

// Bytes of the UTF-8 form of `n` units of a one-unit form (Latin-1, UCS-2
// or UCS-4, no surrogates).
std::size_t utf8_length(const std::uint8_t* units, std::size_t n);
std::size_t utf8_length(const std::uint16_t* units, std::size_t n);
std::size_t utf8_length(const std::uint32_t* units, std::size_t n);

// Sets bit i % 64 of words[i / 64] where data[i] is a UTF-8 continuation
// byte (10xxxxxx), for every i below `size`, and clears the rest; before[w]
// is the count of bits set in the words before w. Both arrays take
// size / 64 + 1 entries, so that the text's end has a word too. Returns how
// many bits are set.
std::size_t continuation_words(const char* data, std::size_t size, std::uint64_t* words, std::size_t* before);

// From this many units up, has_surrogate tests whole vectors only, at every
// level. A caller with fewer units to test may extend them back over units
// of the same text: a surrogate there is one in its text all the same.
inline constexpr std::size_t kSurrogateSpan = 16;

// Whether any of `length` units is a surrogate (U+D800 to U+DFFF), which
// a str may hold and UTF-8 cannot.
bool has_surrogate(const std::uint16_t* units, std::size_t length);
bool has_surrogate(const std::uint32_t* units, std::size_t length);

}  // namespace text
