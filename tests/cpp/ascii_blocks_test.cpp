#include "text/ascii_blocks.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>

namespace {

// Every width, with one unit above ASCII at every place of the block, and
// with none: a lane the check misses would narrow a character to garbage,
// and a wrong count would drop or repeat units.
template <class Unit>
void check_narrowing(const std::array<Unit, 3>& wide_units) {
  std::array<Unit, text::kAsciiBlock> units{};
  for (std::size_t k = 0; k < units.size(); ++k) units[k] = static_cast<Unit>('a' + k);
  char out[text::kAsciiBlock];
  ASSERT_EQ(text::narrow_ascii_prefix(units.data(), out), text::kAsciiBlock);
  EXPECT_EQ(std::string(out, sizeof out), "abcdefghijklmnop");
  units[15] = 0x7F;
  ASSERT_EQ(text::narrow_ascii_prefix(units.data(), out), text::kAsciiBlock);
  EXPECT_EQ(out[15], '\x7F');
  for (const Unit wide : wide_units) {
    for (std::size_t k = 0; k < units.size(); ++k) {
      auto changed = units;
      changed[k] = wide;
      if (k + 1 < units.size()) changed[units.size() - 1] = wide;  // a later one does not count
      ASSERT_EQ(text::narrow_ascii_prefix(changed.data(), out), k) << "unit " << +wide << " at " << k;
      EXPECT_EQ(std::string(out, k), std::string("abcdefghijklmnop", k));
    }
  }
}

TEST(AsciiBlocks, NarrowsTheAsciiAtTheStartOfABlock) {
  check_narrowing<std::uint8_t>({0x80, 0xE9, 0xFF});
  check_narrowing<std::uint16_t>({0x80, 0x100, 0xFF7F});
  check_narrowing<std::uint32_t>({0x80, 0x10000, 0x10FF7F});
}

// Counted against a plain per-byte count, at every length around the block
// size and past the 255 blocks a lane holds.
TEST(AsciiBlocks, CountsUtf8Characters) {
  const std::string pieces[] = {"a", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80", "<"};
  std::mt19937 random(7);
  std::string text;
  while (text.size() < 16 * 300) text += pieces[random() % 5];
  for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 33u, 255u * 16u, 255u * 16u + 5u, 16u * 300u}) {
    std::size_t expected = 0;
    for (std::size_t i = 0; i < size; ++i) expected += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
    EXPECT_EQ(text::count_utf8_chars(text.data(), size), expected) << size;
  }
}

}  // namespace
