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
#include <span>
#include <vector>

#include "parser/output_buffer.h"
#include "parser/scanner.h"
#include "parser/segments.h"
#include "parser/tag_table.h"
#include "parser/trimmable_runs.h"
#include "text/encoding.h"
#include "types/annotation_store.h"
#include "types/parse_records.h"
#include "util/pod_vector.h"

namespace parser {

// A change to the stack of open tags, logged when asked for a caller that
// keeps its own view of what the open tags cover: a stream's preview.
struct StackEvent {
  enum class Kind : std::uint8_t {
    kPush,   // a tag was opened at stack index `index`
    kPop,    // the tag at `index` was closed, recording the span at `span` of spans() (or none)
    kReach,  // the tag at `index` met its line's end, or its token began or ended
  };
  Kind kind = Kind::kPush;
  std::uint32_t index = 0;
  std::size_t span = kNoPosition;
};

template <class Form>
class Parser {
 public:
  using Unit = typename Form::Unit;
  using Text = text::TextView<Form>;

  Parser() = default;
  // A parse's state lives in its workspace: it is not copied.
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  // Begins a parse under `config`, writing its text to `out`. Both must
  // outlive the parse. The annotations refer to the tags where they stand
  // in the input, which must then outlive the records, unless
  // `copy_annotations` (for input that is dropped as it is walked).
  void start(const PreparedConfig& config, OutputBuffer<Unit>& out, bool copy_annotations = false);

  // The input to walk, which must outlive the walks over it: the whole text
  // of a one-shot parse; for a text arriving in pieces, everything from the
  // first position not yet consumed, grown at its end since the last walk.
  // `moved` when that first position moved: the scanner forgets what it
  // knew about positions.
  void see_input(const Text& input, bool moved);

  // For a one-shot parse of a wide form: tests the whole input for lone
  // surrogates at once when it is very short, which costs less than the
  // test of each tag's units that the walk makes otherwise (runs are tested
  // as they are copied).
  void test_short_input_for_surrogates();

  // The walk over the input from `pos`: text runs and CDATA content are
  // copied out, tags are scanned and dispatched. With kFinal the input is
  // complete and the walk reaches its end. Otherwise it stops before a `<`
  // whose meaning depends on input still to come (a tag whose `>` has not
  // arrived, what may begin a CDATA section), and inside an unfinished CDATA
  // section before up to two `]` that may begin its end. Returns where it
  // stopped. A text cut anywhere and walked piece by piece gives exactly
  // the parse of the whole.
  template <bool kFinal>
  std::size_t walk(std::size_t pos);

  // Closes every tag still open by its recovery strategy and cuts the text
  // into segments: the parts of the records, for the caller to pack into
  // memory of its own, valid until `end`.
  types::ParseRecords::Parts finish_parts();
  // Ends the parse, giving back storage a large parse grew.
  void end();

  // A tag opened and not yet closed. `reach` is what its strategy needs
  // besides `start`: the line start for retro_line, the first line feed
  // written after it for the forward strategies, the beginning of its token
  // for forward_next_token (which also keeps `token_end`).
  //
  // Under provisional auto-close a tag that another tag auto-closed stays
  // on the stack until its paragraph ends, in case its own closing tag
  // comes: `provisional_end` is where it was auto-closed, and where it
  // closes by its strategy if that tag does not come. Only the topmost
  // open tag can lack one, since each recognised tag that opens or stands
  // makes the topmost provisional.
  struct OpenTag {
    std::size_t start = 0;
    std::size_t reach = kNoPosition;
    std::size_t token_end = kNoPosition;
    std::size_t provisional_end = kNoPosition;
    types::AnnotationRef annotation = 0;
    TagKey key = 0;
    std::uint32_t below_same_key = 0;  // stack index + 1 of the next open tag with this key, 0 none
    types::RecoveryStrategy strategy = types::RecoveryStrategy::retro_line;
  };

  // --- What a parse has so far, for a caller that hands text out as it
  // settles (parser/stream.h) ---

  // Closes every tag still open by its recovery strategy, without ending
  // the parse.
  void close_open_tags();
  // Where settled text ends: no tag still open or still to come can change
  // how text before it is annotated or cut, so it will never change.
  std::size_t settled_end() const;
  // The spans recorded so far, in recording order, and the markers.
  std::span<const Span> spans() const { return spans_; }
  std::span<const types::MarkerRecord> markers() const { return markers_; }
  std::span<const OpenTag> open_tags() const { return stack_; }
  // What `tag` would cover if it were closed by its strategy now: its span,
  // trimmed, empty (start == end) when it would record nothing.
  Span recovered_span(const OpenTag& tag) { return recovered_span(tag, out_->size); }
  // Where a span that runs to the end of the text ends once trimmed: after
  // its last character that is not trimmable (the end when trimming is off).
  std::size_t trimmed_end();
  // The changes to the stack since the log was last cleared, oldest first;
  // kept only while logging is on.
  void log_stack_events(bool on) { log_events_ = on; }
  std::span<const StackEvent> stack_events() const { return events_; }
  void clear_stack_events() { events_.clear(); }
  // The text of the tags the spans' and markers' annotations refer to.
  const char* annotation_bytes() const {
    return copy_annotations_ ? annotations_.data() : reinterpret_cast<const char*>(input_.data);
  }
  std::size_t text_size() const { return out_->size; }
  const Unit* text_data() const { return out_->data; }
  const PreparedConfig& config() const { return *config_; }

  // --- Going back, for a stream whose piece failed for want of memory and
  // must leave the stream as it was ---

  // Remembers the parse as it stands; from now on the open tags that are
  // changed or closed are remembered as they were, which costs what the
  // walk does.
  void save_point();
  // Back to the parse at the save point: the text, spans, markers and
  // annotations written since are forgotten and the open tags restored.
  void roll_back();
  void drop_save_point() {
    saving_ = false;
    saved_tags_.clear();
  }

  // Forgets the spans that end at or before `to` and the first `markers`
  // markers: they have been handed out.
  void forget_through(std::size_t to, std::size_t markers);
  // Drops the text before `to` (handed out long ago) and moves every
  // position down by `to`, keeping only the annotations still referred to.
  void drop_text_before(std::size_t to);

 private:

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
  Span recovered_span(const OpenTag& tag, std::size_t pos);
  // Records a closed tag's span (never empty).
  void record(const Span& span) {
    spans_.push_back(span);
    if (log_events_) events_.back().span = spans_.size() - 1;  // its kPop
  }
  // A recognised closing tag: closes the topmost open tag with `key` and
  // everything above it; dropped when none is open.
  void close_by_key(TagKey key);
  // Before a recognised opening or self-closing tag with `key` takes effect.
  void maybe_autoclose_on_start_like(TagKey key);
  // Shrinks [start, end) past trimmable characters at both ends; never widens.
  std::pair<std::size_t, std::size_t> trim_span(std::size_t start, std::size_t end);

  OpenTag pop_top();
  // Before the open tag at `index` changes or closes: kept as it was while
  // a save point stands.
  void touch(std::size_t index) {
    if (saving_ && index < saved_.stack_size) saved_tags_.push_back(SavedTag{index, stack_[index]});
  }
  // What follows from the open tags: the per-key chains, the lowest
  // retro_line tag, the token and line bookkeeping.
  void index_open_tags();
  // Pushes `tag` (a new one, or one taken off to be put back), keeping the
  // per-key chains and the line and token bookkeeping.
  void push(OpenTag tag);
  // The provisional closes of a paragraph that ended: each tag closes by
  // its strategy where it was auto-closed; a topmost tag that is still
  // simply open stays so.
  void expire_provisional();
  bool has_provisional() const { return !stack_.empty() && stack_[0].provisional_end != kNoPosition; }
  void note_blank_lines(std::size_t base, std::size_t first_line_feed, std::size_t last_line_feed);
  // Closes the entries above `index` by their strategies, topmost first, then
  // the entry at `index` explicitly.
  void close_down_to(std::size_t index, std::size_t pos);
  void track_tokens(std::size_t from);
  void log_reach(std::size_t index) {
    if (log_events_) events_.push_back(StackEvent{StackEvent::Kind::kReach, static_cast<std::uint32_t>(index)});
  }
  template <bool kFinal>
  std::size_t walk_cdata(std::size_t pos);
  void compact_annotations();

  const PreparedConfig* config_ = nullptr;
  OutputBuffer<Unit>* out_ = nullptr;
  Text input_;
  TagScanner<Form> scanner_;
  util::PodVector<OpenTag> stack_;
  // Per key, the stack index + 1 of its topmost open tag (0: none open). All
  // zero between parses, since a parse ends with the stack empty.
  std::vector<std::uint32_t> key_top_;
  util::PodVector<Span> spans_;
  util::PodVector<types::MarkerRecord> markers_;
  // Copies of the tags' text, when the annotations do not refer to the input.
  types::AnnotationWriter annotations_;
  bool copy_annotations_ = false;
  std::size_t line_start_ = 0;
  // Stack entries from this index up have seen no line feed yet.
  std::size_t line_pending_from_ = 0;
  // Stack indices of open forward_next_token tags, bottom first. From
  // `token_running_from_` their token has begun and not ended; from
  // `token_waiting_from_` it has not begun.
  util::PodVector<std::size_t> token_tags_;
  std::size_t token_running_from_ = 0;
  std::size_t token_waiting_from_ = 0;
  TrimmableRuns trimmable_runs_;
  SegmentAssembly assembly_;

  // Inside a CDATA section whose `]]>` has not come (a stream's walk
  // stopped there).
  bool in_cdata_ = false;
  // Whether the walk tests the units it does not copy (tags) for lone
  // surrogates: not once the whole input has been.
  bool test_tags_for_surrogates_ = true;
  // Stack index of the lowest open retro_line tag, which reaches back
  // furthest, or kNoPosition.
  std::size_t first_retro_ = kNoPosition;
  // Where the last retro_line tag opened or the last marker stood: with
  // split retro lines, the furthest a retro_line tag on the same line
  // reaches back.
  std::size_t retro_floor_ = 0;
  // The start of the line being written while it holds only spaces and
  // tabs since a line feed, kNoPosition otherwise: a line feed here ends a
  // paragraph. Kept under provisional auto-close only.
  std::size_t blank_from_ = kNoPosition;
  bool log_events_ = false;
  util::PodVector<StackEvent> events_;

  struct SavePoint {
    std::size_t text_size = 0;
    std::uint32_t unit_bits = 0;
    bool surrogate = false;
    std::size_t spans = 0;
    std::size_t markers = 0;
    std::size_t annotations = 0;
    std::size_t stack_size = 0;
    std::size_t line_start = 0;
    std::size_t retro_floor = 0;
    std::size_t blank_from = kNoPosition;
    bool in_cdata = false;
  };
  struct SavedTag {
    std::size_t index;
    OpenTag tag;
  };
  bool saving_ = false;
  SavePoint saved_;
  // Open tags as they were at the save point, before they changed or
  // closed; the earliest entry of an index is the one to restore.
  util::PodVector<SavedTag> saved_tags_;
};

}  // namespace parser
