// Where the first ill-formed byte lies, found through the vector loops at
// every level, against a walk of one character at a time: ill-formed bytes
// and non-ASCII characters at every place around the vector edges.
#include "text/utf8_validate.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

std::size_t first_invalid_plain(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t bad = 0;
    const std::size_t len = text::utf8::well_formed_at(s, text.size(), pos, &bad);
    if (len == 0) return pos;
    pos += len;
  }
  return text.size();
}

TEST(Utf8Validate, FirstInvalidAgreesWithACharacterWalkAtEveryLevel) {
  // Well-formed pieces and the ill-formed ones Arrow producers have been
  // seen to pass: stray continuation bytes, cut sequences, surrogates,
  // overlong forms, bytes that never occur.
  const std::vector<std::string> good = {"a", "word ", "\xc3\xa9", "\xe4\xb8\xad", "\xf0\x9f\x99\x82", "\x7f"};
  const std::vector<std::string> bad = {"\x80", "\xc3", "\xe4\xb8", "\xed\xa0\x80", "\xc0\xaf", "\xff", "\xf4\x90\x80\x80"};
  std::mt19937 rng(3);
  for (int round = 0; round < 4000; ++round) {
    std::string text(rng() % 150, 'x');  // an ASCII stretch across vector edges
    for (std::size_t n = rng() % 6; n > 0; --n) text += good[rng() % good.size()];
    if (rng() % 2 == 0) text.insert(rng() % (text.size() + 1), bad[rng() % bad.size()]);
    for (std::size_t n = rng() % 80; n > 0; --n) text += good[rng() % good.size()];
    const std::size_t expected = first_invalid_plain(text);
    for (const text::SimdLevel level : tagmire_test::SimdLevels()) {
      text::use_simd_level(level);
      ASSERT_EQ(text::utf8::first_invalid(text.data(), text.size()), expected)
          << "level " << static_cast<int>(level) << " length " << text.size();
      const std::size_t from = text.empty() ? 0 : rng() % text.size();
      std::size_t ascii_end = from;
      while (ascii_end < text.size() && static_cast<unsigned char>(text[ascii_end]) < 0x80) ++ascii_end;
      ASSERT_EQ(text::skip_ascii(text.data(), from, text.size()), ascii_end);
    }
  }
  text::use_simd_level(text::best_simd_level());
}

}  // namespace
