// What an unclosed tag covers, for each strategy and each way of closing it.
#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace tagmire_test;

struct RecoveryCase {
  const char* name;
  RecoveryStrategy strategy;
  const char* input;  // `t` recovers; `o` is an outer tag, `m` a marker
  bool autoclose_on_any_tag;
  bool trim;
  std::vector<FlatSegment> segments;
};

void PrintTo(const RecoveryCase& c, std::ostream* os) { *os << c.name; }

class Recovery : public testing::TestWithParam<RecoveryCase> {};

TEST_P(Recovery, CoversTheStrategysStretch) {
  const RecoveryCase& c = GetParam();
  ParserConfig config = config_with({"t", "o", "m"}, RecoveryStrategy::forward_until_tag);
  config.recovery_strategies.set("t", c.strategy);
  config.autoclose_on_any_tag = c.autoclose_on_any_tag;
  config.trim_punctuation = c.trim;
  EXPECT_EQ(segments_of(c.input, config), c.segments);
}

const auto kRetro = RecoveryStrategy::retro_line;
const auto kUntilTag = RecoveryStrategy::forward_until_tag;
const auto kUntilNewline = RecoveryStrategy::forward_until_newline;
const auto kToken = RecoveryStrategy::forward_next_token;
const auto kNoop = RecoveryStrategy::noop;

INSTANTIATE_TEST_SUITE_P(
    Strategies, Recovery,
    testing::Values(
        // retro_line: the text before the tag on its line, wherever it closes.
        RecoveryCase{"RetroOwnTag", kRetro, "ab<t>cd</t>e", false, true, {{"ab", {}}, {"cd", {"t"}}, {"e", {}}}},
        RecoveryCase{"RetroOuterTag", kRetro, "<o>x\nParis is the capital.<t> more</o>", false, true,
                     {{"x\n", {"o"}}, {"Paris is the capital", {"t", "o"}}, {". more", {"o"}}}},
        RecoveryCase{"RetroAutoClose", kRetro, "Paris.<t>\nrest<m/>", true, true,
                     {{"Paris", {"t"}}, {".\nrest", {}}}},
        RecoveryCase{"RetroEndOfInput", kRetro, "first line\nsecond (see)<t> tail", false, true,
                     {{"first line\n", {}}, {"second (see", {"t"}}, {") tail", {}}}},
        RecoveryCase{"RetroUntrimmed", kRetro, "Paris is the capital.<t>", false, false,
                     {{"Paris is the capital.", {"t"}}}},
        RecoveryCase{"RetroAtLineStart", kRetro, "x\n<t>y", false, true, {{"x\ny", {}}}},
        RecoveryCase{"RetroAtTextStart", kRetro, "<t>y", false, true, {{"y", {}}}},
        // forward_until_tag and forward_until_newline: to the line's end or the closing.
        RecoveryCase{"ForwardOwnTag", kUntilTag, "<t>a\nb</t>c", false, true, {{"a\nb", {"t"}}, {"c", {}}}},
        RecoveryCase{"ForwardOuterTag", kUntilTag, "<o>x<t>  important point, </o> tail", false, true,
                     {{"x  ", {"o"}}, {"important point", {"t", "o"}}, {", ", {"o"}}, {" tail", {}}}},
        RecoveryCase{"ForwardAutoClose", kUntilTag, "<t>check this<m/> more\nnext", true, true,
                     {{"check this", {"t"}}, {" more\nnext", {}}}},
        RecoveryCase{"ForwardEndOfInputStopsAtLineFeed", kUntilNewline, "<t>  important point, \nnext", false,
                     true, {{"  ", {}}, {"important point", {"t"}}, {", \nnext", {}}}},
        RecoveryCase{"ForwardUntrimmed", kUntilNewline, "<t>  important point, \nnext", false, false,
                     {{"  important point, ", {"t"}}, {"\nnext", {}}}},
        RecoveryCase{"ForwardFollowedByLineFeed", kUntilTag, "<t>\nnext", false, true, {{"\nnext", {}}}},
        RecoveryCase{"ForwardLineFeedLaterThanClose", kUntilTag, "<o><t>ab</o>cd\nef", false, true,
                     {{"ab", {"t", "o"}}, {"cd\nef", {}}}},
        // forward_next_token: the first alphanumeric run after the tag.
        RecoveryCase{"TokenOwnTag", kToken, "<t>a b</t>", false, true, {{"a b", {"t"}}}},
        RecoveryCase{"TokenOuterTag", kToken, "<o><t>, (42nd) x</o>", false, true,
                     {{", (", {"o"}}, {"42nd", {"t", "o"}}, {") x", {"o"}}}},
        RecoveryCase{"TokenAutoClose", kToken, "<t>\n\n  caf\xc3\xa9s!<m/>", true, true,
                     {{"\n\n  ", {}}, {"caf\xc3\xa9s", {"t"}}, {"!", {}}}},
        RecoveryCase{"TokenEndOfInput", kToken, "<t>x_y", false, true, {{"x", {"t"}}, {"_y", {}}}},
        RecoveryCase{"TokenNone", kToken, "<t>--", false, true, {{"--", {}}}},
        RecoveryCase{"TokenRunSpansTags", kToken, "<t>ab<o/>cd ef", false, true,
                     {{"abcd", {"t"}}, {" ef", {}}}},
        RecoveryCase{"TokenCutByClosing", kToken, "<o>-<t>ab</o>cd", false, true,
                     {{"-", {"o"}}, {"ab", {"t", "o"}}, {"cd", {}}}},
        RecoveryCase{"TokenNonAsciiDigitsAndLetters", kToken, "<t> \xd9\xa3\xe2\x85\xa0\xce\xb1\xc2\xbd-x", false,
                     true, {{" ", {}}, {"\xd9\xa3\xe2\x85\xa0\xce\xb1\xc2\xbd", {"t"}}, {"-x", {}}}},
        // noop: nothing unless closed by its own tag.
        RecoveryCase{"NoopOwnTag", kNoop, "<t>a</t>b", false, true, {{"a", {"t"}}, {"b", {}}}},
        RecoveryCase{"NoopOuterTag", kNoop, "<o>a<t>b</o>", false, true, {{"ab", {"o"}}}},
        RecoveryCase{"NoopAutoClose", kNoop, "x<t>a<m/>b", true, true, {{"xab", {}}}},
        RecoveryCase{"NoopEndOfInput", kNoop, "x<t>a", false, true, {{"xa", {}}}}));

struct TrimCase {
  const char* text;
  const char* trimmed;  // empty: nothing recorded
};

class Trimming : public testing::TestWithParam<TrimCase> {};

TEST_P(Trimming, RemovesWhiteSpaceAndEightMarksAtBothEnds) {
  // A forward tag at the start covers the whole text; what survives trimming
  // is the annotated segment.
  ParserConfig config = config_with({"t"}, RecoveryStrategy::forward_until_tag);
  const auto result = parser::parse(std::string("<t>") + GetParam().text, config);
  std::string annotated;
  for (const auto& segment : result.segments) {
    if (!segment.annotations.empty()) annotated += segment.text;
  }
  EXPECT_EQ(annotated, GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Strategies, Trimming,
    testing::Values(TrimCase{"  ?! ", ""}, TrimCase{"(a, b).", "a, b"}, TrimCase{"!(),.:;?x?;:.,)(!", "x"},
                    TrimCase{"\xc2\xa0x\xe3\x80\x80", "x"}, TrimCase{"\xe2\x80\xa8x\xe2\x80\x89", "x"},
                    TrimCase{"'x'", "'x'"}, TrimCase{"\"x\"", "\"x\""}, TrimCase{"[x]-", "[x]-"},
                    TrimCase{"\xe2\x80\x94x\xe2\x80\x94", "\xe2\x80\x94x\xe2\x80\x94"},
                    TrimCase{"\x0b\x0c\rx\t", "x"}, TrimCase{"\xc2\x85x", "x"}));

TEST(Trimming, LongTrimmableStretchesGiveTheSameSpans) {
  // Long stretches go through the remembered runs rather than a plain walk.
  for (const std::size_t n : {10u, 31u, 32u, 33u, 64u, 65u, 500u}) {
    const std::string pad(n, ' ');
    const std::string dots(n, '.');
    ParserConfig config = config_with({"t"}, RecoveryStrategy::forward_until_tag);
    const std::string input = "<t>" + pad + "a" + dots + "<t>" + pad + "b" + pad + "<t>" + dots;
    config.autoclose_on_any_tag = true;
    EXPECT_EQ(segments_of(input, config), (std::vector<FlatSegment>{{pad, {}},
                                                                   {"a", {"t"}},
                                                                   {dots + pad, {}},
                                                                   {"b", {"t"}},
                                                                   {pad + dots, {}}}))
        << n;
  }
}

}  // namespace
