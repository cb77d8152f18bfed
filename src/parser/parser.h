// The state of one parse and its operations: the walk over the input, the
// dispatch of each tag, the stack of open tags and the ways tags close.
// Every position counts code units of the output text from its beginning.
//
// A Parser is a workspace: `start` begins a parse and `finish` ends it, and
// the storage it grew is kept for the next parse, so that parsing many
// small answers allocates next to nothing beyond the results.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "parser/output_buffer.h"
#include "parser/scanner.h"
#include "parser/segments.h"
#include "parser/tag_memo.h"
#include "parser/tag_table.h"
#include "parser/trimmable_runs.h"
#include "text/encoding.h"
#include "types/annotation_store.h"
#include "types/parse_records.h"
#include "types/pod_vector.h"

namespace parser {

template <class Form>
class Parser {
 public:
  using Unit = typename Form::Unit;
  using Text = text::TextView<Form>;

  Parser() = default;
  // A copy of a parse under way (a stream's preview finishes one): its
  // state, not the storage it works in.
  Parser(const Parser& other);
  Parser& operator=(const Parser&) = delete;

  // Begins a parse under `config`, writing its text to `out`. Both must
  // outlive the parse.
  void start(const PreparedConfig& config, OutputBuffer<Unit>& out);

  // Walks all of `input` (which must outlive the call): text runs and CDATA
  // content are copied out, tags are scanned and dispatched.
  void walk(const Text& input);

  // Closes every tag still open by its recovery strategy, cuts the text into
  // segments and hands over the records.
  types::ParseRecords finish();

  // The same in two steps, for a caller that packs the records into memory
  // of its own: the parts to pack (valid until `end`), then the end of the
  // parse, which gives back storage a large parse grew.
  types::ParseRecords::Parts finish_parts();
  void end();

  // --- A text that arrives in pieces (see StreamParser) ---

  // The input to walk has grown (or moved): `input` holds everything from
  // the first unconsumed position the last walk returned on. `moved` when
  // earlier positions were dropped, so the scanner forgets what it knew.
  void see_input(const Text& input, bool moved);
  // Walks from `pos` as far as the input decides: it stops before a `<`
  // whose meaning depends on input still to come (a tag whose `>` has not
  // arrived, what may be a CDATA section's start) and keeps back the end of
  // an unfinished CDATA section that may be the start of its `]]>`. With
  // `final` the input is complete and everything is decided. Returns where
  // it stopped.
  std::size_t walk_available(std::size_t pos, bool final);
  // Closes every tag still open by its recovery strategy (the end of a
  // streamed input).
  void close_open_tags();
  // Where settled text ends: no tag still open or still to come can change
  // how text before it is annotated or cut, so it will never change.
  std::size_t settled_end() const;
  // The records of text [from, to) (both settled), with positions counted
  // from `from`, valid until the next call of any member; and whether a
  // segment boundary lies at `from`.
  types::ParseRecords::Parts window_parts(std::size_t from, std::size_t to);
  bool boundary_at(std::size_t pos) const;
  // After the records up to `to` have been handed out: forgets spans and
  // markers that lie wholly before it, and, when that is worth it, drops
  // the settled text and moves every position down. Returns how far
  // positions moved.
  std::size_t forget_before(std::size_t to);
  bool has_marker_through(std::size_t pos) const { return !markers_.empty() && markers_[0].pos <= pos; }
  std::size_t text_size() const { return out_->size; }
  const Unit* text_data() const { return out_->data; }
  // Points a copied parser at its own output buffer.
  void rebind_output(OutputBuffer<Unit>& out) { out_ = &out; }

 private:
  // A tag opened and not yet closed. `reach` is what its strategy needs
  // besides `start`: the line start for retro_line, the first line feed
  // written after it for the forward strategies, the beginning of its token
  // for forward_next_token (which also keeps `token_end`).
  struct OpenTag {
    std::size_t start = 0;
    std::size_t reach = kNoPosition;
    std::size_t token_end = kNoPosition;
    types::AnnotationRef annotation = 0;
    TagKey key = 0;
    std::uint32_t below_same_key = 0;  // stack index + 1 of the next open tag with this key, 0 none
    types::RecoveryStrategy strategy = types::RecoveryStrategy::retro_line;
  };

  Text output() const { return Text{out_->data, out_->size}; }

  void dispatch(const TagToken& token);
  // Appends to the output; every write goes through here, as it keeps
  // `line_start_` and the open tags' line and token ends up to date.
  void append_text(const Unit* piece, std::size_t n);
  std::size_t append_run(std::size_t pos);
  void note_text(std::size_t base, std::size_t first_line_feed, std::size_t last_line_feed);
  types::AnnotationRef store_annotation(const TagToken& token);

  void open_tag(TagKey key, types::AnnotationRef annotation);
  void add_marker(TagKey key, types::AnnotationRef annotation);
  // Closes `tag` exactly at `end`, untrimmed; nothing when no text lies between.
  void close_explicit(const OpenTag& tag, std::size_t end);
  // Closes `tag` at `pos` by its recovery strategy, trimmed.
  void close_tag(const OpenTag& tag, std::size_t pos);
  // A recognised closing tag: closes the topmost open tag with `key` and
  // everything above it; dropped when none is open.
  void close_by_key(TagKey key);
  // Before a recognised opening or self-closing tag with `key` takes effect.
  void maybe_autoclose_on_start_like(TagKey key);
  // Shrinks [start, end) past trimmable characters at both ends; never widens.
  std::pair<std::size_t, std::size_t> trim_span(std::size_t start, std::size_t end);

  OpenTag pop_top();
  // Closes the entries above `index` by their strategies, topmost first, then
  // the entry at `index` explicitly.
  void close_down_to(std::size_t index, std::size_t pos);
  void track_tokens(std::size_t from);
  void compact_annotations();
  types::AnnotationRef window_annotation(types::AnnotationRef ref);

  const PreparedConfig* config_ = nullptr;
  OutputBuffer<Unit>* out_ = nullptr;
  Text input_;
  TagScanner<Form> scanner_;
  types::PodVector<OpenTag> stack_;
  // Per key, the stack index + 1 of its topmost open tag (0: none open). All
  // zero between parses, since a parse ends with the stack empty.
  std::vector<std::uint32_t> key_top_;
  types::PodVector<Span> spans_;
  types::PodVector<types::MarkerRecord> markers_;
  types::AnnotationWriter annotations_;
  TagMemo<Unit> memo_;
  std::size_t line_start_ = 0;
  // Stack entries from this index up have seen no line feed yet.
  std::size_t line_pending_from_ = 0;
  // Stack indices of open forward_next_token tags, bottom first. From
  // `token_running_from_` their token has begun and not ended; from
  // `token_waiting_from_` it has not begun.
  types::PodVector<std::size_t> token_tags_;
  std::size_t token_running_from_ = 0;
  std::size_t token_waiting_from_ = 0;
  TrimmableRuns trimmable_runs_;
  SegmentAssembly assembly_;

  // For walks over a streamed input.
  bool in_cdata_ = false;              // inside a CDATA section whose `]]>` has not come
  std::size_t first_retro_ = kNoPosition;  // stack index of the lowest open retro_line tag
  bool boundary_at_settled_ = false;   // a span began or ended where the last window ended
  std::size_t settled_at_ = 0;         // where the last window ended
  types::PodVector<Span> window_spans_;
  types::PodVector<types::MarkerRecord> window_markers_;
  types::AnnotationWriter window_annotations_;
  std::unordered_map<types::AnnotationRef, types::AnnotationRef> window_refs_;
};

}  // namespace parser
