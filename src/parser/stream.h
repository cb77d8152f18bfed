// Parsing a text while it is still being written: the input arrives in
// pieces cut anywhere (inside a tag, a CDATA section, a character), and what
// the parser has settled is handed out as it settles.
//
// Text is settled once nothing still to come can change it: it lies before
// the oldest tag still open (before its line, for a retro_line tag), before
// the start of the current line when a recognised tag may recover by
// retro_line, and before any `<` whose tag or CDATA section is not complete.
// Settled runs, joined, give exactly the one-shot parse's text; their
// segments, with a run's first segment joined to the one before when it
// continues it, the one-shot parse's segments; and their markers its
// markers. Work and memory follow the held-back tail, however the input is
// cut, and a preview of that tail costs what changes in it.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "parser/output_buffer.h"
#include "parser/parser.h"
#include "parser/preview.h"
#include "parser/tag_table.h"
#include "text/encoding.h"
#include "types/annotation_store.h"
#include "types/parse_records.h"
#include "util/pod_vector.h"

namespace parser {

// A run of settled text with its records: segments and markers over the
// run (positions in bytes from the run's start) and their annotations.
struct SettledText {
  std::string text;        // UTF-8
  std::size_t start = 0;   // byte offset of the run in the whole text
  bool continues = false;  // its first segment continues the previous run's last one
  types::ParseRecords records;
};

// A marker of the held-back text: its whole-text byte position and its
// annotation's bytes.
struct PreviewMarker {
  std::size_t pos = 0;
  AnnotationBytes annotation;
};

// How the held-back text would read if the input ended now, as the changes
// since the last take, for a reader that applies them blindly: `pending`
// replaces everything shown from its start on, segments and markers, with
// its own segments and `markers` (every marker of the held text from there
// on); each of the `revised` stretches, earlier and in text order,
// replaces the segments shown between its ends (their text never changes,
// and neither do markers); then the markup still unfinished at the end
// (shown only when asked for, as written) follows, from byte
// `unfinished_from` of it on. StreamParser::text_of gives a run's text.
// Positions are whole-text bytes. Valid until the stream changes.
struct PreviewChange {
  std::span<const PreviewRun> revised;
  PreviewRun pending;
  std::vector<PreviewMarker> markers;
  std::size_t held_end = 0;  // where the parsed text ends; unfinished markup follows
  std::string_view unfinished;
  std::size_t unfinished_from = 0;
};

class StreamParser {
 public:
  // `previews`: keep a preview up to date (it costs the work of what
  // changes); `unfinished`: show unfinished markup in it, as written;
  // `hold_all`: nothing settles before close(), so that the preview is the
  // whole text (for a window that shows all of it), and close() keeps the
  // preview's last change, as the text ended, for take_preview.
  explicit StreamParser(std::shared_ptr<const PreparedConfig> config, bool previews = false,
                        bool unfinished = false, bool hold_all = false);
  StreamParser(const StreamParser&) = delete;
  StreamParser& operator=(const StreamParser&) = delete;

  // Appends UTF-8 `chunk` (it may end inside a character) and parses as far
  // as the input decides. Nothing after close().
  //
  // A feed and the takes after it are one step, which roll_back undoes:
  // the step stands once the next feed or close begins. Should a feed
  // fail (std::bad_alloc), the stream is as it was before it.
  void feed(std::string_view chunk);
  // Ends the input: everything left is parsed and settles.
  void close();
  bool closed() const { return closed_; }
  // Undoes the last feed or close and the takes since: for a caller that
  // could not hand out what they gave. The preview's next change then
  // holds all of it again.
  void roll_back();

  // What settled since the last call (an empty run when nothing did).
  SettledText take_settled();
  // What changed in the preview since the last call; after take_settled,
  // so that it no longer holds what settled. Nothing without previews.
  PreviewChange take_preview();
  // The whole held-back tail as it would read if the input ended now: its
  // text from `start`, its segments and markers. Costs time in proportion
  // to the tail; needs previews.
  PreviewChange full_preview();
  // The held-back tail from whole-text byte `from` on, as one pending run
  // with its markers and the unfinished markup: what a window redraws.
  PreviewChange preview_from(std::size_t from);

  // The text the parser holds, from whole-text byte `held_text_offset()`;
  // where its settled part ends; the unfinished markup at the end of the
  // input when previews show it.
  std::string_view held_text() const { return {parser_.text_data(), parser_.text_size()}; }
  std::size_t held_text_offset() const { return dropped_; }
  std::size_t settled_position() const { return dropped_ + settled_; }
  std::string_view unfinished() const { return unfinished_input(); }
  // The text of a preview's run.
  std::string_view text_of(const PreviewRun& run) const {
    return held_text().substr(run.start - dropped_, run.end - run.start);
  }
  // Bytes of input decided so far: the walk has gone past them.
  std::size_t walked() const { return input_dropped_ + walked_; }
  // Bytes held: input not yet decided and text not yet settled.
  std::size_t held_bytes() const { return input_.size() - walked_ + parser_.text_size() - settled_; }

 private:
  static void grow_output(OutputBuffer<char>& out, std::size_t needed, void* context);
  // Ends the last step: what it settled is forgotten, and what is done
  // with is dropped. Never fails.
  void settle();
  void begin_step();
  void walk(bool final);
  types::ParseRecords::Parts window_parts(std::size_t from, std::size_t to,
                                          std::span<const types::MarkerRecord> markers);
  types::AnnotationRef window_annotation(types::AnnotationRef ref);
  std::string_view unfinished_input() const;
  void add_markers(PreviewChange& change, std::size_t from) const;

  // The state a step changes, as it was when it began.
  struct Step {
    std::size_t input_size = 0;
    std::size_t walked = 0;
    std::size_t settled = 0;
    std::size_t markers_settled = 0;
    bool boundary_at_settled = false;
    std::size_t settled_at = 0;
    bool closed = false;
  };
  Step step_;
  bool in_step_ = false;

  std::shared_ptr<const PreparedConfig> config_;
  Parser<text::Utf8> parser_;
  std::string input_;        // input from the first position not yet walked over, roughly
  std::size_t walked_ = 0;   // input_[0, walked_) is parsed
  util::PodVector<char> text_;  // the output the parser writes
  OutputBuffer<char> out_;
  std::size_t settled_ = 0;  // text before this (a parser position) is handed out
  std::size_t markers_settled_ = 0;  // of the parser's markers, those handed out as settled
  std::size_t dropped_ = 0;  // text bytes dropped from the front, handed out long ago
  bool closed_ = false;

  // Whether the next window begins at a segment boundary: a span began or
  // ended where the last window ended.
  bool boundary_at_settled_ = false;
  std::size_t settled_at_ = 0;
  util::PodVector<Span> window_spans_;
  util::PodVector<types::MarkerRecord> window_markers_;
  types::AnnotationWriter window_annotations_;
  std::unordered_map<types::AnnotationRef, types::AnnotationRef> window_refs_;
  SegmentAssembly window_assembly_;

  bool previews_;
  bool unfinished_;
  bool hold_all_;
  Preview preview_;
  std::size_t unfinished_shown_ = 0;
  std::size_t walked_shown_ = 0;    // walked_ + dropped input when the unfinished markup was last shown
  std::size_t input_dropped_ = 0;   // input bytes dropped from the front
};

}  // namespace parser
