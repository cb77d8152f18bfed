// The vector loops of text_runs.h at every level the processor has, against
// plain loops: a lane or a block edge handled wrongly would copy a unit
// wrongly, miss a `<` or a line feed, or let a wide character through as a
// narrow one.
#include "text/text_runs.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "test_support.h"
#include "text/platform.h"
#include "text/search.h"
#include "text/utf8.h"

namespace {

using tagmire_test::SimdLevels;

template <class Unit>
struct Expected {
  std::size_t length = 0;
  std::size_t first_lf = text::RunScan::kNone;
  std::size_t last_lf = text::RunScan::kNone;
  std::uint32_t unit_bits = 0;
  bool surrogate = false;
};

template <class Unit>
Expected<Unit> plain_scan(const std::vector<Unit>& text, std::size_t from) {
  Expected<Unit> e;
  std::size_t i = from;
  for (; i < text.size() && (i == from || text[i] != static_cast<Unit>('<')); ++i) {
    if (text[i] == static_cast<Unit>('\n')) {
      if (e.first_lf == text::RunScan::kNone) e.first_lf = i - from;
      e.last_lf = i - from;
    }
    e.unit_bits |= static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Unit>>(text[i]));
    if constexpr (sizeof(Unit) > 1) e.surrogate |= text[i] >= 0xD800 && text[i] <= 0xDFFF;
  }
  e.length = i - from;
  return e;
}

// Runs of every length up to several vectors, `<` and line feeds at every
// place, units that set each bit the callers test (0x80, 0x100, 0x10000).
template <class Unit>
void check_copy_run(const std::vector<std::uint32_t>& alphabet) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<std::size_t> length(0, 150);
  for (int round = 0; round < 3000; ++round) {
    std::vector<Unit> text(length(rng));
    // Mostly letters, so that runs reach past one vector.
    for (Unit& u : text) u = static_cast<Unit>(rng() % 8 == 0 ? alphabet[pick(rng)] : 'a');
    const std::size_t from = text.empty() ? 0 : rng() % text.size();
    const Expected<Unit> expected = plain_scan(text, from);
    for (const text::SimdLevel level : SimdLevels()) {
      text::use_simd_level(level);
      for (const bool want_bits : {true, false}) {
        // Sentinels before the output and after the room the caller must
        // give: nothing may land there (the last units of a text are read in
        // a vector that may begin before the run).
        std::vector<Unit> room(text.size() - from + 2, static_cast<Unit>(0x55));
        Unit* const out = room.data() + 1;
        const text::RunScan run = text::copy_run(text.data(), from, text.size(), out, want_bits);
        const auto where = ::testing::Message() << "level " << static_cast<int>(level) << " from " << from
                                                << " of " << text.size();
        ASSERT_EQ(run.length, expected.length) << where;
        ASSERT_EQ(run.first_lf, expected.first_lf) << where;
        ASSERT_EQ(run.last_lf, expected.last_lf) << where;
        ASSERT_EQ(room.front(), static_cast<Unit>(0x55)) << where;
        ASSERT_EQ(room.back(), static_cast<Unit>(0x55)) << where;
        ASSERT_EQ(run.surrogate, expected.surrogate) << where;
        for (std::size_t k = 0; k < run.length; ++k) ASSERT_EQ(out[k], text[from + k]) << where << " unit " << k;
        if (want_bits) {
          ASSERT_EQ(run.unit_bits, expected.unit_bits) << where;
        } else {
          // Never a bit that no copied unit has: a text would come out wider.
          ASSERT_EQ(run.unit_bits & ~expected.unit_bits, 0u) << where;
        }
      }
    }
  }
  text::use_simd_level(text::best_simd_level());
}

TEST(TextRuns, CopyRunAgreesWithAPlainLoopAtEveryLevel) {
  check_copy_run<char>({'<', '\n', '>', ' ', 0x3C + 0x80, 0x0A + 0x80});
  check_copy_run<std::uint8_t>({'<', '\n', 0x80, 0xFF, 0xBC, 0x8A});
  // Units whose low byte is `<` or a line feed are neither.
  // Surrogates and their neighbours too: a run reports whether it copied one.
  check_copy_run<std::uint16_t>({'<', '\n', 0x80, 0xFF, 0x100, 0x3C00, 0x013C, 0x010A, 0xFFFF, 0xD800, 0xDFFF, 0xD7FF, 0xE000});
  check_copy_run<std::uint32_t>({'<', '\n', 0x80, 0x100, 0x10000, 0x1003C, 0x3C00, 0x10FFFF, 0xD800, 0xDC00, 0x1D800});
}

template <class Unit>
void check_surrogates() {
  for (const text::SimdLevel level : SimdLevels()) {
    text::use_simd_level(level);
    for (std::size_t n = 0; n < 140; n += 7) {
      std::vector<Unit> units(n, static_cast<Unit>(0xD7FF));
      // Both neighbours of the range, and units that share its high bits
      // only in part.
      for (std::size_t k = 0; k < n; ++k) units[k] = static_cast<Unit>(k % 2 ? 0xE000 : 0xD7FF);
      if constexpr (sizeof(Unit) == 4) {
        if (n > 0) units[n / 2] = 0x1D800;
      }
      ASSERT_FALSE(text::has_surrogate(units.data(), n)) << n;
      for (std::size_t k = 0; k < n; ++k) {
        for (const Unit surrogate : {Unit{0xD800}, Unit{0xDBFF}, Unit{0xDC00}, Unit{0xDFFF}}) {
          auto changed = units;
          changed[k] = surrogate;
          ASSERT_TRUE(text::has_surrogate(changed.data(), n)) << "level " << static_cast<int>(level) << " at " << k;
        }
      }
    }
  }
  text::use_simd_level(text::best_simd_level());
}

TEST(TextRuns, EverySurrogateIsFoundAtEveryLevel) {
  check_surrogates<std::uint16_t>();
  check_surrogates<std::uint32_t>();
}

// The needle at every place of inputs up to several vectors long, with
// units whose low byte equals it around it, and a zero needle, which the
// padding of a short tail holds too.
template <class Unit>
void check_find() {
  for (const text::SimdLevel level : SimdLevels()) {
    text::use_simd_level(level);
    for (const Unit needle : {Unit{'>'}, Unit{0}}) {
      for (std::size_t n = 0; n < 80; ++n) {
        std::vector<Unit> units(n, static_cast<Unit>(needle + 0x100));
        for (std::size_t from = 0; from <= n; from += 3) {
          ASSERT_EQ(text::find_unit(units.data(), from, n, needle), n) << n;
          for (std::size_t k = from; k < n; ++k) {
            auto changed = units;
            changed[k] = needle;
            // One just before the search begins, which the last vector may read.
            if (from > 0) changed[from - 1] = needle;
            ASSERT_EQ(text::find_unit(changed.data(), from, n, needle), k)
                << "level " << static_cast<int>(level) << " n " << n << " from " << from;
          }
        }
      }
    }
  }
  text::use_simd_level(text::best_simd_level());
}

TEST(TextRuns, WideSearchesFindEveryPlaceAtEveryLevel) {
  check_find<std::uint16_t>();
  check_find<std::uint32_t>();
}

// Units on both sides of every UTF-8 length step, in inputs long enough
// for the vector lanes to be summed several times.
template <class Unit>
void check_utf8_length(const std::vector<std::uint32_t>& steps) {
  std::mt19937 rng(5);
  for (const std::size_t n : {0, 1, 31, 33, 2047, 2049, 5000, 70000}) {
    std::vector<Unit> units(n);
    for (Unit& u : units) u = static_cast<Unit>(rng() % 4 == 0 ? steps[rng() % steps.size()] : 'a');
    // A whole input of the longest units: every lane reaches its largest count.
    std::vector<Unit> widest(n, static_cast<Unit>(steps.back()));
    for (const text::SimdLevel level : SimdLevels()) {
      text::use_simd_level(level);
      ASSERT_EQ(text::utf8_length(units.data(), n), text::utf8::encoded_length(units.data(), n))
          << "level " << static_cast<int>(level) << " n " << n;
      ASSERT_EQ(text::utf8_length(widest.data(), n), text::utf8::encoded_length(widest.data(), n)) << n;
    }
  }
  text::use_simd_level(text::best_simd_level());
}

TEST(TextRuns, Utf8LengthsAgreeAtEveryLevel) {
  check_utf8_length<std::uint8_t>({0x7F, 0x80, 0xFF});
  check_utf8_length<std::uint16_t>({0x7F, 0x80, 0x7FF, 0x800, 0x8000, 0xD7FF, 0xE000, 0xFFFF});
  check_utf8_length<std::uint32_t>({0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF});
}

// Texts of every length around the 64-byte words, characters of each width
// straddling word and vector edges; every offset that begins a character,
// and the text's end, against a plain count. A word built from the wrong
// bytes, or a count carried wrongly from word to word, gives a wrong offset.
TEST(TextRuns, LevelsAreClampedToTheProcessor) {
  EXPECT_EQ(text::use_simd_level(text::SimdLevel::kScalar), text::SimdLevel::kScalar);
  EXPECT_EQ(text::use_simd_level(text::SimdLevel::kAvx2), text::best_simd_level());
  EXPECT_EQ(text::simd_level(), text::best_simd_level());
  // A 16-byte level of the other architecture stands for this one's.
  const text::SimdLevel sixteen = text::simd_level_runs(text::SimdLevel::kNeon) ? text::SimdLevel::kNeon
                                  : text::simd_level_runs(text::SimdLevel::kSse2) ? text::SimdLevel::kSse2
                                                                                  : text::SimdLevel::kScalar;
  EXPECT_EQ(text::use_simd_level(text::SimdLevel::kSse2), sixteen);
  EXPECT_EQ(text::use_simd_level(text::SimdLevel::kNeon), sixteen);
  text::use_simd_level(text::best_simd_level());
}

// The level of the first use in this process, before any test sets one.
const text::SimdLevel level_at_start = text::simd_level();

TEST(TextRuns, TheFirstUseTakesTheLevelTheEnvironmentNames) {
  // CI runs this binary with TAGMIRE_SIMD set too.
  EXPECT_EQ(level_at_start, text::simd_level_for(std::getenv("TAGMIRE_SIMD")));
}

TEST(TextRuns, ABuildForAVectorArchitectureRunsItsLevel) {
  // The level files are compiled for every target and empty for all but
  // their own: a wrong guard or a missing file leaves the plain loops alone.
#if TAGMIRE_NEON
  EXPECT_EQ(text::best_simd_level(), text::SimdLevel::kNeon);
#elif TAGMIRE_X86_64
  EXPECT_TRUE(text::simd_level_runs(text::SimdLevel::kSse2));
  EXPECT_NE(text::best_simd_level(), text::SimdLevel::kScalar);
#else
  EXPECT_EQ(text::best_simd_level(), text::SimdLevel::kScalar);
#endif
  EXPECT_TRUE(text::simd_level_runs(text::SimdLevel::kScalar));
}

TEST(TextRuns, TheEnvironmentVariableNamesALevelOrFallsToPlain) {
  EXPECT_EQ(text::simd_level_for(nullptr), text::best_simd_level());
  for (const text::SimdLevel level : SimdLevels()) {
    EXPECT_EQ(text::simd_level_named(text::simd_level_name(level)), level);
    EXPECT_EQ(text::simd_level_for(std::string(text::simd_level_name(level)).c_str()), level);
  }
  // A level the processor lacks gives the widest it has below it; a name
  // that is no level's, the plain loops.
  EXPECT_EQ(text::simd_level_for("avx2"), text::best_simd_level());
  for (const char* unknown : {"", "AVX2", "avx512", "sse2 ", "scalar"}) {
    EXPECT_EQ(text::simd_level_named(unknown), std::nullopt) << unknown;
    EXPECT_EQ(text::simd_level_for(unknown), text::SimdLevel::kScalar) << unknown;
  }
}

}  // namespace
