// Shared helpers for the core tests: configurations built in one line and
// results flattened into values that read well in assertions.
#pragma once

#include <initializer_list>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "parser/parse.h"
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
    config.recovery_strategies[tag] = strategy;
  }
  config.autoclose_on_any_tag = autoclose;
  config.autoclose_on_same_tag = autoclose;
  return config;
}

inline std::vector<FlatSegment> segments_of(std::string_view text, const ParserConfig& config) {
  return flat_segments(parser::parse(text, config));
}

}  // namespace tagmire_test
