// Generated inputs and random configurations: the result invariants hold, and
// the parser agrees exactly with the plain reference parser.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "checks.h"
#include "reference_parser.h"
#include "test_support.h"

namespace {

using namespace tagmire_test;

// Pieces chosen to meet every rule often: tags of recognised and unknown
// names in all three kinds and two cases, attributes, stray brackets,
// trimmable and multi-byte characters, line feeds, CDATA delimiters.
const std::vector<std::string> kPieces = {
    "<t>", "</t>", "<t/>", "<T>", "</T >", "<o>", "</o>", "<o x=1 y='a b' z>", "<u>", "</u>",
    "<u/>", "<n k=\"v\"/>", "< t >", "</ o/>", "<t\n>", "<", ">", "/", "=", "\"", "'", " ", "  ",
    "\n", "\n\n", "\t", "a", "b", "word", "Zed", "42", "_", "-", ".", ",", "!", "(", ")", "?",
    "\xc3\xa9", "\xe3\x80\x80", "\xc2\xa0", "\xe2\x80\xa8", "\xe4\xb8\xad\xe6\x96\x87", "\xf0\x9f\x99\x82",
    "\xcc\x81", "<![CDATA[", "]]>", "<3", "<!-- c -->", "x=", "<a", "<t x=\"", "<>", "</>",
};

// Half the inputs are tag-heavy, so deep stacks and many tags closing
// together are common.
const std::vector<std::string> kTagPieces = {"<t>", "<o>", "<n>", "</t>", "</o>", "<T/>", "a", " ", "\n", "b."};

std::string generate_input(std::mt19937& rng) {
  std::uniform_int_distribution<std::size_t> length(0, 40);
  const auto& pieces = std::bernoulli_distribution(0.5)(rng) ? kPieces : kTagPieces;
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  std::string input;
  for (std::size_t n = length(rng); n > 0; --n) input += pieces[piece(rng)];
  return input;
}

ParserConfig generate_config(std::mt19937& rng) {
  return tagmire_checks::draw_config([&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); });
}

TEST(Properties, InvariantsHoldAndResultsMatchTheReference) {
  std::mt19937 rng(20261207);
  for (int i = 0; i < 30000; ++i) {
    const std::string input = generate_input(rng);
    const ParserConfig config = generate_config(rng);
    const types::ParseResult result = parser::parse(input, config);
    ASSERT_EQ(tagmire_checks::check_result(result, input, config), "") << input;
    ASSERT_EQ(tagmire_checks::check_records(parser::parse_compact(input, config)), "") << input;
    // The same text read as one, two or four bytes per character.
    ASSERT_EQ(tagmire_checks::check_forms(input, config, result), "") << input;
    // Names that fold together included: the strategy set last wins.
    const types::ParseResult expected = reference::parse(input, config);
    ASSERT_EQ(flat_segments(result), flat_segments(expected)) << input;
    ASSERT_EQ(result, expected) << input;
    if (HasFailure()) FAIL() << "input: " << input;
  }
}

TEST(Properties, ArbitraryBytesNeverBreakTheParser) {
  // Not UTF-8 at all: the parser must still finish with consistent segments.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<std::size_t> length(0, 200);
  const std::string alphabet = "<>/= \n\"'tT.";
  for (int i = 0; i < 20000; ++i) {
    std::string input;
    for (std::size_t n = length(rng); n > 0; --n) {
      const int b = byte(rng);
      input += b < 128 ? alphabet[static_cast<std::size_t>(b) % alphabet.size()] : static_cast<char>(b);
    }
    const types::ParseResult result = parser::parse(input, generate_config(rng));
    std::string joined;
    for (const auto& segment : result.segments) joined += segment.text;
    ASSERT_EQ(joined, result.text);
  }
}

}  // namespace
