// Shared helpers for the core tests: configurations built in one line and
// results flattened into values that read well in assertions.
#pragma once

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/parse.h"
#include "parser/scanner.h"
#include "text/classes.h"
#include "text/text_runs.h"
#include "types/annotation_store.h"
#include "types/parser_config.h"

namespace types {

// Readable failure messages for attribute values.
inline void PrintTo(const AttrValue& value, std::ostream* os) {
  if (value.kind() == AttrValue::Kind::Bool) {
    *os << (value.as_bool() ? "Bool(true)" : "Bool(false)");
  } else {
    *os << "Str(\"" << value.as_str() << "\")";
  }
}

}  // namespace types

namespace tagmire_test {

// Every level of vector code this processor runs, plainest first: tests
// run each, so that what the processor lacks is still proven on the rest.
inline std::vector<text::SimdLevel> SimdLevels() {
  std::vector<text::SimdLevel> levels;
  for (const text::SimdLevel level :
       {text::SimdLevel::kScalar, text::SimdLevel::kSse2, text::SimdLevel::kNeon, text::SimdLevel::kAvx2}) {
    if (text::simd_level_runs(level)) levels.push_back(level);
  }
  return levels;
}

using types::ParserConfig;
using types::RecoveryStrategy;
using types::UnknownTagMode;

// A segment as (text, [tag, ...]).
using FlatSegment = std::pair<std::string, std::vector<std::string>>;

inline std::vector<FlatSegment> flat_segments(const types::ParseResult& result) {
  std::vector<FlatSegment> flat;
  for (const auto& segment : result.segments) {
    std::vector<std::string> tags;
    for (const auto& annotation : segment.annotations) tags.push_back(annotation.tag);
    flat.emplace_back(segment.text, tags);
  }
  return flat;
}

// A configuration recognising `tags`, each recovering by `strategy`, with
// both auto-close switches as given.
inline ParserConfig config_with(std::initializer_list<const char*> tags,
                                RecoveryStrategy strategy = RecoveryStrategy::retro_line,
                                bool autoclose = false) {
  ParserConfig config = ParserConfig::default_cite_config();
  config.recognized_tags.clear();
  config.recovery_strategies.clear();
  for (const char* tag : tags) {
    config.recognized_tags.insert(tag);
    config.recovery_strategies.set(tag, strategy);
  }
  config.autoclose_on_any_tag = autoclose;
  config.autoclose_on_same_tag = autoclose;
  return config;
}

inline std::vector<FlatSegment> segments_of(std::string_view text, const ParserConfig& config) {
  return flat_segments(parser::parse(text, config));
}

// One tag scanned at `pos` of UTF-8 `input`, with everything the scanner
// found copied out so that assertions can compare values.
struct ScannedTag {
  struct Token {
    std::string raw;
    std::string name;
    types::AttrMap attrs;
    parser::TagKind kind = parser::TagKind::Open;
  } token;
  std::size_t length = 0;
};

inline std::optional<ScannedTag> scan_tag(std::string_view input, std::size_t pos) {
  parser::TagScanner<text::Utf8> scanner;
  scanner.reset({input.data(), input.size()});
  std::optional<parser::TagToken> found(std::in_place);
  if (!scanner.scan(pos, *found)) return std::nullopt;
  ScannedTag tag;
  tag.token.raw = std::string(input.substr(found->begin, found->end - found->begin));
  tag.token.name = std::string(input.substr(found->name_begin, found->name_end - found->name_begin));
  tag.token.kind = found->kind;
  if (found->kind != parser::TagKind::Close) {
    types::AnnotationReader<char> reader(input.data(), found->name_begin);
    for (std::size_t k = 0, n = reader.attribute_count(); k < n; ++k) {
      const auto a = reader.next_attribute();
      std::string key(a.key.data, a.key.size);
      tag.token.attrs.emplace_back(std::move(key), a.has_value ? types::AttrValue::str(std::string(a.value.data, a.value.size))
                                                               : types::AttrValue::boolean(true));
    }
  }
  tag.length = found->end - found->begin;
  return tag;
}

// What the `<` at `pos` of UTF-8 `input` begins: as a complete input, or as
// one that may still grow.
inline parser::Markup markup_at(std::string_view input, std::size_t pos, bool complete = true) {
  parser::TagScanner<text::Utf8> scanner;
  scanner.reset({input.data(), input.size()});
  parser::TagToken token;
  return complete ? scanner.markup_at<true>(pos, token) : scanner.markup_at<false>(pos, token);
}

inline std::size_t cdata_end(std::string_view input, std::size_t from) {
  return parser::find_cdata_end(text::TextView<text::Utf8>{input.data(), input.size()}, from);
}

}  // namespace tagmire_test
