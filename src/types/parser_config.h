// The configuration that steers a parse, and its two presets. A parse reads
// a configuration and never changes it.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace types {

// How a recognised tag that is never closed by its own closing tag recovers.
enum class RecoveryStrategy : std::uint8_t {
  retro_line = 0,             // the text before the tag on its line
  forward_until_tag = 1,      // from the tag to its line's end or its closing
  forward_until_newline = 2,  // the same span as forward_until_tag
  forward_next_token = 3,     // the first alphanumeric run after the tag
  noop = 4,                   // nothing
};

// What becomes of a tag whose name is not recognised.
enum class UnknownTagMode : std::uint8_t {
  strip = 0,          // removed from the text
  passthrough = 1,    // kept as text, exactly as written
  treat_as_text = 2,  // the same as passthrough
};

struct ParserConfig {
  // Names are stored verbatim; only membership matters.
  std::unordered_set<std::string> recognized_tags;
  // A recognised name without an entry recovers by retro_line.
  std::unordered_map<std::string, RecoveryStrategy> recovery_strategies;
  UnknownTagMode unknown_mode = UnknownTagMode::strip;
  bool autoclose_on_any_tag = true;
  bool autoclose_on_same_tag = true;
  bool trim_punctuation = true;
  bool case_sensitive_tags = false;

  // "cite" alone, recovering by retro_line.
  static ParserConfig default_cite_config();
  // "cite" by retro_line; "note", "todo", "claim", "risk", "code" forward
  // until the next tag. The system's default.
  static ParserConfig default_llm_friendly_config();

  friend bool operator==(const ParserConfig&, const ParserConfig&) = default;
};

// The Python keywords of the enumerations ("retro_line", "strip", ...).
const char* keyword(RecoveryStrategy strategy);
const char* keyword(UnknownTagMode mode);

}  // namespace types
