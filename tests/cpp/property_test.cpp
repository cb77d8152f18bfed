// Generated inputs and random configurations: the result invariants hold, and
// the parser agrees exactly with the plain reference parser.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "checks.h"
#include "hostile_inputs.h"
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
const std::vector<std::string> kTagPieces = {"<t>", "<o>", "<n>", "</t>", "</o>", "<T/>", "a", " ", "\n", "b.", "\n\n"};

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
    ASSERT_EQ(tagmire_checks::check_records(parser::parse_compact(input, config), input), "") << input;
    // The same text read as one, two or four bytes per character.
    ASSERT_EQ(tagmire_checks::check_forms(input, config, result), "") << input;
    // Names that fold together included: the strategy set last wins.
    const types::ParseResult expected = reference::parse(input, config);
    ASSERT_EQ(flat_segments(result), flat_segments(expected)) << input;
    ASSERT_EQ(result, expected) << input;
    if (HasFailure()) FAIL() << "input: " << input;
  }
}

// Long text runs between the pieces, so that runs fill several vectors and
// `<` and line feeds fall on every lane and block edge; every form, whole
// and streamed, at every level of vector code gives the reference's result.
TEST(Properties, EveryVectorLevelGivesTheSameResults) {
  std::mt19937 rng(20261208);
  const std::vector<std::string> fillers = {"", "text ", "a longer run of plain words ", "line\n",
                                            "wide \xc3\xa9\xe4\xb8\xad\xf0\x9f\x99\x82 ", "spaces   \n\n"};
  for (int i = 0; i < 3000; ++i) {
    std::string input;
    for (std::size_t n = rng() % 24; n > 0; --n) {
      // A short piece, cut where a character begins: the forms hold valid UTF-8 only.
      const std::string piece = generate_input(rng);
      std::size_t cut = std::min<std::size_t>(piece.size(), 12);
      while (cut < piece.size() && tagmire_checks::is_continuation(static_cast<unsigned char>(piece[cut]))) --cut;
      input += piece.substr(0, cut);
      for (std::size_t k = rng() % 6; k > 0; --k) input += fillers[rng() % fillers.size()];
    }
    const ParserConfig config = generate_config(rng);
    const types::ParseResult expected = reference::parse(input, config);
    for (const text::SimdLevel level : SimdLevels()) {
      text::use_simd_level(level);
      const types::ParseResult result = parser::parse(input, config);
      ASSERT_EQ(result, expected) << "level " << static_cast<int>(level) << ": " << input;
      ASSERT_EQ(tagmire_checks::check_forms(input, config, expected), "") << static_cast<int>(level) << input;
      const std::vector<std::size_t> cuts = {input.size() / 3, input.size() / 2, input.size() * 3 / 4};
      ASSERT_EQ(tagmire_checks::check_stream(input, config, cuts, expected), "") << static_cast<int>(level) << input;
    }
  }
  text::use_simd_level(text::best_simd_level());
}

// The inputs built to be slow, through every level and form: long runs of
// one character, thousands of tags and no text, a `<` on every unit, and
// thousands of overlapping spans, whose boundaries take the linear sort.
TEST(Properties, HostileFamiliesParseAsTheReferenceDoesAtEveryLevel) {
  for (const bench::HostileFamily& family : bench::hostile_families()) {
    const std::string input = family.make(std::size_t{16} << 10);
    const types::ParseResult expected = reference::parse(input, family.config);
    for (const text::SimdLevel level : SimdLevels()) {
      text::use_simd_level(level);
      ASSERT_EQ(parser::parse(input, family.config), expected) << family.name << " at level " << static_cast<int>(level);
      ASSERT_EQ(tagmire_checks::check_forms(input, family.config, expected), "") << family.name;
    }
  }
  text::use_simd_level(text::best_simd_level());
}

// Inputs long enough for the tag memo, made of a few tags said again and
// again (with attributes, in other letter cases, spaced otherwise): a tag
// found in the memo must give what reading it afresh gives.
TEST(Properties, LongInputsOfRepeatedTagsMatchTheReference) {
  std::mt19937 rng(20261208);
  for (int i = 0; i < 60; ++i) {
    std::string input;
    while (input.size() < 6000) input += generate_input(rng);
    const ParserConfig config = generate_config(rng);
    ASSERT_EQ(parser::parse(input, config), reference::parse(input, config)) << input;
    ASSERT_EQ(tagmire_checks::check_forms(input, config, reference::parse(input, config)), "") << input;
  }
}

// Thousands of span boundaries out of order: every digit of the linear sort.
TEST(Properties, ManyOverlappingSpansAreCutAsTheReferenceCutsThem) {
  for (const bench::HostileFamily& family : bench::hostile_families()) {
    if (std::string_view(family.name) != "nested_spans" && std::string_view(family.name) != "retro_tags_after_spaces") {
      continue;
    }
    const std::string input = family.make(std::size_t{96} << 10);
    ASSERT_EQ(parser::parse(input, family.config), reference::parse(input, family.config)) << family.name;
  }
}

// The walk reports a lone surrogate wherever it stands (in a run, a tag,
// a CDATA section), and never one that is not there: callers refuse a str
// on its word alone.
template <class Form>
void check_surrogate_report(std::mt19937& rng, const std::string& input, const ParserConfig& config,
                            std::size_t lead) {
  using Unit = typename Form::Unit;
  std::vector<Unit> units;
  if (!tagmire_checks::code_points(input, units)) return;
  // After `lead` units of plain text, which make a short input long.
  units.insert(units.begin(), lead, static_cast<Unit>('x'));
  const bool planted = units.size() > lead && rng() % 2 == 0;
  if (planted) units[lead + rng() % (units.size() - lead)] = static_cast<Unit>(0xD800 + rng() % 0x800);
  const parser::PreparedConfig prepared(config);
  for (const text::SimdLevel level : SimdLevels()) {
    text::use_simd_level(level);
    std::vector<Unit> room(units.size() + 1);
    parser::OutputBuffer<Unit> out;
    out.data = room.data();
    out.capacity = units.size();
    parser::parse_into(text::TextView<Form>{units.data(), units.size()}, prepared, out);
    ASSERT_EQ(out.surrogate, planted) << "level " << static_cast<int>(level) << ": " << input;
  }
}

TEST(Properties, TheWalkReportsEveryLoneSurrogate) {
  std::mt19937 rng(20261209);
  for (int i = 0; i < 5000; ++i) {
    std::string input = generate_input(rng);
    if (rng() % 3 == 0) input += std::string(rng() % 100, 'x') + generate_input(rng);
    const ParserConfig config = generate_config(rng);
    // Short inputs are tested whole before the walk, long ones as it goes.
    const std::size_t lead = i % 4 == 0 ? 5000 : 0;
    check_surrogate_report<text::Ucs2>(rng, input, config, lead);
    check_surrogate_report<text::Ucs4>(rng, input, config, lead);
  }
  text::use_simd_level(text::best_simd_level());
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
