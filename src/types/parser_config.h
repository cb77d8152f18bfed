// The configuration that steers a parse, its two presets, and the keywords
// that name its enumerations. A parse reads a configuration and never
// changes it. Every layer (the module's setters, the package's Config and
// its file loader) takes its vocabulary from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

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

// Every variant, in the order of their values.
inline constexpr std::array kRecoveryStrategies = {
    RecoveryStrategy::retro_line,         RecoveryStrategy::forward_until_tag, RecoveryStrategy::forward_until_newline,
    RecoveryStrategy::forward_next_token, RecoveryStrategy::noop,
};
inline constexpr std::array kUnknownTagModes = {
    UnknownTagMode::strip,
    UnknownTagMode::passthrough,
    UnknownTagMode::treat_as_text,
};

// The keywords that name the variants ("retro_line", "strip", ...).
const char* keyword(RecoveryStrategy strategy);
const char* keyword(UnknownTagMode mode);

// The variant whose keyword is exactly `word` (callers fold it first), or
// nothing.
std::optional<RecoveryStrategy> recovery_strategy_named(std::string_view word);
std::optional<UnknownTagMode> unknown_mode_named(std::string_view word);

// Recovery strategies by tag name as written, in the order each name was
// last set. The order matters: when names fold to the same key (tags
// matched without regard to case), the strategy set last wins.
class StrategyTable {
 public:
  using Entry = std::pair<std::string, RecoveryStrategy>;

  StrategyTable() = default;
  StrategyTable(std::initializer_list<Entry> entries);

  // Sets the strategy of exactly `tag`; the entry becomes the last one.
  void set(std::string_view tag, RecoveryStrategy strategy);
  void clear();
  // The strategy set for exactly `tag`, or nothing.
  std::optional<RecoveryStrategy> find(std::string_view tag) const;
  std::size_t size() const { return index_.size(); }
  bool empty() const { return index_.empty(); }

  // The entries in the order they were last set.
  std::vector<Entry> entries() const;
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const auto& slot : slots_) {
      if (slot) visit(slot->first, slot->second);
    }
  }

  friend bool operator==(const StrategyTable& a, const StrategyTable& b) { return a.entries() == b.entries(); }

 private:
  // A name set again leaves an empty slot behind, so setting stays cheap
  // for configurations of any size; slots are compacted when half are empty.
  std::vector<std::optional<Entry>> slots_;
  std::unordered_map<std::string, std::size_t> index_;  // name -> slot
};

struct ParserConfig {
  // Names are stored verbatim; only membership matters.
  std::unordered_set<std::string> recognized_tags;
  // A recognised name without an entry recovers by retro_line.
  StrategyTable recovery_strategies;
  UnknownTagMode unknown_mode = UnknownTagMode::strip;
  bool autoclose_on_any_tag = true;
  bool autoclose_on_same_tag = true;
  bool trim_punctuation = true;
  bool case_sensitive_tags = false;

  // How the package reads its defaults; the module's presets leave them off,
  // and only the package's configurations turn them on.
  //
  // An auto-close by another tag stays provisional until the paragraph
  // ends (a blank line) or the text does: the tag's own closing tag, if it
  // comes before then, closes it exactly there, so that well-nested markup
  // keeps its nesting. `<note>A <claim>b</claim> c</note>`: note over
  // "A b c", not over "A".
  bool provisional_autoclose = false;
  // A retro_line tag reaches back to the last retro_line tag or marker on
  // its line rather than to the line's start, so that the citations of one
  // paragraph cite their own sentences: in `A<cite>. B<cite>.` the second
  // covers "B", not "A. B".
  bool retro_line_split = false;
  // forward_next_token takes whole grapheme clusters: combining marks and
  // the zero-width joiners stay with the letters they follow.
  bool token_clusters = false;

  // "cite" alone, recovering by retro_line.
  static ParserConfig default_cite_config();
  // "cite" by retro_line; "note", "todo", "claim", "risk", "code" forward
  // until the next tag. The system's default.
  static ParserConfig default_llm_friendly_config();

  friend bool operator==(const ParserConfig&, const ParserConfig&) = default;
};

}  // namespace types
