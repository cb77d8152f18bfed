// The loops of text_runs.h written once over a vector type: each
// translation unit that includes this file instantiates them for the
// vectors it is compiled for (SSE2 in text_runs.cpp, AVX2 in
// text_runs_avx2.cpp, NEON in text_runs_neon.cpp), with internal linkage,
// so that no AVX2 code can be shared with code that runs where the
// processor lacks it. vector_kernels makes a level's TextKernels of them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "text/bit_count.h"
#include "text/text_kernels.h"
#include "text/text_runs.h"

namespace text {
namespace {

// A run's unit in plain code: the tail after the last whole vector, and
// the scalar level.
template <class Unit>
inline bool scan_unit(const Unit* text, std::size_t i, std::size_t from, Unit* out, RunScan& scan) {
  const Unit u = text[i];
  if (i != from && u == static_cast<Unit>('<')) return false;
  out[i - from] = u;
  scan.unit_bits |= static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Unit>>(u));
  if constexpr (sizeof(Unit) > 1) scan.surrogate |= (u & ~Unit{0x7FF}) == 0xD800u;
  if (u == static_cast<Unit>('\n')) {
    if (scan.first_lf == RunScan::kNone) scan.first_lf = i - from;
    scan.last_lf = i - from;
  }
  return true;
}

template <class Unit>
RunScan copy_run_plain(const Unit* text, std::size_t from, std::size_t to, Unit* out) {
  RunScan scan;
  std::size_t i = from;
  while (i < to && scan_unit(text, i, from, out, scan)) ++i;
  scan.length = i - from;
  return scan;
}

// The last `left` units at `units` (fewer than a vector) as one vector,
// padded with zero units: the tails of the loops below, which must not read
// past the text.
template <class V, class Unit>
inline auto load_tail(const Unit* units, std::size_t left) {
  Unit tail[V::kBytes / sizeof(Unit)] = {};
  std::memcpy(tail, units, left * sizeof(Unit));
  return V::load(tail);
}

// Notes the line feeds of one vector in `scan`: bit b of `lfs` set where
// byte b, at `offset` units into the run, belongs to a line feed.
template <class Unit>
inline void note_line_feeds(RunScan& scan, std::size_t offset, std::uint32_t lfs) {
  if (lfs == 0) return;
  if (scan.first_lf == RunScan::kNone) {
    scan.first_lf = offset + static_cast<std::size_t>(std::countr_zero(lfs)) / sizeof(Unit);
  }
  scan.last_lf = offset + static_cast<std::size_t>(31 - std::countl_zero(lfs)) / sizeof(Unit);
}

// Copies `n` bytes, fewer than 32, with two overlapping moves of the
// largest width that fits: no call into the library for the last few
// units of a text.
inline void copy_short(void* to, const void* from, std::size_t n) {
  auto* out = static_cast<char*>(to);
  const auto* in = static_cast<const char*>(from);
  const auto two_moves = [&](auto width) {
    constexpr std::size_t k = decltype(width)::value;
    char head[k];
    char tail[k];
    std::memcpy(head, in, k);
    std::memcpy(tail, in + n - k, k);
    std::memcpy(out, head, k);
    std::memcpy(out + n - k, tail, k);
  };
  if (n >= 16) {
    two_moves(std::integral_constant<std::size_t, 16>{});
  } else if (n >= 8) {
    two_moves(std::integral_constant<std::size_t, 8>{});
  } else if (n >= 4) {
    two_moves(std::integral_constant<std::size_t, 4>{});
  } else if (n >= 2) {
    two_moves(std::integral_constant<std::size_t, 2>{});
  } else if (n == 1) {
    *out = *in;
  }
}

// `V` offers: kBytes; load/store; mask, the top bit of each byte, one bit
// per byte; equal(vector, unit) as such a mask (a unit's bits all set when
// it matches); prefix(vector, bytes) keeping only the first `bytes` bytes;
// bitor_ and bitxor_; unit_or, the OR of every unit; surrogates(vector,
// unit), each unit's bits all set where it is a surrogate; continuations,
// the mask of UTF-8 continuation bytes; and utf8_length(units, n), for
// vector_kernels below.

// The last units of a run that reaches the end of the text, text[i, to),
// fewer than a vector, when the text holds a whole vector before `to`:
// they are read in the vector that ends at `to`, whose first units were
// already scanned (a copy padded to a vector would be loaded while its
// stores are still in flight, and wait for them). Their copy is that whole
// vector when it lies within the run (its first units are rewritten with
// what they already hold), else a short copy. `skip` masks the run's first
// unit when `i` is where the run begins; `bits` and `surrogates` hold what
// the run's whole vectors gathered.
template <class V, class Unit, class Vector>
inline RunScan copy_last_units(const Unit* text, std::size_t from, std::size_t i, std::size_t to, Unit* out,
                               bool want_bits, std::uint32_t skip, Vector bits, Vector surrogates, RunScan scan) {
  constexpr std::size_t kUnits = V::kBytes / sizeof(Unit);
  const std::size_t start = to - kUnits;
  // Bytes of the vector before i: at least one unit's, fewer than the vector's.
  const auto done = static_cast<unsigned>((i - start) * sizeof(Unit));
  const auto block = V::load(text + start);
  const std::uint32_t lts = (V::equal(block, static_cast<Unit>('<')) >> done) & ~skip;
  std::uint32_t lfs = V::equal(block, static_cast<Unit>('\n')) >> done;
  const std::size_t before = lts != 0 ? static_cast<std::size_t>(std::countr_zero(lts)) : (to - i) * sizeof(Unit);
  if (start >= from) {
    V::store(out + (start - from), block);
  } else {
    copy_short(out + (i - from), text + i, before);
  }
  lfs &= (std::uint32_t{1} << before) - 1;  // before < kBytes <= 32
  note_line_feeds<Unit>(scan, i - from, lfs);
  // The run's bytes of the vector, [done, done + before).
  const auto in_run = [&](auto v) { return V::bitxor_(V::prefix(v, done + before), V::prefix(v, done)); };
  if (want_bits) scan.unit_bits |= V::unit_or(V::bitor_(bits, in_run(block)), Unit{});
  if constexpr (sizeof(Unit) > 1) {
    scan.surrogate |= V::mask(V::bitor_(surrogates, in_run(V::surrogates(block, Unit{})))) != 0;
  }
  scan.length = i - from + before / sizeof(Unit);
  return scan;
}

// copy_run a vector at a time. The units' bits are gathered only when
// `want_bits`.
template <class V, class Unit>
inline RunScan copy_run_vector(const Unit* text, std::size_t from, std::size_t to, Unit* out, bool want_bits) {
  constexpr std::size_t kUnits = V::kBytes / sizeof(Unit);
  RunScan scan;
  if (from >= to) return scan;
  // The first unit may be the `<` that began nothing: its match is skipped.
  std::uint32_t skip = (std::uint32_t{1} << sizeof(Unit)) - 1;
  std::size_t i = from;
  auto bits = V::zero();
  auto surrogates = V::zero();
  const Unit lt = static_cast<Unit>('<');
  const Unit lf = static_cast<Unit>('\n');
  for (; i + kUnits <= to; i += kUnits, skip = 0) {
    const auto block = V::load(text + i);
    V::store(out + (i - from), block);
    const std::uint32_t lts = V::equal(block, lt) & ~skip;
    std::uint32_t lfs = V::equal(block, lf);
    if (lts != 0) {
      const auto before = static_cast<std::size_t>(std::countr_zero(lts));  // bytes before the `<`
      lfs &= (std::uint32_t{1} << before) - 1;  // `before` < 32: a `<` takes at least one byte
      if (want_bits) bits = V::bitor_(bits, V::prefix(block, before));
      if constexpr (sizeof(Unit) > 1) {
        surrogates = V::bitor_(surrogates, V::prefix(V::surrogates(block, Unit{}), before));
      }
      note_line_feeds<Unit>(scan, i - from, lfs);
      if (want_bits) scan.unit_bits |= V::unit_or(bits, Unit{});
      scan.surrogate |= V::mask(surrogates) != 0;
      scan.length = i - from + before / sizeof(Unit);
      return scan;
    }
    bits = V::bitor_(bits, block);
    if constexpr (sizeof(Unit) > 1) surrogates = V::bitor_(surrogates, V::surrogates(block, Unit{}));
    note_line_feeds<Unit>(scan, i - from, lfs);
  }
  if (i != to && to >= kUnits) return copy_last_units<V>(text, from, i, to, out, want_bits, skip, bits, surrogates, scan);
  if (want_bits) scan.unit_bits |= V::unit_or(bits, Unit{});
  scan.surrogate |= V::mask(surrogates) != 0;
  if (i == to) {
    scan.length = i - from;
    return scan;
  }
  const std::size_t left = to - i;
  // The last units of an input shorter than a vector: one more vector step
  // over a copy padded with zero units, which are neither `<` nor line
  // feeds and set no bits.
  const auto block = load_tail<V>(text + i, left);
  const std::uint32_t lts = V::equal(block, lt) & ~skip;
  std::uint32_t lfs = V::equal(block, lf);
  const std::size_t before = lts != 0 ? static_cast<std::size_t>(std::countr_zero(lts)) : left * sizeof(Unit);
  std::memcpy(out + (i - from), text + i, before);
  if (before < 32) lfs &= (std::uint32_t{1} << before) - 1;
  note_line_feeds<Unit>(scan, i - from, lfs);
  if (want_bits) scan.unit_bits |= V::unit_or(V::prefix(block, before), Unit{});
  if constexpr (sizeof(Unit) > 1) scan.surrogate |= V::mask(V::prefix(V::surrogates(block, Unit{}), before)) != 0;
  scan.length = i - from + before / sizeof(Unit);
  return scan;
}

// The first `needle` in text[from, to), or `to`.
template <class V, class Unit>
inline std::size_t find_unit_vector(const Unit* text, std::size_t from, std::size_t to, Unit needle) {
  constexpr std::size_t kUnits = V::kBytes / sizeof(Unit);
  std::size_t i = from;
  for (; i + kUnits <= to; i += kUnits) {
    if (const std::uint32_t hits = V::equal(V::load(text + i), needle)) {
      return i + static_cast<std::size_t>(std::countr_zero(hits)) / sizeof(Unit);
    }
  }
  if (i == to) return to;
  const std::size_t left = to - i;
  if (to >= kUnits) {
    // The vector that ends with the text, without its units already searched.
    const auto done = static_cast<unsigned>((kUnits - left) * sizeof(Unit));
    const std::uint32_t hits = V::equal(V::load(text + to - kUnits), needle) >> done;
    return hits != 0 ? i + static_cast<std::size_t>(std::countr_zero(hits)) / sizeof(Unit) : to;
  }
  // The padding may equal the needle: only the copied units count.
  const std::uint32_t hits = V::equal(load_tail<V>(text + i, left), needle) & ((std::uint32_t{1} << (left * sizeof(Unit))) - 1);
  return hits != 0 ? i + static_cast<std::size_t>(std::countr_zero(hits)) / sizeof(Unit) : to;
}

// The first byte at or after `from` that is not ASCII, or `size`: four
// vectors a step through long ASCII stretches.
template <class V>
inline std::size_t skip_ascii_vector(const char* data, std::size_t from, std::size_t size) {
  std::size_t i = from;
  for (; i + 4 * V::kBytes <= size; i += 4 * V::kBytes) {
    const auto any = V::bitor_(V::bitor_(V::load(data + i), V::load(data + i + V::kBytes)),
                               V::bitor_(V::load(data + i + 2 * V::kBytes), V::load(data + i + 3 * V::kBytes)));
    if (V::mask(any) != 0) break;
  }
  for (; i + V::kBytes <= size; i += V::kBytes) {
    if (const std::uint32_t high = V::mask(V::load(data + i))) {
      return i + static_cast<std::size_t>(std::countr_zero(high));
    }
  }
  while (i < size && static_cast<unsigned char>(data[i]) < 0x80) ++i;
  return i;
}

template <class Unit>
inline bool has_surrogate_plain(const Unit* units, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    if ((units[i] & ~Unit{0x7FF}) == 0xD800u) return true;
  }
  return false;
}

// Whether any unit lies in [0xD800, 0xDFFF]: (u & ~0x7FF) == 0xD800.
template <class V, class Unit>
inline bool has_surrogate_vector(const Unit* units, std::size_t length) {
  constexpr std::size_t kUnits = V::kBytes / sizeof(Unit);
  // Most calls are one tag's units, often fewer than a vector holds: one at
  // a time, rather than a copy padded to a whole vector, whose load waits
  // on the copy's stores.
  if (length < kUnits) return has_surrogate_plain(units, length);
  std::size_t i = 0;
  // Four vectors a step, tested together.
  for (; i + 4 * kUnits <= length; i += 4 * kUnits) {
    const auto a = V::bitor_(V::surrogates(V::load(units + i), Unit{}),
                             V::surrogates(V::load(units + i + kUnits), Unit{}));
    const auto b = V::bitor_(V::surrogates(V::load(units + i + 2 * kUnits), Unit{}),
                             V::surrogates(V::load(units + i + 3 * kUnits), Unit{}));
    if (V::mask(V::bitor_(a, b)) != 0) return true;
  }
  for (; i + kUnits <= length; i += kUnits) {
    if (V::mask(V::surrogates(V::load(units + i), Unit{})) != 0) return true;
  }
  // The last units in the vector that ends with them, which tests some
  // units twice.
  return i != length && V::mask(V::surrogates(V::load(units + length - kUnits), Unit{})) != 0;
}

// The plain level's one vector: a byte at a time, for continuation_words.
// utf8::is_continuation's test, written here because this header includes
// no inline function of external linkage that the AVX2 unit would compile.
struct Plain {
  static constexpr std::size_t kBytes = 1;
  static char load(const char* p) { return *p; }
  static std::uint32_t continuations(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
};

// Bit i of words[i / 64] set where data[i] is a continuation byte, and
// before[w] the bits set in the words before w, for the size / 64 + 1 words
// that cover the text and its end. Returns how many are set.
template <class V>
inline std::size_t continuation_words_vector(const char* data, std::size_t size, std::uint64_t* words,
                                             std::size_t* before) {
  std::size_t set = 0;
  std::size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    std::uint64_t word = 0;
    for (std::size_t k = 0; k < 64; k += V::kBytes) word |= std::uint64_t{V::continuations(V::load(data + i + k))} << k;
    *words++ = word;
    *before++ = set;
    set += bit_count(word);
  }
  // The last word a byte at a time (once a text, and never past its end);
  // empty when the text fills its words.
  std::uint64_t word = 0;
  for (std::size_t k = 0; i + k < size; ++k) word |= std::uint64_t{Plain::continuations(data[i + k])} << k;
  *words = word;
  *before = set;
  return set + bit_count(word);
}

// A level's TextKernels from the loops above over its vector type `V`,
// which also gives the level's utf8_length (the plain loop, which the
// compiler vectorises, unless the level has better).
template <class V>
constexpr TextKernels vector_kernels(SimdLevel level) {
  return {
      level,
      &copy_run_vector<V, char>,
      &copy_run_vector<V, std::uint8_t>,
      &copy_run_vector<V, std::uint16_t>,
      &copy_run_vector<V, std::uint32_t>,
      &find_unit_vector<V, std::uint16_t>,
      &find_unit_vector<V, std::uint32_t>,
      &skip_ascii_vector<V>,
      &V::template utf8_length<std::uint8_t>,
      &V::template utf8_length<std::uint16_t>,
      &V::template utf8_length<std::uint32_t>,
      &continuation_words_vector<V>,
      &has_surrogate_vector<V, std::uint16_t>,
      &has_surrogate_vector<V, std::uint32_t>,
  };
}

}  // namespace
}  // namespace text
