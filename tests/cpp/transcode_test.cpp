#include "text/transcode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

// One character at a time, with no blocks: what the encoder must match.
template <class Unit>
std::string plain_utf8(const std::vector<Unit>& units) {
  std::string out;
  for (const Unit unit : units) {
    std::uint32_t cp = unit;
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

// ASCII with wide characters scattered at every density, alone and in
// runs, at lengths around the block: each unit is encoded once, in order,
// and the room the encoder is given is never overrun (the sanitizer builds
// catch a write past it).
template <class Unit>
void check_encoding(const std::vector<std::uint32_t>& wide, std::uint32_t surrogate) {
  std::mt19937 random(11);
  for (int round = 0; round < 400; ++round) {
    const std::size_t length = random() % 70;
    const unsigned density = 1 + random() % 8;
    std::vector<Unit> units(length);
    for (Unit& unit : units) {
      unit = static_cast<Unit>(random() % density == 0 ? wide[random() % wide.size()] : 'a' + random() % 26);
    }
    std::string out(text::utf8_room(length, sizeof(Unit)), '\0');
    char* end = text::encode_utf8(units.data(), length, out.data());
    ASSERT_NE(end, nullptr);
    out.resize(static_cast<std::size_t>(end - out.data()));
    ASSERT_EQ(out, plain_utf8(units)) << "round " << round;
    if (surrogate == 0 || length == 0) continue;
    units[random() % length] = static_cast<Unit>(surrogate);
    std::string room(text::utf8_room(length, sizeof(Unit)), '\0');
    EXPECT_EQ(text::encode_utf8(units.data(), length, room.data()), nullptr);
    end = text::encode_utf8(units.data(), length, room.data(), true);
    room.resize(static_cast<std::size_t>(end - room.data()));
    EXPECT_EQ(room, plain_utf8(units)) << "round " << round;
  }
}

TEST(Transcode, EncodesEveryFormAsOneCharacterAtATimeWould) {
  check_encoding<std::uint8_t>({0x80, 0xE9, 0xFF}, 0);
  check_encoding<std::uint16_t>({0x80, 0x7FF, 0x800, 0x2014, 0x4E2D, 0xFFFF}, 0xDC00);
  check_encoding<std::uint32_t>({0xE9, 0x2014, 0x1F680, 0x10FFFF}, 0xD800);
}

}  // namespace
