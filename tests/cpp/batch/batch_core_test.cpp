// The batch core with several threads over one shared set of rows: every
// row lands once, in order, with what a single-threaded run gives. The
// ThreadSanitizer build of this test (tools/ci_robustness.sh) watches the
// threads while they share the rows and the configuration.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parser/parse.h"
#include "batch/batch_core.h"
#include "batch/joined_threads.h"

namespace {

using batch::ArrowStrings;
using batch::OutputChunk;
using batch::parse_rows;
using batch::TextRow;

std::vector<std::string> sample_texts(std::size_t count) {
  const char* pieces[] = {"Water boils at 100 C.<cite>\n<note>verify altitude", "", "é<cite src=x k/>ü",
                          "<claim id=1>東京</claim> <todo>x\n<risk/>", "plain words", "a<cite>\n<note>b<note>c"};
  std::vector<std::string> texts;
  for (std::size_t i = 0; i < count; ++i) texts.push_back(std::string(pieces[i % 6]) + std::to_string(i));
  return texts;
}

TextRow utf8_row(const std::string& text) {
  TextRow row;
  row.data = text.data();
  row.length = text.size();
  return row;
}

// One row of a chunk, rebuilt as (text, segment texts with tags, markers).
struct Row {
  bool null = false;
  std::string text;
  std::vector<std::pair<std::string, std::vector<std::string>>> segments;
  std::vector<std::pair<std::int64_t, std::string>> markers;
  friend bool operator==(const Row&, const Row&) = default;
};

std::vector<Row> rows_of(const std::vector<OutputChunk>& chunks) {
  std::vector<Row> rows;
  for (const OutputChunk& chunk : chunks) {
    const auto& validity = const_cast<OutputChunk&>(chunk).row_validity.bytes();
    for (std::int64_t r = 0; r < chunk.rows; ++r) {
      Row row;
      row.null = chunk.null_rows > 0 && (validity[r / 8] & (1 << (r % 8))) == 0;
      const auto text_begin = chunk.text.offsets[r];
      row.text.assign(chunk.text.data.data() + text_begin, chunk.text.offsets[r + 1] - text_begin);
      for (auto s = chunk.segment_offsets[r]; s < chunk.segment_offsets[r + 1]; ++s) {
        std::vector<std::string> tags;
        for (auto a = chunk.annotation_offsets[s]; a < chunk.annotation_offsets[s + 1]; ++a) {
          const auto& tag_offsets = chunk.annotation_tags.offsets;
          tags.emplace_back(chunk.annotation_tags.data.data() + tag_offsets[a], tag_offsets[a + 1] - tag_offsets[a]);
        }
        row.segments.emplace_back(row.text.substr(chunk.segment_start[s], chunk.segment_end[s] - chunk.segment_start[s]),
                                  tags);
      }
      for (auto m = chunk.marker_offsets[r]; m < chunk.marker_offsets[r + 1]; ++m) {
        const auto& tag_offsets = chunk.marker_tags.offsets;
        row.markers.emplace_back(chunk.marker_pos[m], std::string(chunk.marker_tags.data.data() + tag_offsets[m],
                                                                  tag_offsets[m + 1] - tag_offsets[m]));
      }
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

Row null_row() {
  Row row;
  row.null = true;
  return row;
}

Row expected_row(const std::string& text, const types::ParserConfig& config) {
  const types::ParseResult result = parser::parse(text, config);
  Row row;
  row.text = result.text;
  for (const auto& segment : result.segments) {
    std::vector<std::string> tags;
    for (const auto& annotation : segment.annotations) tags.push_back(annotation.tag);
    row.segments.emplace_back(segment.text, tags);
  }
  for (const auto& marker : result.markers) row.markers.emplace_back(marker.pos, marker.annotation.tag);
  return row;
}

TEST(ParseRows, EveryThreadCountGivesTheRowsOfParseInOrder) {
  const auto texts = sample_texts(997);
  std::vector<TextRow> rows;
  for (const auto& text : texts) rows.push_back(utf8_row(text));
  rows[5].null = true;
  const auto config = types::ParserConfig::default_llm_friendly_config();
  std::vector<Row> expected;
  for (std::size_t i = 0; i < texts.size(); ++i) expected.push_back(i == 5 ? null_row() : expected_row(texts[i], config));
  for (std::size_t threads : {1u, 2u, 3u, 4u, 8u}) {
    const auto outcome = parse_rows(rows, parser::PreparedConfig(config), threads);
    EXPECT_EQ(outcome.chunks.size(), threads);
    EXPECT_FALSE(outcome.invalid_row);
    EXPECT_EQ(rows_of(outcome.chunks), expected) << threads << " threads";
  }
}

TEST(ParseRows, NeverStartsMoreThreadsThanRows) {
  const std::string text = "a<cite/>";
  const std::vector<TextRow> rows{utf8_row(text), utf8_row(text)};
  EXPECT_EQ(parse_rows(rows, parser::default_prepared_config(), 16).chunks.size(), 2u);
  EXPECT_TRUE(parse_rows({}, parser::default_prepared_config(), 4).chunks.empty());
}

TEST(ParseRows, ManyBatchesAtOnceShareOneConfiguration) {
  // Batches on their own threads, all reading one configuration and one
  // set of rows, as several Python threads calling parse_batch do.
  const auto texts = sample_texts(300);
  std::vector<TextRow> rows;
  for (const auto& text : texts) rows.push_back(utf8_row(text));
  const parser::PreparedConfig config(types::ParserConfig::default_cite_config());
  const auto expected = rows_of(parse_rows(rows, config, 1).chunks);
  std::vector<std::vector<Row>> seen(4);
  {
    batch::JoinedThreads callers;
    for (auto& out : seen) callers.start([&] { out = rows_of(parse_rows(rows, config, 3).chunks); });
  }
  for (const auto& out : seen) EXPECT_EQ(out, expected);
}

TEST(ParseRows, CodeUnitsAreEncodedAndCharacterOffsetsCounted) {
  const std::u16string wide = u"é<cite src=x/>東京<note>a";
  const std::u32string widest = U"🙂<cite/>x";
  const std::vector<std::uint8_t> latin1 = {'c', 'a', 'f', 0xE9, '<', 'c', 'i', 't', 'e', '/', '>'};
  std::vector<TextRow> rows(3);
  rows[0] = {wide.data(), wide.size(), 2, false};
  rows[1] = {widest.data(), widest.size(), 4, false};
  rows[2] = {latin1.data(), latin1.size(), 1, false};
  const auto outcome = parse_rows(rows, parser::default_prepared_config(), 3);
  const auto parsed = rows_of(outcome.chunks);
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[0].text, "é東京a");
  EXPECT_EQ(parsed[0].markers, (std::vector<std::pair<std::int64_t, std::string>>{{2, "cite"}}));
  EXPECT_EQ(parsed[1].markers, (std::vector<std::pair<std::int64_t, std::string>>{{4, "cite"}}));
  EXPECT_EQ(parsed[2].text, "café");
  EXPECT_EQ(std::vector<std::int64_t>(outcome.chunks[0].marker_char_pos.begin(), outcome.chunks[0].marker_char_pos.end()),
            std::vector<std::int64_t>{1});
  EXPECT_EQ(outcome.chunks[0].segment_char_end.back(), 4);
  EXPECT_EQ(std::vector<std::int64_t>(outcome.chunks[1].marker_char_pos.begin(), outcome.chunks[1].marker_char_pos.end()),
            std::vector<std::int64_t>{1});
}

// Every character offset is the count of characters before its byte
// offset in the row's text.
void expect_char_offsets_counted(const OutputChunk& chunk) {
  const auto chars_before = [&](std::int64_t row_start, std::int64_t byte) {
    std::int64_t chars = 0;
    for (std::int64_t i = row_start; i < row_start + byte; ++i) {
      chars += (static_cast<unsigned char>(chunk.text.data[static_cast<std::size_t>(i)]) & 0xC0) != 0x80;
    }
    return chars;
  };
  for (std::int64_t r = 0; r < chunk.rows; ++r) {
    const std::int64_t start = chunk.text.offsets[r];
    for (auto s = chunk.segment_offsets[r]; s < chunk.segment_offsets[r + 1]; ++s) {
      ASSERT_EQ(chunk.segment_char_start[s], chars_before(start, chunk.segment_start[s])) << "row " << r;
      ASSERT_EQ(chunk.segment_char_end[s], chars_before(start, chunk.segment_end[s])) << "row " << r;
    }
    for (auto m = chunk.marker_offsets[r]; m < chunk.marker_offsets[r + 1]; ++m) {
      ASSERT_EQ(chunk.marker_char_pos[m], chars_before(start, chunk.marker_pos[m])) << "row " << r;
    }
  }
}

TEST(ParseRows, CharacterOffsetsCountEveryWideCharacterBeforeThem) {
  // Rows of every length to a few hundred bytes, wide characters on both
  // sides of every 64-byte edge, tags and markers among them; ASCII rows
  // between, which need no counting.
  const char* pieces[] = {"é", "東京", "🙂", "<cite src=\"ü\"/>", "<note>", "</note>", "<claim>x", "abc ", "\n"};
  std::vector<std::string> texts;
  for (std::size_t n = 0; n < 400; ++n) {
    std::string text;
    for (std::size_t k = 0; text.size() < n; ++k) text += n % 5 == 0 ? "ab<cite/>" : pieces[(n * 7 + k * 3) % 9];
    texts.push_back(std::move(text));
  }
  std::vector<TextRow> rows;
  for (const auto& text : texts) rows.push_back(utf8_row(text));
  const auto outcome = parse_rows(rows, parser::default_prepared_config(), 3);
  ASSERT_EQ(outcome.chunks.size(), 3u);
  std::int64_t markers = 0;
  for (const OutputChunk& chunk : outcome.chunks) {
    expect_char_offsets_counted(chunk);
    markers += static_cast<std::int64_t>(chunk.marker_pos.size());
  }
  EXPECT_GT(markers, 400);
}

TEST(ParseRows, TextThatCannotBeParsedStopsTheBatchOrIsReplacedOrNulled) {
  const std::u16string good = u"fine";
  const std::u16string surrogate = u"x\xD800y";
  // Overlong, an encoded surrogate, past U+10FFFF, a stray continuation byte
  // and a truncated character: each a maximal ill-formed stretch.
  const std::string bytes = "a\xC0\xAF b\xED\xA0\x80 c\xF4\x90\x80\x80 d\x80 e\xE2\x82";
  std::vector<TextRow> rows;
  for (int i = 0; i < 10; ++i) rows.push_back({good.data(), good.size(), 2, false});
  rows[7] = {surrogate.data(), surrogate.size(), 2, false};
  rows[8] = {bytes.data(), bytes.size(), 0, false, true};

  const auto strict = parse_rows(rows, parser::default_prepared_config(), 3);
  ASSERT_TRUE(strict.invalid_row);
  EXPECT_EQ(strict.invalid_row->row, 7u);
  EXPECT_EQ(strict.invalid_row->fault, batch::RowFault::lone_surrogate);
  EXPECT_EQ(strict.invalid_row->at, 1u);
  rows[7] = rows[0];
  const auto bad_bytes = parse_rows(rows, parser::default_prepared_config(), 3);
  ASSERT_TRUE(bad_bytes.invalid_row);
  EXPECT_EQ(bad_bytes.invalid_row->row, 8u);
  EXPECT_EQ(bad_bytes.invalid_row->fault, batch::RowFault::not_utf8);
  EXPECT_EQ(bad_bytes.invalid_row->at, 1u);

  rows[7] = {surrogate.data(), surrogate.size(), 2, false};
  const auto replaced = rows_of(parse_rows(rows, parser::default_prepared_config(), 3, {.errors = batch::ErrorPolicy::replace}).chunks);
  EXPECT_EQ(replaced[7].text, "x\xEF\xBF\xBDy");
  // As bytes.decode("utf-8", errors="replace") gives it.
  const std::string r = "\xEF\xBF\xBD";
  EXPECT_EQ(replaced[8].text, "a" + r + r + " b" + r + r + r + " c" + r + r + r + r + " d" + r + " e" + r);

  const auto nulled = parse_rows(rows, parser::default_prepared_config(), 3, {.errors = batch::ErrorPolicy::null});
  EXPECT_EQ(nulled.nulled_rows, 2u);
  const auto nulled_rows = rows_of(nulled.chunks);
  EXPECT_EQ(nulled_rows[7], null_row());
  EXPECT_EQ(nulled_rows[8], null_row());
  EXPECT_EQ(nulled_rows[9].text, "fine");
}

TEST(AppendArrowRows, ReadsSlicesNullsAndBothOffsetWidths) {
  const std::string data = "abcdefgh";
  const std::int32_t offsets32[] = {0, 1, 3, 3, 6, 8};
  const std::int64_t offsets64[] = {0, 1, 3, 3, 6, 8};
  const std::uint8_t validity[] = {0b11011};  // row 2 null
  for (bool large : {false, true}) {
    ArrowStrings strings;
    strings.length = 4;
    strings.offset = 1;
    strings.validity = validity;
    strings.offsets = large ? static_cast<const void*>(offsets64) : offsets32;
    strings.offsets_size = large ? sizeof(offsets64) : sizeof(offsets32);
    strings.large_offsets = large;
    strings.data = data.data();
    strings.data_size = data.size();
    std::vector<TextRow> rows;
    ASSERT_TRUE(append_arrow_rows(strings, rows));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(std::string_view(static_cast<const char*>(rows[0].data), rows[0].length), "bc");
    EXPECT_TRUE(rows[1].null);
    EXPECT_EQ(std::string_view(static_cast<const char*>(rows[2].data), rows[2].length), "def");
    EXPECT_EQ(std::string_view(static_cast<const char*>(rows[3].data), rows[3].length), "gh");
  }
}

TEST(AppendArrowRows, RefusesOffsetsOutsideTheBuffers) {
  const std::string data = "abc";
  std::vector<TextRow> rows;
  const std::int32_t backwards[] = {0, 2, 1};
  const std::int32_t beyond[] = {0, 2, 9};
  const std::int32_t negative[] = {-1, 2};
  for (const std::int32_t* offsets : {backwards, beyond}) {
    ArrowStrings strings{2, 0, nullptr, offsets, 3 * sizeof(std::int32_t), false, data.data(), data.size()};
    EXPECT_FALSE(append_arrow_rows(strings, rows));
  }
  ArrowStrings negative_start{1, 0, nullptr, negative, sizeof(negative), false, data.data(), data.size()};
  EXPECT_FALSE(append_arrow_rows(negative_start, rows));
  // Offsets for fewer rows than the length claims.
  ArrowStrings short_offsets{3, 0, nullptr, beyond, 2 * sizeof(std::int32_t), false, data.data(), data.size()};
  EXPECT_FALSE(append_arrow_rows(short_offsets, rows));
}

}  // namespace
