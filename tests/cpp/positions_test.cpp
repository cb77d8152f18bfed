// The one mapper between a text's units and its other measure, asked as its
// callers ask it: forward, back, again, over texts longer than the span
// between its remembered points, and over a text dropped at its front.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "text/positions.h"

namespace {

using namespace tagmire_test;

// The other measure before every position, counted plainly.
std::vector<std::size_t> plain_counts(const std::string& utf8) {
  std::vector<std::size_t> counts(utf8.size() + 1);
  for (std::size_t i = 0, chars = 0; i <= utf8.size(); ++i) {
    counts[i] = chars;
    if (i < utf8.size()) chars += (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80;
  }
  return counts;
}

std::string random_text(std::mt19937& rng, std::size_t size) {
  const std::vector<std::string> pieces = {"a", "\xc3\xa9", "\xe6\x9d\xb1", "\xf0\x9f\x99\x82", "\n", "<"};
  const unsigned ascii_share = rng() % 2 == 0 ? 1 : 7;
  std::string utf8;
  while (utf8.size() < size) utf8 += rng() % 8 < ascii_share ? pieces[0] : pieces[1 + rng() % 5];
  return utf8;
}

TEST(Positions, CharactersOfUtf8BytesAskedInAnyOrderAtEveryLevel) {
  std::mt19937 rng(5);
  text::PositionMap<char> chars;  // one for every text, as a batch thread keeps it
  for (int round = 0; round < 300; ++round) {
    const std::string utf8 = random_text(rng, round < 100 ? round : rng() % 20000);
    const std::vector<std::size_t> expected = plain_counts(utf8);
    std::vector<std::size_t> boundaries;
    for (std::size_t i = 0; i <= utf8.size(); ++i) {
      if (i == utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) boundaries.push_back(i);
    }
    for (const text::SimdLevel level : SimdLevels()) {
      text::use_simd_level(level);
      chars.reset();
      // Forward, as records ask; then at random, back and forth.
      for (const std::size_t i : boundaries) ASSERT_EQ(chars.at(i, utf8.data()), expected[i]) << i;
      for (int k = 0; k < 50; ++k) {
        const std::size_t i = boundaries[rng() % boundaries.size()];
        ASSERT_EQ(chars.at(i, utf8.data()), expected[i]) << i << " of " << utf8.size();
      }
      // Indexed whole, as a batch's row is: a longer text indexed before
      // must leave nothing behind.
      chars.index(utf8.data(), utf8.size());
      for (int k = 0; k < 100; ++k) {
        const std::size_t i = boundaries[rng() % boundaries.size()];
        ASSERT_EQ(chars.at(i, utf8.data()), expected[i]) << i << " of " << utf8.size() << " indexed";
      }
    }
  }
  text::use_simd_level(text::best_simd_level());
}

// A stream's held text: it grows at its end and is dropped at its front,
// and its copy moves; positions stay those of the whole text.
TEST(Positions, AHeldTextThatGrowsAndIsDroppedKeepsWholeTextPositions) {
  std::mt19937 rng(6);
  const std::string whole = random_text(rng, 60000);
  const std::vector<std::size_t> expected = plain_counts(whole);
  text::PositionMap<char> chars;
  std::size_t dropped = 0;
  for (std::size_t end = 0; end < whole.size();) {
    end = std::min(whole.size(), end + 1 + rng() % 3000);
    if (rng() % 3 == 0) {
      std::size_t drop = dropped + rng() % (end - dropped + 1);
      while (drop < end && (static_cast<unsigned char>(whole[drop]) & 0xC0) == 0x80) ++drop;
      dropped = drop;
      chars.start_at(dropped, expected[dropped]);
    }
    const std::string held = whole.substr(dropped, end - dropped);  // a fresh copy each time
    for (int k = 0; k < 20; ++k) {
      std::size_t i = dropped + rng() % (end - dropped + 1);
      while (i < end && (static_cast<unsigned char>(whole[i]) & 0xC0) == 0x80) ++i;
      ASSERT_EQ(chars.at(i, held.data(), dropped), expected[i]) << i;
    }
  }
}

// The units of a str of each width: UTF-8 bytes before each character.
template <class Unit>
void check_wide(std::mt19937& rng, char32_t top) {
  std::vector<Unit> units(rng() % 12000);
  std::vector<std::size_t> expected(units.size() + 1);
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t cp = rng() % 4 == 0 ? static_cast<char32_t>(rng() % (top + 1)) : U'a';
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = U'b';
    units[i] = static_cast<Unit>(cp);
    expected[i + 1] = expected[i] + (cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4);
  }
  text::PositionMap<Unit> bytes;
  for (std::size_t i = 0; i <= units.size(); ++i) ASSERT_EQ(bytes.at(i, units.data()), expected[i]);
  for (int k = 0; k < 200; ++k) {
    const std::size_t i = rng() % (units.size() + 1);
    ASSERT_EQ(bytes.at(i, units.data()), expected[i]);
  }
}

TEST(Positions, Utf8BytesOfTheCharactersOfEveryWidth) {
  std::mt19937 rng(7);
  for (int round = 0; round < 40; ++round) {
    check_wide<std::uint8_t>(rng, 0xFF);
    check_wide<std::uint16_t>(rng, 0xFFFF);
    check_wide<std::uint32_t>(rng, 0x10FFFF);
  }
}

}  // namespace
