#include "parser/stream.h"

#include <algorithm>
#include <utility>

namespace parser {

namespace {

// Bytes at the end of `text` that begin a UTF-8 character not yet complete.
std::size_t incomplete_tail(std::string_view text) {
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    const auto b = static_cast<unsigned char>(text[text.size() - back]);
    if ((b & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    return length > back ? back : 0;
  }
  return 0;
}

// Dropping what was handed out costs what is kept, so it waits until what
// it would drop outweighs that.
bool worth_dropping(std::size_t done, std::size_t total) { return done >= 4096 && done >= total - done; }

}  // namespace

StreamParser::StreamParser(std::shared_ptr<const PreparedConfig> config, bool previews, bool unfinished,
                           bool hold_all)
    : config_(std::move(config)), previews_(previews), unfinished_(previews && unfinished), hold_all_(hold_all) {
  out_.grow = &StreamParser::grow_output;
  out_.grow_context = this;
  parser_.start(*config_, out_, true);  // its input is dropped as it is walked
  parser_.log_stack_events(previews_);
  parser_.see_input(text::TextView<text::Utf8>{input_.data(), 0}, true);
  preview_.reset(0);
}

void StreamParser::grow_output(OutputBuffer<char>& out, std::size_t needed, void* context) {
  auto& self = *static_cast<StreamParser*>(context);
  self.text_.resize_uninitialised(out.size);
  self.text_.reserve_more(needed);
  out.data = self.text_.data();
  out.capacity = self.text_.capacity();
}

void StreamParser::feed(std::string_view chunk) {
  if (closed_) return;
  settle();
  begin_step();
  try {
    input_.append(chunk);
    walk(false);
  } catch (...) {
    roll_back();
    throw;
  }
}

void StreamParser::close() {
  if (closed_) return;
  settle();
  begin_step();
  try {
    walk(true);
    // A window's preview shows the text as it ended, open tags closed as
    // they now close, and keeps the change for the last take.
    if (hold_all_ && previews_) preview_.update(parser_, dropped_);
    parser_.close_open_tags();
  } catch (...) {
    roll_back();
    throw;
  }
  // Everything settles now: the preview has nothing left to show.
  parser_.clear_stack_events();
  closed_ = true;
}

void StreamParser::begin_step() {
  step_ = Step{input_.size(), walked_, settled_, markers_settled_, boundary_at_settled_, settled_at_, closed_};
  parser_.save_point();
  in_step_ = true;
}

void StreamParser::roll_back() {
  if (!in_step_) return;
  parser_.roll_back();
  input_.resize(step_.input_size);
  walked_ = step_.walked;
  settled_ = step_.settled;
  markers_settled_ = step_.markers_settled;
  boundary_at_settled_ = step_.boundary_at_settled;
  settled_at_ = step_.settled_at;
  closed_ = step_.closed;
  in_step_ = false;
  // The scanner knew positions of the input as it had grown.
  parser_.see_input(text::TextView<text::Utf8>{input_.data(), input_.size() - incomplete_tail(input_)}, true);
  if (previews_) {
    // What was shown is not known any more: the next change shows all.
    preview_.rebuild(parser_, dropped_, dropped_ + settled_);
    unfinished_shown_ = 0;
    walked_shown_ = kNoPosition;
  }
}

void StreamParser::settle() {
  if (!in_step_) return;
  in_step_ = false;
  parser_.drop_save_point();
  // Only after a take handed something out: forgetting walks every span.
  if (settled_ != step_.settled || markers_settled_ != 0) {
    parser_.forget_through(settled_, markers_settled_);
    markers_settled_ = 0;
  }
  if (worth_dropping(settled_, parser_.text_size())) {
    parser_.drop_text_before(settled_);
    settled_at_ -= settled_;
    dropped_ += settled_;
    settled_ = 0;
    text_.resize_uninitialised(parser_.text_size());
  }
  if (worth_dropping(walked_, input_.size())) {
    input_.erase(0, walked_);
    input_dropped_ += walked_;
    walked_ = 0;
    parser_.see_input(text::TextView<text::Utf8>{input_.data(), input_.size() - incomplete_tail(input_)}, true);
  }
}

void StreamParser::walk(bool final) {
  // The parser sees whole characters only, so that a character cut in two
  // is read as it will be, not as two broken ones.
  const std::size_t usable = final ? input_.size() : input_.size() - incomplete_tail(input_);
  parser_.see_input(text::TextView<text::Utf8>{input_.data(), usable}, false);
  walked_ = final ? parser_.walk<true>(walked_) : parser_.walk<false>(walked_);
  if (previews_ && !final) preview_.update(parser_, dropped_);
}

// --- settled text ---

// A window's records carry only the annotations the window refers to, so
// handing out a window costs what the window holds.
types::AnnotationRef StreamParser::window_annotation(types::AnnotationRef ref) {
  const auto [entry, added] = window_refs_.try_emplace(ref, 0);
  if (added) {
    const char* store = parser_.annotation_bytes();
    const std::size_t length = types::AnnotationReader<char>::length_at(store, ref);
    entry->second = window_annotations_.add(store + ref, length);
  }
  return entry->second;
}

types::ParseRecords::Parts StreamParser::window_parts(std::size_t from, std::size_t to,
                                                      std::span<const types::MarkerRecord> markers) {
  window_annotations_.clear();
  window_refs_.clear();
  window_spans_.clear();
  for (const Span& span : parser_.spans()) {
    const std::size_t start = std::max(span.start, from);
    const std::size_t end = std::min(span.end, to);
    if (start < end) window_spans_.push_back(Span{start - from, end - from, window_annotation(span.annotation)});
  }
  window_markers_.clear();
  for (const types::MarkerRecord& marker : markers) {
    window_markers_.push_back(types::MarkerRecord{marker.pos - from, window_annotation(marker.annotation)});
  }
  window_assembly_.assemble(to - from, window_spans_);
  return {window_assembly_.cuts(), window_assembly_.first(), window_assembly_.entries(),
          window_assembly_.kept_spans(), window_markers_, {window_annotations_.data(), window_annotations_.size()}};
}

SettledText StreamParser::take_settled() {
  SettledText run;
  const std::size_t end = closed_ ? parser_.text_size() : hold_all_ ? settled_ : parser_.settled_end();
  run.start = dropped_ + settled_;
  const auto markers = parser_.markers().subspan(markers_settled_);
  // Markers settle with the text before them, also when no text came since.
  std::size_t settling = 0;
  while (settling < markers.size() && markers[settling].pos <= end) ++settling;
  if (end == settled_ && settling == 0) return run;
  const auto boundary_at = [&](std::size_t pos) {
    return std::any_of(parser_.spans().begin(), parser_.spans().end(),
                       [&](const Span& span) { return span.start == pos || span.end == pos; });
  };
  run.continues = end > settled_ && run.start != 0 && !boundary_at_settled_ &&
                  !std::any_of(parser_.spans().begin(), parser_.spans().end(),
                               [&](const Span& span) { return span.start == settled_; });
  run.text.assign(parser_.text_data() + settled_, end - settled_);
  run.records = types::ParseRecords::pack(window_parts(settled_, end, markers.first(settling)));

  // Whether the next window begins at a segment boundary: a span known now
  // that ends here; one that begins here is known by the next window.
  boundary_at_settled_ = (end == settled_at_ && boundary_at_settled_) || boundary_at(end);
  settled_at_ = end;
  markers_settled_ += settling;
  settled_ = end;
  // What it handed out is forgotten once the step stands (settle).
  if (previews_ && !hold_all_) preview_.drop_before(dropped_ + settled_);
  return run;
}

// --- previews ---

std::string_view StreamParser::unfinished_input() const {
  if (!unfinished_ || closed_) return {};
  const std::string_view rest = std::string_view(input_).substr(walked_);
  return rest.substr(0, rest.size() - incomplete_tail(rest));
}

// The held markers at or after whole-text byte `from`.
void StreamParser::add_markers(PreviewChange& change, std::size_t from) const {
  const auto markers = parser_.markers().subspan(markers_settled_);
  const char* store = parser_.annotation_bytes();
  const auto first = std::lower_bound(markers.begin(), markers.end(), from - std::min(from, dropped_),
                                      [](const types::MarkerRecord& m, std::size_t pos) { return m.pos < pos; });
  for (auto it = first; it != markers.end(); ++it) {
    const std::size_t length = types::AnnotationReader<char>::length_at(store, it->annotation);
    change.markers.push_back(PreviewMarker{dropped_ + it->pos, std::make_shared<const std::string>(store + it->annotation, length)});
  }
}

PreviewChange StreamParser::take_preview() {
  PreviewChange change;
  if (!previews_) return change;
  if (closed_ && !hold_all_) {
    // Everything settled: nothing is held back, the preview is empty.
    change.held_end = change.pending.start = change.pending.end = dropped_ + parser_.text_size();
    return change;
  }
  change.held_end = preview_.end();
  // The last run that changed becomes the pending one when it reaches the
  // end; otherwise the pending run is empty, at the end.
  std::span<const PreviewRun> runs = preview_.take_changes();
  change.pending = PreviewRun{change.held_end, change.held_end, false, {}};
  if (!runs.empty() && runs.back().end == change.held_end) {
    change.pending = runs.back();
    runs = runs.first(runs.size() - 1);
  }
  change.revised = runs;
  const std::string_view unfinished = unfinished_input();
  const std::size_t walked_at = input_dropped_ + walked_;
  // The unfinished markup shown before stays right while the parse stood
  // still and it only grew; then only what it grew by is sent, from past
  // the end of the parsed text.
  const bool grown = walked_at == walked_shown_ && unfinished.size() >= unfinished_shown_ &&
                     change.pending.start == change.held_end;
  change.unfinished_from = grown ? unfinished_shown_ : 0;
  change.unfinished = unfinished.substr(change.unfinished_from);
  unfinished_shown_ = unfinished.size();
  walked_shown_ = walked_at;
  // Markup that only grew is shown on from past the parsed text, where no
  // marker stands.
  if (change.unfinished_from == 0) add_markers(change, change.pending.start);
  return change;
}

PreviewChange StreamParser::full_preview() {
  if (!previews_ || (closed_ && !hold_all_)) return take_preview();
  return preview_from(preview_.start());
}

PreviewChange StreamParser::preview_from(std::size_t from) {
  PreviewChange change;
  change.pending = preview_.snapshot_from(from);
  change.held_end = preview_.end();
  add_markers(change, change.pending.start);
  change.unfinished = unfinished_input();
  return change;
}

}  // namespace parser
