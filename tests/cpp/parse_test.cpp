// The driver, the stack and segment assembly, seen through parse().
#include <gtest/gtest.h>

#include <random>

#include "parser/parser.h"
#include "test_support.h"

namespace {

using namespace tagmire_test;
using parser::parse;
using types::AttrValue;

TEST(WorkedExample, GivesExactlyThreeSegments) {
  const auto result = parse("Water boils at 100 C.<cite>\n<note>verify altitude",
                            ParserConfig::default_llm_friendly_config());
  EXPECT_EQ(result.text, "Water boils at 100 C.\nverify altitude");
  EXPECT_EQ(flat_segments(result), (std::vector<FlatSegment>{{"Water boils at 100 C", {"cite"}},
                                                             {".\n", {}},
                                                             {"verify altitude", {"note"}}}));
  EXPECT_TRUE(result.markers.empty());
}

TEST(WorkedExample, DefaultOverloadMatchesTheExplicitPreset) {
  for (const char* input : {"", "plain", "a<cite>b<note>c</note>\nd<todo/>", "<CLAIM>x</claim>"}) {
    EXPECT_EQ(parse(input), parse(input, ParserConfig::default_llm_friendly_config())) << input;
  }
}

TEST(Presets, DifferOnlyInTheirNames) {
  const ParserConfig cite = ParserConfig::default_cite_config();
  const ParserConfig llm = ParserConfig::default_llm_friendly_config();
  EXPECT_EQ(cite.recognized_tags, (std::unordered_set<std::string>{"cite"}));
  EXPECT_EQ(llm.recognized_tags.size(), 6u);
  EXPECT_EQ(llm.recovery_strategies.find("cite"), RecoveryStrategy::retro_line);
  EXPECT_EQ(llm.recovery_strategies.find("code"), RecoveryStrategy::forward_until_tag);
  for (const ParserConfig* c : {&cite, &llm}) {
    EXPECT_EQ(c->unknown_mode, UnknownTagMode::strip);
    EXPECT_TRUE(c->autoclose_on_any_tag && c->autoclose_on_same_tag && c->trim_punctuation);
    EXPECT_FALSE(c->case_sensitive_tags);
  }
}

struct TextCase {
  const char* input;
  UnknownTagMode mode;
  const char* text;
};

class OutputText : public testing::TestWithParam<TextCase> {};

TEST_P(OutputText, FollowsTheUnknownTagMode) {
  ParserConfig config = config_with({"cite"});
  config.unknown_mode = GetParam().mode;
  EXPECT_EQ(parse(GetParam().input, config).text, GetParam().text);
}

constexpr auto kStrip = UnknownTagMode::strip;
constexpr auto kPass = UnknownTagMode::passthrough;
constexpr auto kText = UnknownTagMode::treat_as_text;

INSTANTIATE_TEST_SUITE_P(
    Dispatch, OutputText,
    testing::Values(TextCase{"a <b> c", kStrip, "a  c"}, TextCase{"a <b> c", kPass, "a <b> c"},
                    TextCase{"a <b> c", kText, "a <b> c"}, TextCase{"a </b> c", kStrip, "a  c"},
                    TextCase{"a </b> c", kPass, "a </b> c"}, TextCase{"a <b/> c", kStrip, "a  c"},
                    TextCase{"a <b/> c", kText, "a <b/> c"}, TextCase{"x<cite>y</cite>z", kPass, "xyz"},
                    TextCase{"a < b", kStrip, "a < b"}, TextCase{"1 <3 2 <> x", kStrip, "1 <3 2 <> x"},
                    TextCase{"x < y <cite>z</cite>", kStrip, "x z"},
                    TextCase{"<![CDATA[<cite>]]>", kStrip, "<cite>"},
                    TextCase{"<![CDATA[abc", kStrip, "abc"}, TextCase{"x<![CDATA[]]>y", kStrip, "xy"},
                    TextCase{"a > b >> c", kStrip, "a > b >> c"}, TextCase{"", kStrip, ""},
                    TextCase{"<!-- c --><?pi?>", kStrip, "<!-- c --><?pi?>"},
                    TextCase{"<<<a>", kPass, "<<<a>"}, TextCase{"<<<a>", kStrip, "<<"}));

TEST(Dispatch, UnknownTagsKeptAsTextTriggerNothing) {
  ParserConfig config = config_with({"note"}, RecoveryStrategy::forward_until_tag, true);
  config.unknown_mode = UnknownTagMode::passthrough;
  EXPECT_EQ(segments_of("<note>a <b> c", config), (std::vector<FlatSegment>{{"a <b> c", {"note"}}}));
}

TEST(Dispatch, EmptyRecognisedSetMakesEveryTagUnknown) {
  ParserConfig config = ParserConfig::default_llm_friendly_config();
  config.recognized_tags.clear();
  const auto result = parse("a<cite>b</cite><note/>c", config);
  EXPECT_EQ(result.text, "abc");
  EXPECT_TRUE(result.markers.empty());
  EXPECT_EQ(flat_segments(result), (std::vector<FlatSegment>{{"abc", {}}}));
}

struct CaseFolding {
  const char* configured;
  const char* written;
  bool case_sensitive;
  bool recognised;
};

class Folding : public testing::TestWithParam<CaseFolding> {};

TEST_P(Folding, DecidesRecognition) {
  ParserConfig config = config_with({GetParam().configured});
  config.case_sensitive_tags = GetParam().case_sensitive;
  const std::string input = std::string("<") + GetParam().written + "/>";
  const auto result = parse(input, config);
  EXPECT_EQ(result.markers.size(), GetParam().recognised ? 1u : 0u) << input;
  if (GetParam().recognised) {
    EXPECT_EQ(result.markers[0].annotation.tag, GetParam().written);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, Folding,
    testing::Values(CaseFolding{"cite", "CITE", false, true}, CaseFolding{"cite", "Cite", false, true},
                    CaseFolding{"cite", "Cite", true, false}, CaseFolding{"cite", "cite", true, true},
                    CaseFolding{"CITE", "cite", false, true}, CaseFolding{"Claim", "claim", false, true},
                    CaseFolding{"Claim", "CLAIM", false, true}, CaseFolding{"Claim", "claim", true, false},
                    CaseFolding{"Claim", "Claim", true, true}, CaseFolding{"na\xc3\xafve", "na", false, false},
                    CaseFolding{"my tag", "my", false, false}, CaseFolding{"1a", "a", false, false},
                    CaseFolding{"\xc3\x89t\xc3\xa9", "t", false, false}));

TEST(Dispatch, StrategyFollowsTheFoldedName) {
  ParserConfig config = ParserConfig::default_llm_friendly_config();
  // Note recovers forward, Cite backward, whatever their case.
  EXPECT_EQ(segments_of("<Note>x\ny", config), (std::vector<FlatSegment>{{"x", {"Note"}}, {"\ny", {}}}));
  EXPECT_EQ(segments_of("x<CITE>\ny", config), (std::vector<FlatSegment>{{"x", {"CITE"}}, {"\ny", {}}}));
  // A recognised name without a strategy recovers by retro_line; a strategy
  // for an unrecognised name changes nothing.
  config.recognized_tags.insert("extra");
  config.recovery_strategies.set("ghost", RecoveryStrategy::noop);
  EXPECT_EQ(segments_of("ab<extra>\n", config), (std::vector<FlatSegment>{{"ab", {"extra"}}, {"\n", {}}}));
}

TEST(Markers, RecordBytePositionsInInputOrder) {
  const ParserConfig config = ParserConfig::default_llm_friendly_config();
  const auto accent = parse("\xc3\xa9<cite/>", config);
  ASSERT_EQ(accent.markers.size(), 1u);
  EXPECT_EQ(accent.markers[0].pos, 2u);

  const auto paris = parse("Paris is the capital<cite src=wiki/> of France.", config);
  EXPECT_EQ(paris.text, "Paris is the capital of France.");
  ASSERT_EQ(paris.markers.size(), 1u);
  EXPECT_EQ(paris.markers[0].pos, 20u);
  EXPECT_EQ(paris.markers[0].annotation.attrs,
            (types::AttrMap{{"src", AttrValue::str("wiki")}}));

  const auto only_tags = parse("<note/><Cite/><x/>", config);
  EXPECT_EQ(only_tags.text, "");
  EXPECT_TRUE(only_tags.segments.empty());
  ASSERT_EQ(only_tags.markers.size(), 2u);
  EXPECT_EQ(only_tags.markers[1].pos, 0u);
  EXPECT_EQ(only_tags.markers[1].annotation.tag, "Cite");
}

struct SegmentCase {
  const char* name;
  const char* input;
  ParserConfig config;
  std::vector<FlatSegment> segments;
};

void PrintTo(const SegmentCase& c, std::ostream* os) { *os << c.name; }

class Segments : public testing::TestWithParam<SegmentCase> {};

TEST_P(Segments, AreCutAtEverySpanBoundary) {
  EXPECT_EQ(segments_of(GetParam().input, GetParam().config), GetParam().segments);
}

const auto kFwd = RecoveryStrategy::forward_until_tag;
const auto kRetro = RecoveryStrategy::retro_line;

ParserConfig b_forward() {
  ParserConfig config = config_with({"a", "b"});
  config.recovery_strategies.set("b", kFwd);
  return config;
}

INSTANTIATE_TEST_SUITE_P(
    Stack, Segments,
    testing::Values(
        SegmentCase{"TextWithoutTags", "plain text", config_with({"b"}), {{"plain text", {}}}},
        SegmentCase{"EmptyExplicitTag", "x<b></b>y", config_with({"b"}), {{"xy", {}}}},
        SegmentCase{"ExplicitTag", "a<b>x</b>c", config_with({"b"}), {{"a", {}}, {"x", {"b"}}, {"c", {}}}},
        SegmentCase{"OuterCloseRecoversInner", "<a>x<b>y</a>z", b_forward(),
                    {{"x", {"a"}}, {"y", {"b", "a"}}, {"z", {}}}},
        SegmentCase{"UnmatchedCloseIsDropped", "<a>x</b>y", config_with({"a", "b"}, kFwd),
                    {{"xy", {"a"}}}},
        SegmentCase{"Overlapping", "<a>1<b>2</a>3</b>", b_forward(),
                    {{"1", {"a"}}, {"2", {"b", "a"}}, {"3", {}}}},
        SegmentCase{"Nested", "<a>x<b>y</b>z</a>", config_with({"a", "b"}),
                    {{"x", {"a"}}, {"y", {"b", "a"}}, {"z", {"a"}}}},
        SegmentCase{"EqualSpansListedTwice", "<b>x<b>y</b>z</b>", config_with({"b"}),
                    {{"x", {"b"}}, {"y", {"b", "b"}}, {"z", {"b"}}}},
        SegmentCase{"OnlyTopmostNamesakeCloses", "<b>x<b>y</b>\nz", config_with({"b"}, kFwd),
                    {{"x", {"b"}}, {"y", {"b", "b"}}, {"\nz", {}}}},
        SegmentCase{"SameTagAutoClose", "<li>a<li>b", [] {
                      ParserConfig c = config_with({"li"}, RecoveryStrategy::noop);
                      c.autoclose_on_same_tag = true;
                      return c;
                    }(),
                    {{"a", {"li"}}, {"b", {}}}},
        SegmentCase{"SameTagAutoCloseRecoversTagsAbove", "<li>a<b>b c<li>d", [] {
                      ParserConfig c = config_with({"li", "b"}, RecoveryStrategy::forward_next_token);
                      c.autoclose_on_same_tag = true;
                      return c;
                    }(),
                    {{"a", {"li"}}, {"b", {"b", "li"}}, {" c", {"li"}}, {"d", {"li"}}}},
        SegmentCase{"AnyTagAutoCloseByStrategy", "<li>a<li>b", [] {
                      ParserConfig c = config_with({"li"}, RecoveryStrategy::forward_until_tag);
                      c.autoclose_on_any_tag = true;
                      return c;
                    }(),
                    {{"a", {"li"}}, {"b", {"li"}}}},
        SegmentCase{"SelfClosingAutoClosesBeforeItsMarker", "<note>check this<cite/> more\nnext",
                    ParserConfig::default_llm_friendly_config(),
                    {{"check this", {"note"}}, {" more\nnext", {}}}},
        SegmentCase{"NoopClosedByOwnTag", "<n>x</n>y", config_with({"n"}, RecoveryStrategy::noop),
                    {{"x", {"n"}}, {"y", {}}}},
        SegmentCase{"NoopClosedByOuterTag", "<a>x<n>y</a>", [] {
                      ParserConfig c = config_with({"a", "n"}, RecoveryStrategy::noop);
                      return c;
                    }(),
                    {{"xy", {"a"}}}},
        SegmentCase{"NoopAtEnd", "<n>x y", config_with({"n"}, RecoveryStrategy::noop), {{"x y", {}}}},
        SegmentCase{"LineStartAfterCdataLineFeed", "a<![CDATA[b\nc]]>d<r>", config_with({"r"}, kRetro),
                    {{"ab\n", {}}, {"cd", {"r"}}}}));

}  // namespace

namespace {

// The assembly spends the spans it is given: a copy of them, as the parser
// would hold them.
util::PodVector<parser::Span> spent_copy(const std::vector<parser::Span>& spans) {
  util::PodVector<parser::Span> copy;
  for (const parser::Span& span : spans) copy.push_back(span);
  return copy;
}

TEST(Segments, EachCutListsItsCoveringSpansInRecordingOrder) {
  // Annotation references stand in for annotations: 10 is "a", 20 and 30 "b".
  const std::vector<parser::Span> spans = {{1, 3, 20}, {0, 2, 10}, {1, 2, 30}};
  parser::SegmentAssembly assembly;
  auto spent = spent_copy(spans);
  assembly.assemble(4, spent);
  ASSERT_TRUE(assembly.kept_spans().empty());
  const std::vector<types::MarkerRecord> no_markers;
  const types::ParseRecords records = types::ParseRecords::pack(
      {assembly.cuts(), assembly.first(), assembly.entries(), assembly.kept_spans(), no_markers, {}});
  const types::SegmentTable& table = records.segments();
  std::vector<std::vector<types::AnnotationRef>> covering;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table.end(i), table.start(i) + 1);
    table.annotations(i, covering.emplace_back());
  }
  EXPECT_EQ(covering, (std::vector<std::vector<types::AnnotationRef>>{{10}, {20, 10, 30}, {20}, {}}));
}

}  // namespace

namespace {

// Assembles `spans` over a text of `text_size` units and checks that every
// segment lists exactly the spans that cover it, in recording order, as a
// brute-force scan finds them; returns the table's choice to keep spans.
bool expect_annotations_as_a_scan(const std::vector<parser::Span>& spans, std::size_t text_size,
                                  const std::string& where) {
  parser::SegmentAssembly assembly;
  auto spent = spent_copy(spans);
  assembly.assemble(text_size, spent);
  const std::vector<types::MarkerRecord> no_markers;
  const types::ParseRecords records = types::ParseRecords::pack(
      {assembly.cuts(), assembly.first(), assembly.entries(), assembly.kept_spans(), no_markers, {}});
  const types::SegmentTable& table = records.segments();
  std::vector<types::AnnotationRef> found;
  std::size_t covered_to = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table.start(i), covered_to) << where;
    covered_to = table.end(i);
    std::vector<types::AnnotationRef> expected;
    for (const parser::Span& span : spans) {
      if (span.start <= table.start(i) && span.end >= table.end(i)) expected.push_back(span.annotation);
      // A cut at every span boundary: no span ends or begins inside a segment.
      EXPECT_FALSE(span.start > table.start(i) && span.start < table.end(i)) << where << " segment " << i;
      EXPECT_FALSE(span.end > table.start(i) && span.end < table.end(i)) << where << " segment " << i;
    }
    found.clear();
    table.annotations(i, found);
    EXPECT_EQ(found, expected) << where << " segment " << i;
  }
  EXPECT_EQ(covered_to, text_size) << where;
  return !table.lists_annotations();
}

// Heavily nested spans make the table keep spans and find a segment's
// annotations on read; what it finds must be what a brute-force scan finds.
TEST(Segments, SpansKeptForAnIndexGiveTheSameAnnotationsAsAScan) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    const std::size_t text_size = std::uniform_int_distribution<std::size_t>(1, 120)(rng);
    std::vector<parser::Span> spans;
    const std::size_t count = std::uniform_int_distribution<std::size_t>(40, 200)(rng);
    for (std::size_t i = 0; i < count; ++i) {
      // Mostly wide spans, so that the lists would add up to far more than
      // the spans and segments.
      std::size_t a = std::uniform_int_distribution<std::size_t>(0, text_size / 4)(rng);
      std::size_t b = std::uniform_int_distribution<std::size_t>(3 * text_size / 4, text_size)(rng);
      if (std::bernoulli_distribution(0.2)(rng)) {
        a = std::uniform_int_distribution<std::size_t>(0, text_size - 1)(rng);
        b = std::uniform_int_distribution<std::size_t>(a + 1, text_size)(rng);
      }
      if (a >= b) continue;
      spans.push_back({a, b, 1000 + i});
    }
    const bool kept = expect_annotations_as_a_scan(spans, text_size, "round " + std::to_string(round));
    if (spans.size() > 60 && text_size > 20) {
      EXPECT_TRUE(kept);
    }
  }
}

// Spans in the orders a parse records them: each when its tag closes, so
// nested ones innermost first, their starts falling, and some recorded late
// over earlier text (tags closed only at the end, retroactive ones). Small
// and large lists, so that both the sort by insertion and the fallback past
// its budget are taken.
TEST(Segments, SpansInTheOrderTagsCloseGiveTheSameAnnotationsAsAScan) {
  std::mt19937 rng(11);
  for (int round = 0; round < 300; ++round) {
    const std::size_t steps = std::uniform_int_distribution<std::size_t>(2, round % 3 == 0 ? 3000 : 120)(rng);
    const std::size_t max_depth = std::uniform_int_distribution<std::size_t>(1, 24)(rng);
    std::vector<parser::Span> spans;
    std::vector<std::size_t> open;  // start positions, innermost last
    std::size_t pos = 0;
    for (std::size_t step = 0; step < steps; ++step) {
      const int action = std::uniform_int_distribution<int>(0, 5)(rng);
      if (action <= 1 && open.size() < max_depth) {
        open.push_back(pos);
      } else if (action <= 3 && !open.empty() && open.back() < pos) {
        spans.push_back({open.back(), pos, spans.size()});
        open.pop_back();
      } else if (action == 4 && pos > 0 && std::bernoulli_distribution(0.1)(rng)) {
        const std::size_t from = std::uniform_int_distribution<std::size_t>(0, pos - 1)(rng);
        spans.push_back({from, from + 1, spans.size()});  // a retroactive span over earlier text
      } else {
        ++pos;
      }
    }
    ++pos;
    // Tags still open close at the end of the text, innermost first.
    for (; !open.empty(); open.pop_back()) spans.push_back({open.back(), pos, spans.size()});
    expect_annotations_as_a_scan(spans, pos, "round " + std::to_string(round));
  }
}

// The spans are spent, nested or not: their storage becomes the covering
// list, or a large list is given back, so that a deep parse does not hold
// them beside the boundaries; the segments come out as they would
// otherwise.
TEST(Segments, TheSpansAreSpentNotHeldBesideTheBoundaries) {
  constexpr std::size_t kSpans = 20000;  // 480 KB of spans
  std::vector<parser::Span> nested;
  std::vector<parser::Span> disjoint;
  for (std::size_t i = 0; i < kSpans; ++i) {
    nested.push_back({i, kSpans, 7 * i});
    disjoint.push_back({2 * i, 2 * i + 1, 7 * i});
  }
  parser::SegmentAssembly assembly;
  auto spent = spent_copy(nested);
  assembly.assemble(kSpans, spent);
  EXPECT_EQ(spent.capacity(), 0u);
  const std::vector<types::MarkerRecord> no_markers;
  const types::ParseRecords records = types::ParseRecords::pack(
      {assembly.cuts(), assembly.first(), assembly.entries(), assembly.kept_spans(), no_markers, {}});
  const types::SegmentTable& table = records.segments();
  ASSERT_EQ(table.size(), kSpans);
  std::vector<types::AnnotationRef> found;
  for (const std::size_t i : {std::size_t{0}, std::size_t{1}, kSpans / 2, kSpans - 1}) {
    EXPECT_EQ(table.start(i), i);
    found.clear();
    table.annotations(i, found);
    ASSERT_EQ(found.size(), i + 1) << "segment " << i;
    EXPECT_EQ(found.front(), 0u);
    EXPECT_EQ(found.back(), 7 * i);
  }

  spent = spent_copy(disjoint);
  assembly.assemble(2 * kSpans, spent);
  EXPECT_EQ(spent.capacity(), 0u);
  EXPECT_EQ(assembly.cuts().size(), 2 * kSpans + 1);
}

}  // namespace
