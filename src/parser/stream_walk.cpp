// The parser's walk over an input that arrives in pieces, and what of its
// output is settled. The steps are those of the one-shot walk: a piece of
// text is handled exactly as it would be with the whole input at hand, so
// the result never depends on where the input was cut.
#include <algorithm>

#include "parser/parser.h"
#include "text/classes.h"
#include "text/search.h"

namespace parser {

namespace {

template <class Unit>
constexpr Unit U(char c) {
  return text::unit<Unit>(c);
}

constexpr char kCdataOpen[] = "<![CDATA[";
constexpr std::size_t kCdataOpenSize = sizeof kCdataOpen - 1;

enum class Head { kNoTag, kTag, kUndecided };

}  // namespace

template <class Form>
Parser<Form>::Parser(const Parser& other)
    : config_(other.config_),
      out_(other.out_),
      input_(other.input_),
      scanner_(other.scanner_),
      stack_(other.stack_),
      key_top_(other.key_top_),
      spans_(other.spans_),
      markers_(other.markers_),
      annotations_(other.annotations_),
      line_start_(other.line_start_),
      line_pending_from_(other.line_pending_from_),
      token_tags_(other.token_tags_),
      token_running_from_(other.token_running_from_),
      token_waiting_from_(other.token_waiting_from_),
      trimmable_runs_(other.trimmable_runs_),
      in_cdata_(other.in_cdata_),
      first_retro_(other.first_retro_),
      boundary_at_settled_(other.boundary_at_settled_),
      settled_at_(other.settled_at_) {
  // The memo, the assembly and the windows are working storage, empty or
  // stale between steps; the copy starts without them.
}

template <class Form>
void Parser<Form>::see_input(const Text& input, bool moved) {
  input_ = input;
  if (moved) {
    scanner_.reset(input);
    memo_.clear();  // it remembers tags by their place in the input
  } else {
    scanner_.extend(input);
  }
}

template <class Form>
std::size_t Parser<Form>::walk_available(std::size_t pos, bool final) {
  const Text& input = input_;
  const Unit lt = U<Unit>('<');
  TagToken token;
  while (pos < input.size) {
    if (in_cdata_) {
      // The section ends at the first `]]>`; until it comes, its content is
      // text, except for up to two `]` at the end that may begin it.
      for (std::size_t gt = text::find_unit(input.data, pos, input.size, U<Unit>('>')); gt < input.size;
           gt = text::find_unit(input.data, gt + 1, input.size, U<Unit>('>'))) {
        if (gt >= pos + 2 && input[gt - 1] == U<Unit>(']') && input[gt - 2] == U<Unit>(']')) {
          append_text(input.data + pos, gt - 2 - pos);
          pos = gt + 1;
          in_cdata_ = false;
          break;
        }
      }
      if (in_cdata_) {
        std::size_t keep = 0;
        if (!final) {
          while (keep < 2 && input.size - keep > pos && input[input.size - keep - 1] == U<Unit>(']')) ++keep;
        }
        append_text(input.data + pos, input.size - keep - pos);
        pos = input.size - keep;
        if (final) in_cdata_ = false;
        if (keep != 0) return pos;
      }
      continue;
    }
    if (input[pos] == lt) {
      const std::size_t available = input.size - pos;
      if (available >= 2 && input[pos + 1] == U<Unit>('!')) {
        std::size_t same = 2;
        while (same < kCdataOpenSize && same < available && input[pos + same] == U<Unit>(kCdataOpen[same])) ++same;
        if (same == kCdataOpenSize) {
          in_cdata_ = true;
          pos += kCdataOpenSize;
          continue;
        }
        if (same == available && !final) return pos;  // may still become a section
      }
      // A tag is decided once its `>` has come, or by its head alone when
      // what follows the `<` can begin no tag.
      Head head = Head::kUndecided;
      if (final || scanner_.has_gt_after(pos)) {
        head = scanner_.scan(pos, token) ? Head::kTag : Head::kNoTag;
      } else {
        std::size_t at = text::skip_white_space(input, pos + 1, input.size);
        if (at < input.size && input[at] == U<Unit>('/')) at = text::skip_white_space(input, at + 1, input.size);
        if (at < input.size) {
          const std::uint32_t c = text::code_of(input[at]);
          if (c >= 0x80 || !text::is_ascii_letter(c)) head = Head::kNoTag;
        }
      }
      if (head == Head::kUndecided) return pos;
      if (head == Head::kTag) {
        dispatch(token);
        pos = token.end;
        continue;
      }
    }
    pos = append_run(pos);
  }
  return pos;
}

template <class Form>
void Parser<Form>::close_open_tags() {
  const std::size_t pos = out_->size;
  while (!stack_.empty()) close_tag(pop_top(), pos);
}

// Text before the oldest open tag is out of its reach, and a retro_line tag
// reaches back to the start of its line; a tag still to come opens at the
// end of the text, and, when it may recover by retro_line, reaches back to
// the start of the current line. Nothing else records a span, and trimming
// and token tracking never look outside the span they shape.
template <class Form>
std::size_t Parser<Form>::settled_end() const {
  std::size_t end = out_->size;
  if (config_->tags.any_retro_line()) end = std::min(end, line_start_);
  if (!stack_.empty()) {
    const OpenTag& oldest = stack_[0];
    end = std::min(end, oldest.strategy == types::RecoveryStrategy::retro_line ? oldest.reach : oldest.start);
  }
  // Retro_line tags opened later may reach back before the oldest tag's start.
  if (first_retro_ != kNoPosition) end = std::min(end, stack_[first_retro_].reach);
  return end;
}

// A window's records carry only the annotations the window refers to, so
// handing out a window costs what the window holds.
template <class Form>
types::AnnotationRef Parser<Form>::window_annotation(types::AnnotationRef ref) {
  const auto [entry, added] = window_refs_.try_emplace(ref, 0);
  if (added) {
    const std::size_t length = types::AnnotationReader<Unit>::length_at(annotations_.data(), ref);
    entry->second = window_annotations_.copy_in(annotations_.data() + ref, length, ref);
  }
  return entry->second;
}

template <class Form>
types::ParseRecords::Parts Parser<Form>::window_parts(std::size_t from, std::size_t to) {
  window_annotations_.clear();
  window_refs_.clear();
  window_spans_.clear();
  for (const Span& span : spans_) {
    const std::size_t start = std::max(span.start, from);
    const std::size_t end = std::min(span.end, to);
    if (start < end) window_spans_.push_back(Span{start - from, end - from, window_annotation(span.annotation)});
  }
  window_markers_.clear();
  for (const types::MarkerRecord& marker : markers_) {
    if (marker.pos > to) break;
    window_markers_.push_back(types::MarkerRecord{marker.pos - from, window_annotation(marker.annotation)});
  }
  assembly_.assemble(to - from, window_spans_);
  return {assembly_.cuts(), assembly_.first(),
          assembly_.entries(), assembly_.kept_spans(),
          window_markers_, {window_annotations_.data(), window_annotations_.size()}};
}

template <class Form>
bool Parser<Form>::boundary_at(std::size_t pos) const {
  if (boundary_at_settled_) return true;
  return std::any_of(spans_.begin(), spans_.end(), [&](const Span& span) { return span.start == pos; });
}

template <class Form>
std::size_t Parser<Form>::forget_before(std::size_t to) {
  // Whether the next window begins at a segment boundary: a span known now
  // that ends here; one that begins here is known by the next window.
  boundary_at_settled_ = (to == settled_at_ && boundary_at_settled_) ||
                         std::any_of(spans_.begin(), spans_.end(),
                                     [&](const Span& span) { return span.end == to || span.start == to; });
  settled_at_ = to;
  std::size_t kept = 0;
  for (const Span& span : spans_) {
    if (span.end > to) spans_[kept++] = span;
  }
  spans_.resize_uninitialised(kept);
  std::size_t marker = 0;
  while (marker < markers_.size() && markers_[marker].pos <= to) ++marker;
  std::copy(markers_.begin() + marker, markers_.end(), markers_.begin());
  markers_.resize_uninitialised(markers_.size() - marker);

  // Dropping the settled text costs what is kept, so it waits until the
  // text to drop outweighs it.
  if (to < 4096 || to < out_->size - to) return 0;
  const std::size_t shift = to;
  std::copy(out_->data + shift, out_->data + out_->size, out_->data);
  out_->size -= shift;
  line_start_ = line_start_ > shift ? line_start_ - shift : 0;
  const auto moved = [&](std::size_t pos) { return pos == kNoPosition ? pos : pos - shift; };
  for (OpenTag& tag : stack_) {
    tag.start -= shift;
    tag.reach = moved(tag.reach);
    tag.token_end = moved(tag.token_end);
  }
  for (Span& span : spans_) {
    span.start = span.start > shift ? span.start - shift : 0;
    span.end -= shift;
  }
  for (types::MarkerRecord& m : markers_) m.pos -= shift;
  settled_at_ -= shift;
  trimmable_runs_.drop_before(shift);
  compact_annotations();
  return shift;
}

// Keeps only the annotations an open tag, a span or a marker still refers
// to, so that a long stream holds the annotations of its held tail only.
template <class Form>
void Parser<Form>::compact_annotations() {
  types::AnnotationWriter kept;
  const auto keep = [&](types::AnnotationRef& ref) {
    const types::AnnotationRef from = ref;
    const std::size_t length = types::AnnotationReader<Unit>::length_at(annotations_.data(), from);
    ref = kept.copy_in(annotations_.data() + from, length, from);
  };
  for (OpenTag& tag : stack_) keep(tag.annotation);
  for (Span& span : spans_) keep(span.annotation);
  for (types::MarkerRecord& m : markers_) keep(m.annotation);
  annotations_ = std::move(kept);
  memo_.clear();
}

#define TAGMIRE_INSTANTIATE(Form)                                                            \
  template Parser<Form>::Parser(const Parser&);                                             \
  template void Parser<Form>::see_input(const Text&, bool);                                 \
  template std::size_t Parser<Form>::walk_available(std::size_t, bool);                    \
  template void Parser<Form>::close_open_tags();                                            \
  template std::size_t Parser<Form>::settled_end() const;                                   \
  template types::ParseRecords::Parts Parser<Form>::window_parts(std::size_t, std::size_t); \
  template bool Parser<Form>::boundary_at(std::size_t) const;                               \
  template std::size_t Parser<Form>::forget_before(std::size_t);                            \
  template void Parser<Form>::compact_annotations();                                        \
  template types::AnnotationRef Parser<Form>::window_annotation(types::AnnotationRef);
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
