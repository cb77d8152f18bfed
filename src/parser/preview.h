// The preview of a text still being written: how its held-back tail would be
// cut into segments and annotated if the text ended now, kept up to date as
// the text grows and handed out as changes.
//
// A preview must cost what changes, not what is held: a long line, an open
// tag or an unfinished `<` can hold back the whole text, and rebuilding the
// preview on every piece would make a stream quadratic. So the preview keeps
// its segments, each with the annotations covering it as persistent lists
// that share their tails, and updates them from the parser's log of what
// happened to its open tags: a tag opened or closed changes the segments its
// span covers, and text added extends the spans still running to the end,
// which all share one list. Each update reports only the stretches whose
// segments changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "parser/parser.h"
#include "text/encoding.h"

namespace parser {

// An annotation as its stored bytes (the layout of types::AnnotationWriter,
// UTF-8), shared by every list that holds it and every record handed out.
using AnnotationBytes = std::shared_ptr<const std::string>;

// A persistent list of annotations. A list may be as long as the text (one
// node per tag left open), so a node that goes frees the nodes only it held
// one at a time rather than by a recursion as deep as the list.
struct AnnotationNode {
  AnnotationBytes annotation;
  mutable std::shared_ptr<const AnnotationNode> next;

  AnnotationNode(AnnotationBytes annotation, std::shared_ptr<const AnnotationNode> next)
      : annotation(std::move(annotation)), next(std::move(next)) {}
  AnnotationNode(const AnnotationNode&) = delete;
  AnnotationNode& operator=(const AnnotationNode&) = delete;
  ~AnnotationNode() {
    std::shared_ptr<const AnnotationNode> rest = std::move(next);
    // Lists are built and dropped by one thread at a time (a stream's).
    while (rest && rest.use_count() == 1) rest = std::move(rest->next);
  }
};
using AnnotationChain = std::shared_ptr<const AnnotationNode>;

// The annotations covering a segment, in the order the one-shot parse lists
// them: the recorded spans in recording order, then the tags still open,
// topmost first (as they would close at the end). Recorded spans are kept
// newest first, so that recording one is a push.
struct Coverage {
  AnnotationChain recorded;  // newest first
  AnnotationChain open;      // topmost first
  std::size_t recorded_count = 0;
  std::size_t open_count = 0;

  std::size_t size() const { return recorded_count + open_count; }
  // The annotations in order.
  std::vector<AnnotationBytes> list() const;
};

bool same_annotations(const Coverage& a, const Coverage& b);

// One segment of a preview: [start, end) in bytes of the whole text.
struct PreviewSegment {
  std::size_t start = 0;
  std::size_t end = 0;
  Coverage coverage;
};

// A stretch of the preview that changed: the segments now between `start`
// and `end`. When `continues`, the first one begins inside a segment shown
// before and is its continuation. The segments are a view of the preview's
// own buffer, valid until its next change.
struct PreviewRun {
  std::size_t start = 0;
  std::size_t end = 0;
  bool continues = false;
  std::span<const PreviewSegment> segments;
};

class Preview {
 public:
  // Starts an empty preview at byte `start` of the whole text.
  void reset(std::size_t start);

  // Brings the preview up to the parser's state after a walk: `offset` is
  // the whole-text byte position of the parser's position 0. Reads and then
  // clears the parser's stack log, which must have been on since the last
  // update.
  void update(Parser<text::Utf8>& parser, std::size_t offset);
  // Starts again at whole-text byte `start` from the parser's state: the
  // spans it holds and its open tags, everything to be shown anew. For a
  // stream that went back to an earlier state, whose changes since are
  // lost.
  void rebuild(Parser<text::Utf8>& parser, std::size_t offset, std::size_t start);
  // Forgets the preview before `settled` (whole-text bytes): that text is
  // final and handed out as such.
  void drop_before(std::size_t settled);
  // The stretches that changed since the last call, in text order; valid
  // until the next call of any member.
  std::span<const PreviewRun> take_changes();
  // The whole preview as one run, whatever changed; valid likewise.
  PreviewRun snapshot() { return snapshot_from(start_); }
  // The preview from whole-text byte `from` (where the preview starts, at
  // the latest) to its end; a segment cut there continues the one before.
  PreviewRun snapshot_from(std::size_t from);

  std::size_t start() const { return start_; }
  std::size_t end() const { return end_; }

 private:
  struct Interval {
    std::size_t end = 0;
    Coverage coverage;
    // Shown up to here; kNoPosition when shown as it is.
    std::size_t dirty_from = kNoPosition;
    bool fresh = false;        // text that was never shown
    bool cut_changed = false;  // a cut it begins at, or had inside, came or went
    bool saved = false;        // `original` holds the coverage shown
    Coverage original;
  };
  using Map = std::map<std::size_t, Interval>;

  // What the preview shows for an open tag.
  enum class Reach : std::uint8_t {
    kNone,     // nothing, ever: a noop tag, a span that came out empty
    kWaiting,  // nothing yet: a forward_next_token tag before its token
    kPending,  // nothing yet: a forward tag with only trimmable text after it
    kFixed,    // [start, end), whatever text comes
    kRunning,  // [start, the tail mark): a span that grows with the text
  };
  struct ShownTag {
    AnnotationBytes annotation;
    Reach reach = Reach::kNone;
    std::size_t start = 0;
    std::size_t end = 0;
    bool reached = false;  // its reach changed in this update (listed in reached_)
  };

  AnnotationBytes bytes_of(types::AnnotationRef ref, const char* store);
  ShownTag shown_of(Parser<text::Utf8>& parser, const Parser<text::Utf8>::OpenTag& tag, std::size_t offset,
                    AnnotationBytes annotation);

  Map::iterator split_at(std::size_t pos);
  template <class Change>
  void change(std::size_t from, std::size_t to, Change&& change_coverage);
  void mark(Interval& interval, std::size_t from, std::size_t key);
  // Marks `interval` shown only up to `from`, its coverage unchanged.
  void mark_grown(Interval& interval, std::size_t from, std::size_t key);
  void add_cut(std::size_t pos, int delta);
  void record(std::size_t from, std::size_t to, const AnnotationBytes& annotation);
  void cover(std::size_t from, std::size_t to, const AnnotationBytes& annotation, bool counts_end);
  void uncover(std::size_t from, std::size_t to, bool counts_end);
  void promote(std::size_t from, std::size_t to);

  void close_shown(const Span* recorded, std::size_t offset);
  void show_new(std::size_t index, Parser<text::Utf8>& parser, std::size_t offset);
  void extend_tail(Parser<text::Utf8>& parser, std::size_t offset);
  void rebuild_running_chain();
  void normalise_cuts();
  bool extend_plainly(Parser<text::Utf8>& parser, std::size_t offset, std::size_t new_end);

  Map map_;
  std::size_t start_ = 0;  // the preview covers [start_, end_)
  std::size_t end_ = 0;
  // Where the spans still running end: after the text's last untrimmable
  // character. A cut there is counted while some running span shows.
  std::size_t tail_ = 0;
  std::size_t tail_cut_ = kNoPosition;
  // The open tags shown, by stack index; which of them run to the tail mark
  // (bottom first, and as one list, topmost first); which wait for
  // untrimmable text to begin (bottom first). A tag waiting for its token is
  // listed nowhere: the parser reports its token. Every list is kept without
  // a walk over all open tags, which may be as many as the text is long.
  std::vector<ShownTag> shown_;
  std::vector<std::size_t> running_;
  AnnotationChain running_chain_;
  std::vector<std::size_t> pending_;
  // The shown tags whose reach the parser reported in this update.
  std::vector<std::size_t> reached_;
  // How many span ends lie at a position: a cut wherever there is one (and
  // at the tail mark, while a running span shows).
  std::map<std::size_t, int> cuts_;
  // Positions whose cut may have come or gone in this update, and cuts
  // made in it; sorted when read.
  std::vector<std::size_t> touched_;
  std::vector<std::size_t> new_cuts_;
  // Starts of intervals that may not be shown as they are.
  std::vector<std::size_t> dirty_;
  // What take_changes and snapshot hand out.
  std::vector<PreviewRun> out_runs_;
  std::vector<PreviewSegment> out_segments_;
  // The parser's annotations copied during one update, by reference.
  std::unordered_map<types::AnnotationRef, AnnotationBytes> copied_;
};

}  // namespace parser
