// A parse fed in pieces: whatever the cuts, the settled runs join to the
// one-shot parse, and text settles as early as the rules allow.
#include <gtest/gtest.h>

#include <random>

#include "checks.h"
#include "failing_allocations.h"
#include "test_support.h"

namespace {

using namespace tagmire_test;

std::vector<parser::SettledText> feed_all(const std::vector<std::string>& chunks,
                                          const ParserConfig& config = ParserConfig::default_llm_friendly_config()) {
  parser::StreamParser stream(std::make_shared<const parser::PreparedConfig>(config));
  std::vector<parser::SettledText> runs;
  for (const std::string& chunk : chunks) {
    stream.feed(chunk);
    runs.push_back(stream.take_settled());
  }
  stream.close();
  runs.push_back(stream.take_settled());
  return runs;
}

TEST(Stream, EveryCutOfSmallInputsJoinsToTheParse) {
  const std::vector<std::string> inputs = {
      "Water boils at 100 C.<cite>\n<note>verify altitude",
      "a<note>x</note>b\n<cite src=\"w x\"/>c<![CDATA[d<e>]]]>f",
      "x <b y <note>z\n\xe2\x80\x83<cite/>\xf0\x9f\x99\x82 w <![CDATA[",
      "<note>a<todo>b</note>c\n<claim id=1>d</claim><cite>",
      "caf\xc3\xa9 <not a tag\n> and < 3 and <! and <![CDATA[x]]>y]]>",
  };
  for (const std::string& input : inputs) {
    for (const ParserConfig& config : {ParserConfig::default_llm_friendly_config(), config_with({"note", "cite"}),
                                       config_with({"note"}, types::RecoveryStrategy::forward_next_token)}) {
      const types::ParseResult expected = parser::parse(input, config);
      for (std::size_t cut = 0; cut <= input.size(); ++cut) {
        ASSERT_EQ(tagmire_checks::check_stream(input, config, {cut}, expected), "") << input << " cut at " << cut;
      }
      std::vector<std::size_t> every_byte;
      for (std::size_t cut = 1; cut < input.size(); ++cut) every_byte.push_back(cut);
      ASSERT_EQ(tagmire_checks::check_stream(input, config, every_byte, expected), "") << input;
    }
  }
}

// A `<` whose head stays white space over many pieces is looked at again
// after each: the look resumes where it stopped, and must decide as a
// fresh look would, whatever comes last (a name, a `/` and a name, a
// second `/`, a `>`, the end), and whichever `<` the walk stops at next.
TEST(Stream, AHeadOfWhiteSpaceGrowingOverManyPiecesDecidesAsTheParse) {
  const std::string spaces = " \t\n \xe3\x80\x80 ";
  for (const std::string tail : {"note>x</note>", "/ note>x", "/ / note>", " >", "", "\xc3\xa9>", "/", "x < y>"}) {
    for (const std::string lead : {"a <", "a</", "<<"}) {
      std::string input = lead;
      for (int i = 0; i < 20; ++i) input += spaces;
      if (tail.starts_with("/ ")) input += tail.substr(0, 2) + spaces + tail.substr(2);
      else input += tail;
      const ParserConfig config = ParserConfig::default_llm_friendly_config();
      std::vector<std::size_t> every_byte;
      for (std::size_t cut = 1; cut < input.size(); ++cut) every_byte.push_back(cut);
      ASSERT_EQ(tagmire_checks::check_stream(input, config, every_byte, parser::parse(input, config)), "") << input;
    }
  }
}

TEST(Stream, RandomInputsConfigurationsAndCutsJoinToTheParse) {
  std::mt19937 rng(20261207);
  const std::vector<std::string> pieces = {"<note>", "</note>", "<cite/>", "<cite>", "<t>", "</t>", "<T x=1 y='a b'>",
                                           "<", ">", "/", "\"", " ", "\n", "a", "word", ".", ",", "\xc3\xa9",
                                           "\xe3\x80\x80", "\xf0\x9f\x99\x82", "<![CDATA[", "]]>", "]", "<!", "<a"};
  std::uniform_int_distribution<std::size_t> length(0, 30);
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  for (int i = 0; i < 3000; ++i) {
    std::string input;
    for (std::size_t n = length(rng); n > 0; --n) input += pieces[piece(rng)];
    const ParserConfig config =
        tagmire_checks::draw_config([&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); });
    std::vector<std::size_t> cuts;
    for (std::size_t cut = 1; cut < input.size(); ++cut) {
      if (std::bernoulli_distribution(0.3)(rng)) cuts.push_back(cut);
    }
    ASSERT_EQ(tagmire_checks::check_stream(input, config, cuts, parser::parse(input, config)), "") << input;
  }
}

#ifdef TAGMIRE_FAILING_ALLOCATIONS
// A piece whose feed, or the takes after it, fails for want of memory
// leaves the stream as it was: fed again, it goes on as if nothing had
// failed, and the preview, kept by its rule alone, stays true.
TEST(Stream, AFailedAllocationLeavesTheStreamAsItWas) {
  std::mt19937 rng(20261209);
  const std::vector<std::string> pieces = {"<note>", "</note>", "<cite/>", "<cite>", "</cite>", "<t>", "</t>",
                                           "<T x=1>", "<", ">", " ", "\n", "\n\n", "a", "word.", "\xc3\xa9",
                                           "<![CDATA[", "]]>", "<a"};
  std::uniform_int_distribution<std::size_t> piece(0, pieces.size() - 1);
  int failures = 0;
  for (int i = 0; i < 1500; ++i) {
    std::string input;
    for (std::size_t n = rng() % 30; n > 0; --n) input += pieces[piece(rng)];
    const ParserConfig config =
        tagmire_checks::draw_config([&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); });
    parser::StreamParser stream(std::make_shared<const parser::PreparedConfig>(config), true);
    std::vector<parser::SettledText> runs;
    tagmire_checks::ShownPreview shown;
    // Runs `act` and takes its update, failing an allocation now and then
    // and starting over after each failure.
    const auto step = [&](const auto& act) {
      for (;;) {
        if (rng() % 2 == 0) fail_allocation_after(static_cast<long>(rng() % 40));
        try {
          act();
          parser::SettledText run = stream.take_settled();
          parser::PreviewChange change = stream.take_preview();
          disarm_failing_allocation();
          runs.push_back(std::move(run));
          shown.drop_before(runs.back().start + runs.back().text.size());
          return shown.apply(change, stream);
        } catch (const std::bad_alloc&) {
          disarm_failing_allocation();
          ++failures;
          stream.roll_back();
        }
      }
    };
    std::size_t from = 0;
    while (from < input.size()) {
      const std::size_t cut = std::min(input.size(), from + 1 + rng() % 6);
      ASSERT_EQ(step([&] { stream.feed(std::string_view(input).substr(from, cut - from)); }), "") << input;
      from = cut;
      const std::size_t settled = runs.back().start + runs.back().text.size();
      ASSERT_EQ(tagmire_checks::check_preview(shown, parser::parse(input.substr(0, stream.walked()), config), settled),
                "")
          << input << " after " << cut;
    }
    ASSERT_EQ(step([&] { stream.close(); }), "") << input;
    types::ParseResult joined;
    ASSERT_EQ(tagmire_checks::join_runs(runs, joined), "") << input;
    ASSERT_EQ(joined, parser::parse(input, config)) << input;
  }
  EXPECT_GT(failures, 500);
}
#endif

// Found by the random test above with another seed: a forward tag stopped
// waiting for untrimmable text when its line ended, with nothing untrimmable
// after it, and the preview kept it listed as waiting after it closed.
TEST(Stream, AWaitingTagThatEndsWithItsLineLeavesNoTrace) {
  using types::RecoveryStrategy;
  ParserConfig config = ParserConfig::default_llm_friendly_config();
  config.recognized_tags = {"1a", "x-y", "NOTE", "o", "t", "note", "T", "cite"};
  config.recovery_strategies.clear();
  config.recovery_strategies.set("cite", RecoveryStrategy::forward_until_tag);
  config.recovery_strategies.set("note", RecoveryStrategy::forward_until_newline);
  config.recovery_strategies.set("t", RecoveryStrategy::forward_until_tag);
  config.recovery_strategies.set("o", RecoveryStrategy::retro_line);
  config.recovery_strategies.set("T", RecoveryStrategy::forward_until_tag);
  config.recovery_strategies.set("NOTE", RecoveryStrategy::forward_until_tag);
  config.recovery_strategies.set("x y", RecoveryStrategy::noop);
  config.recovery_strategies.set("1a", RecoveryStrategy::forward_next_token);
  config.unknown_mode = types::UnknownTagMode::strip;
  config.autoclose_on_any_tag = config.autoclose_on_same_tag = config.trim_punctuation = true;
  config.case_sensitive_tags = true;
  const std::string input =
      "</t>,\n<<!.\n]]>]]><a/<!<![CDATA[<![CDATA[<cite/><note>\n\n<T x=1 y='a b'><cite>]<cite/>]<a</note>";
  const std::vector<std::size_t> cuts = {6,  10, 12, 18, 20, 22, 25, 28, 33, 34, 35, 36, 39, 40,
                                         41, 46, 50, 53, 55, 61, 68, 75, 78, 80, 83, 85, 90, 92};
  EXPECT_EQ(tagmire_checks::check_stream(input, config, cuts, parser::parse(input, config)), "");
}

TEST(Stream, ALineSettlesBeforeTheNextOneArrives) {
  const auto runs = feed_all({"First <note>line</note><cite src=a/>.\n", "Second line", " goes on"});
  EXPECT_EQ(runs[0].text, "First line.\n");
  EXPECT_EQ(runs[0].records.segments().size(), 3u);  // "First ", "line" (note), ".\n"
  EXPECT_EQ(runs[0].records.markers().size(), 1u);
  EXPECT_EQ(runs[1].text, "");  // a cite still to come may annotate it
  EXPECT_EQ(runs[3].text, "Second line goes on");
}

TEST(Stream, AnOpenTagHoldsBackTheTextItMayStillAnnotate) {
  // The open cite may yet be closed by </cite> or recover backwards: its
  // line waits; so does everything after the open note.
  const auto runs = feed_all({"Before\nIt boils<cite>.\n", "After <note>open\n", "more\n", "</note>"});
  EXPECT_EQ(runs[0].text, "Before\n");
  EXPECT_EQ(runs[1].text, "It boils.\nAfter ");
  EXPECT_EQ(runs[2].text, "");
  EXPECT_EQ(runs[3].text, "open\nmore\n");
}

TEST(Stream, ATagSplitOverThreePiecesNeverLeaksIntoSettledText) {
  const auto runs = feed_all({"Paris.\nIt is big<ci", "te src=", "wiki/> and old.\n"});
  std::string settled;
  for (const auto& run : runs) settled += run.text;
  EXPECT_EQ(settled, "Paris.\nIt is big and old.\n");
  EXPECT_EQ(runs[0].text, "Paris.\n");
  EXPECT_EQ(runs[1].text, "");
  ASSERT_EQ(runs[2].records.markers().size(), 1u);
  EXPECT_EQ(runs[2].start + runs[2].records.markers()[0].pos, 16u);
}

TEST(Stream, WithoutRetroLineTextSettlesAsItArrives) {
  const auto runs = feed_all({"no line break <note>yet", " more</note> and then"}, config_with({"note"},
                             types::RecoveryStrategy::forward_until_tag));
  EXPECT_EQ(runs[0].text, "no line break ");
  EXPECT_EQ(runs[1].text, "yet more and then");
}

TEST(Stream, AnUnfinishedCdataSectionSettlesItsContentButHoldsAPossibleEnd) {
  const auto runs = feed_all({"<![CDATA[a<b>]", "]x]]", ">tail"}, config_with({"note"},
                             types::RecoveryStrategy::forward_until_tag));
  EXPECT_EQ(runs[0].text, "a<b>");
  EXPECT_EQ(runs[1].text, "]]x");
  EXPECT_EQ(runs[2].text, "tail");
}

TEST(Stream, HeldTailStaysSmallOverALongStream) {
  parser::StreamParser stream(std::make_shared<const parser::PreparedConfig>(ParserConfig::default_llm_friendly_config()));
  std::size_t most = 0;
  for (int i = 0; i < 20000; ++i) {
    stream.feed("A line with <note>a note</note> and a <cite src=x/> marker.\n");
    stream.take_settled();
    most = std::max(most, stream.held_bytes());
  }
  EXPECT_LT(most, 16384u);
}

}  // namespace
