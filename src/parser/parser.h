// The state of one parse: the output text, the stack of open tags, the spans
// recorded so far and the markers, with the operations that close tags.
// Every position counts bytes of the output text `out` from its beginning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/trimmable_runs.h"
#include "types/annotation.h"
#include "types/compact_result.h"
#include "types/parse_result.h"
#include "types/parser_config.h"

namespace parser {

// A folded tag name, interned: recognised names are numbered 0, 1, 2, ...
using TagKey = std::uint32_t;

// The configuration's names as one parse looks them up: recognised names
// (folded unless tags are case-sensitive) numbered as keys, with the recovery
// strategy of each. Built once per configuration, not per tag; a lookup
// happens for every tag, so it is a small open-addressing table.
class TagTable {
 public:
  explicit TagTable(const types::ParserConfig& config);

  // The key of a recognised folded name, or nothing.
  std::optional<TagKey> find(std::string_view name) const;
  types::RecoveryStrategy strategy(TagKey key) const { return strategies_[key]; }
  std::size_t size() const { return names_.size(); }

 private:
  static std::size_t hash(std::string_view name);
  TagKey insert(std::string name);

  std::vector<std::string> names_;               // indexed by key
  std::vector<types::RecoveryStrategy> strategies_;  // indexed by key
  std::vector<TagKey> slots_;                    // key + 1, or 0 when empty
};

inline constexpr std::size_t kUnknownPos = static_cast<std::size_t>(-1);

// A tag that has been opened and not yet closed.
struct OpenTag {
  std::string name;  // as written; becomes Annotation::tag
  TagKey key = 0;    // every comparison against the stack uses this
  types::AttrMap attrs;
  std::size_t start = 0;       // length of `out` when opened
  std::size_t line_start = 0;  // Parser::line_start when opened
  types::RecoveryStrategy strategy = types::RecoveryStrategy::retro_line;
  // Filled in as text arrives, so the forward strategies never search `out`:
  std::size_t line_end = kUnknownPos;     // first line feed written after `start`
  std::size_t token_begin = kUnknownPos;  // first alphanumeric character after `start`
  std::size_t token_end = kUnknownPos;    // end of the run `token_begin` starts
};

// A closed tag's stretch of output, [start, end), never empty.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  types::Annotation annotation;
};

class Parser {
 public:
  Parser(const types::ParserConfig& config, const TagTable& tags) : config(config), tags(tags) {}

  // Appends to `out`; every write to the output goes through here, as it
  // keeps `line_start` and the open tags' line and token ends up to date.
  void append_text(std::string_view piece);

  // A recognised opening tag: auto-close, then push.
  void open_tag(std::string_view name, TagKey key, types::AttrMap attrs);
  // A recognised self-closing tag: auto-close, then a marker.
  void add_marker(std::string_view name, TagKey key, types::AttrMap attrs);

  // Closes `tag` exactly at `end`, untrimmed; nothing when no text lies between.
  void close_explicit(OpenTag tag, std::size_t end);
  // Closes `tag` at `pos` by its recovery strategy, trimmed.
  void close_tag(OpenTag tag, std::size_t pos);
  // A recognised closing tag: closes the topmost open tag with `key` and
  // everything above it; dropped when none is open.
  void close_by_key(TagKey key);
  // Before a recognised opening or self-closing tag with `key` takes effect.
  void maybe_autoclose_on_start_like(TagKey key);
  // Shrinks [start, end) past trimmable characters at both ends; never widens.
  std::pair<std::size_t, std::size_t> trim_span(std::size_t start, std::size_t end);

  // Closes what is still open and assembles the result; consumes the parser.
  types::CompactResult finish() &&;

  const types::ParserConfig& config;
  const TagTable& tags;
  std::string out;
  std::vector<types::Marker> markers;
  std::vector<Span> spans;
  std::vector<OpenTag> stack;
  std::size_t line_start = 0;

 private:
  OpenTag pop_top();
  void close_down_to(std::size_t index, std::size_t pos);
  void track_tokens(std::size_t from);

  // Stack indices of the open tags of each key, bottom first.
  std::vector<std::vector<std::size_t>> open_by_key_ =
      std::vector<std::vector<std::size_t>>(tags.size());
  // Stack entries from this index up have seen no line feed yet.
  std::size_t line_pending_from_ = 0;
  // Stack indices of open forward_next_token tags, bottom first. From
  // `token_running_from_` their token has begun and not ended; from
  // `token_waiting_from_` it has not begun.
  std::vector<std::size_t> token_tags_;
  std::size_t token_running_from_ = 0;
  std::size_t token_waiting_from_ = 0;
  TrimmableRuns trimmable_runs_;
};

// Cuts `out` at every span boundary; each piece carries the annotations of
// the spans covering it, in recording order.
std::vector<types::Segment> build_segments(std::string_view out, const std::vector<Span>& spans);

// The same cuts as positions: segments in text order, and for each the
// indices of the spans covering it, in recording order. One sweep over the
// sorted span boundaries.
struct SegmentCuts {
  std::vector<types::SegmentCut> segments;
  std::vector<std::size_t> covering;
};
SegmentCuts cut_segments(std::size_t text_size, const std::vector<Span>& spans);

}  // namespace parser
