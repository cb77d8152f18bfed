#include "parser/parser.h"

#include <algorithm>
#include <utility>

#include "text/classes.h"
#include "text/search.h"
#include "text/text_runs.h"
#include "text/unicode_tables.h"

namespace parser {

namespace {

using text::U;

bool is_forward(types::RecoveryStrategy strategy) {
  return strategy == types::RecoveryStrategy::forward_until_tag ||
         strategy == types::RecoveryStrategy::forward_until_newline;
}

// Inputs of two- and four-byte units up to this size are tested for lone
// surrogates whole, before the walk: a 100-byte answer of 2-byte units
// parsed 15% faster. Past a few hundred units that extra pass, over input
// not yet in the cache, cost more than it saved (1 KB of 2- and 4-byte
// units 5-11% slower with the limit at 4096).
constexpr std::size_t kWholeSurrogateTestUnits = 512;

template <class T>
void release_if_large(util::PodVector<T>& v) {
  if (v.bytes() > kLargeStorageBytes) v.release();
}

}  // namespace

template <class Form>
void Parser<Form>::start(const PreparedConfig& config, OutputBuffer<Unit>& out, bool copy_annotations) {
  if (!stack_.empty()) {
    // A parse abandoned half-way (by an allocation failure) left tags open.
    stack_.clear();
    std::fill(key_top_.begin(), key_top_.end(), 0);
  }
  config_ = &config;
  out_ = &out;
  if (key_top_.size() < config.tags.size()) key_top_.resize(config.tags.size(), 0);
  spans_.clear();
  markers_.clear();
  annotations_.clear();
  copy_annotations_ = copy_annotations;
  token_tags_.clear();
  trimmable_runs_.clear();
  line_start_ = 0;
  line_pending_from_ = 0;
  token_running_from_ = 0;
  token_waiting_from_ = 0;
  in_cdata_ = false;
  test_tags_for_surrogates_ = true;
  first_retro_ = kNoPosition;
  retro_floor_ = 0;
  blank_from_ = kNoPosition;
  log_events_ = false;
  events_.clear();
}

template <class Form>
void Parser<Form>::see_input(const Text& input, bool moved) {
  input_ = input;
  if (moved) {
    scanner_.reset(input);
  } else {
    scanner_.extend(input);
  }
}

template <class Form>
void Parser<Form>::test_short_input_for_surrogates() {
  if constexpr (sizeof(Unit) > 1) {
    // A longer input would be read from memory once more before the walk.
    if (input_.size <= kWholeSurrogateTestUnits) {
      out_->surrogate = text::has_surrogate(input_.data, input_.size);
      test_tags_for_surrogates_ = false;
    }
  }
}

template <class Form>
template <bool kFinal>
std::size_t Parser<Form>::walk(std::size_t pos) {
  if (in_cdata_) {
    pos = walk_cdata<kFinal>(pos);
    if (in_cdata_) return pos;
  }
  const Text& input = input_;
  const Unit lt = U<Unit>('<');
  TagToken token;
  while (pos < input.size) {
    if (input[pos] == lt) {
      switch (scanner_.template markup_at<kFinal>(pos, token)) {
        case Markup::kTag:
          // A tag's units are the only ones no run copies. A short tag is
          // tested with the units before it, so that the test takes whole
          // vectors.
          if constexpr (sizeof(Unit) > 1) {
            if (!out_->surrogate && test_tags_for_surrogates_) {
              const std::size_t from = std::min(pos, token.end > text::kSurrogateSpan ? token.end - text::kSurrogateSpan : 0);
              out_->surrogate = text::has_surrogate(input.data + from, token.end - from);
            }
          }
          dispatch(token);
          pos = token.end;
          continue;
        case Markup::kCdata:
          in_cdata_ = true;
          pos = walk_cdata<kFinal>(pos + kCdataOpenSize);
          if (in_cdata_) return pos;
          continue;
        case Markup::kUndecided:
          return pos;
        case Markup::kText:
          break;
      }
    }
    pos = append_run(pos);
  }
  return pos;
}

// The content of a CDATA section from `pos` up to its `]]>`, which ends the
// section. Until that comes it is text, except for up to two `]` at the end
// of the input so far, which may begin it; a complete input without it ends
// the section at its end.
template <class Form>
template <bool kFinal>
std::size_t Parser<Form>::walk_cdata(std::size_t pos) {
  const Text& input = input_;
  const std::size_t end = find_cdata_end(input, pos);
  if (end != kNoPosition) {
    append_text(input.data + pos, end - pos);
    in_cdata_ = false;
    return end + 3;
  }
  std::size_t keep = 0;
  if constexpr (!kFinal) {
    while (keep < 2 && input.size - keep > pos && input[input.size - keep - 1] == U<Unit>(']')) ++keep;
  } else {
    in_cdata_ = false;
  }
  append_text(input.data + pos, input.size - keep - pos);
  return input.size - keep;
}

// A text run from `pos` to the next `<` after it, or to the end of the
// input: `pos` may hold a `<` that began nothing. One pass over the run
// finds its end and its line feeds while copying it.
template <class Form>
std::size_t Parser<Form>::append_run(std::size_t pos) {
  // Whole vectors are stored, so the room is that of the rest of the input
  // (which a one-shot parse always has: its text is never longer).
  if (input_.size - pos > out_->capacity - out_->size) out_->grow(*out_, input_.size - pos, out_->grow_context);
  const text::RunScan run = text::copy_run(input_.data, pos, input_.size, out_->data + out_->size,
                                           out_->unit_bits < out_->wide_from);
  const std::size_t base = out_->size;
  out_->size += run.length;
  out_->unit_bits |= run.unit_bits;
  out_->surrogate |= run.surrogate;
  static_assert(text::RunScan::kNone == kNoPosition);
  note_text(base, run.first_lf, run.last_lf);
  return pos + run.length;
}

template <class Form>
void Parser<Form>::dispatch(const TagToken& token) {
  const auto key =
      config_->tags.find(input_.data + token.name_begin, token.name_end - token.name_begin, token.name_key);
  if (!key) {
    if (config_->unknown_mode != types::UnknownTagMode::strip) {
      append_text(input_.data + token.begin, token.end - token.begin);
    }
    return;
  }
  switch (token.kind) {
    case TagKind::Open:
      open_tag(*key, store_annotation(token));
      break;
    case TagKind::SelfClosing:
      add_marker(*key, store_annotation(token));
      break;
    case TagKind::Close:
      close_by_key(*key);
      break;
  }
}

// An annotation is where its tag's name stands: it is read from the tag's
// text only when it is read (types/annotation_store.h).
template <class Form>
types::AnnotationRef Parser<Form>::store_annotation(const TagToken& token) {
  if (!copy_annotations_) return token.name_begin;
  return annotations_.add(input_.data + token.name_begin, token.end - token.name_begin);
}

template <class Form>
void Parser<Form>::append_text(const Unit* piece, std::size_t n) {
  if (n == 0) return;
  if constexpr (sizeof(Unit) > 1) {
    if (!out_->surrogate && test_tags_for_surrogates_) out_->surrogate = text::has_surrogate(piece, n);
  }
  const std::size_t base = out_->size;
  out_->append(piece, n);
  const Unit lf = U<Unit>('\n');
  const std::size_t last = text::find_last_unit(piece, 0, n, lf);
  if (last == n) {
    note_text(base, kNoPosition, kNoPosition);
  } else {
    note_text(base, text::find_unit(piece, 0, n, lf), last);
  }
}

// After text was appended at `base`, with line feeds at `first` and `last`
// of it (or none): the line start, the open tags' line ends and tokens.
template <class Form>
void Parser<Form>::note_text(std::size_t base, std::size_t first, std::size_t last) {
  if (last != kNoPosition) {
    line_start_ = base + last + 1;
    if (line_pending_from_ < stack_.size()) {
      const std::size_t line_end = base + first;
      for (std::size_t i = line_pending_from_; i < stack_.size(); ++i) {
        if (!is_forward(stack_[i].strategy)) continue;
        touch(i);
        stack_[i].reach = line_end;
        log_reach(i);
      }
      line_pending_from_ = stack_.size();
    }
  }
  if (config_->provisional_autoclose) note_blank_lines(base, first, last);
  if (token_running_from_ < token_tags_.size()) track_tokens(base);
}

// A paragraph ends at a line that holds only spaces and tabs (or nothing)
// between two line feeds. The text is searched for one only while some
// close is provisional, and only up to the first: each character is read
// at most once.
template <class Form>
void Parser<Form>::note_blank_lines(std::size_t base, std::size_t first, std::size_t last) {
  const Text out = output();
  const Unit lf = U<Unit>('\n');
  const auto blank_until = [&](std::size_t pos, std::size_t to) {
    while (pos < to && text::is_line_blank_unit(out[pos])) ++pos;
    return pos;
  };
  if (last == kNoPosition) {
    if (blank_from_ != kNoPosition && blank_until(base, out.size) != out.size) blank_from_ = kNoPosition;
    return;
  }
  const std::size_t first_lf = base + first;
  const std::size_t last_lf = base + last;
  if (has_provisional()) {
    bool ended = blank_from_ != kNoPosition && blank_until(base, first_lf) == first_lf;
    for (std::size_t line = first_lf + 1; !ended && line <= last_lf;) {
      const std::size_t stop = blank_until(line, last_lf);
      ended = out[stop] == lf;
      line = text::find_unit(out.data, stop, last_lf, lf) + 1;
    }
    if (ended) expire_provisional();
  }
  blank_from_ = blank_until(last_lf + 1, out.size) == out.size ? last_lf + 1 : kNoPosition;
}

// Walks the new text only while some forward_next_token tag waits for its
// token to begin or to end; each tag moves through those states once.
template <class Form>
void Parser<Form>::track_tokens(std::size_t from) {
  const Text out = output();
  std::size_t pos = from;
  while (pos < out.size && token_running_from_ < token_tags_.size()) {
    const text::Decoded d = out.decode_at(pos);
    if (text::unicode::is_alphanumeric(d.cp)) {
      for (std::size_t i = token_waiting_from_; i < token_tags_.size(); ++i) {
        touch(token_tags_[i]);
        stack_[token_tags_[i]].reach = pos;
        log_reach(token_tags_[i]);
      }
      token_waiting_from_ = token_tags_.size();
    } else if (!(config_->token_clusters && text::unicode::continues_cluster(d.cp))) {
      // A mark or a joiner continues a running token with whole clusters;
      // it never begins one.
      for (std::size_t i = token_running_from_; i < token_waiting_from_; ++i) {
        touch(token_tags_[i]);
        stack_[token_tags_[i]].token_end = pos;
        log_reach(token_tags_[i]);
      }
      token_running_from_ = token_waiting_from_;
    }
    pos += d.len;
  }
}

template <class Form>
void Parser<Form>::open_tag(TagKey key, types::AnnotationRef annotation) {
  maybe_autoclose_on_start_like(key);
  OpenTag tag;
  tag.start = out_->size;
  tag.annotation = annotation;
  tag.key = key;
  tag.strategy = config_->tags.strategy(key);
  if (tag.strategy == types::RecoveryStrategy::retro_line) {
    tag.reach = config_->retro_line_split ? std::max(line_start_, retro_floor_) : line_start_;
    retro_floor_ = out_->size;
  }
  push(tag);
}

template <class Form>
void Parser<Form>::push(OpenTag tag) {
  tag.below_same_key = key_top_[tag.key];
  if (tag.strategy == types::RecoveryStrategy::retro_line && first_retro_ == kNoPosition) first_retro_ = stack_.size();
  stack_.push_back(tag);
  key_top_[tag.key] = static_cast<std::uint32_t>(stack_.size());
  if (log_events_) events_.push_back(StackEvent{StackEvent::Kind::kPush, static_cast<std::uint32_t>(stack_.size() - 1)});
  if (tag.strategy == types::RecoveryStrategy::forward_next_token) token_tags_.push_back(stack_.size() - 1);
}

template <class Form>
void Parser<Form>::add_marker(TagKey key, types::AnnotationRef annotation) {
  maybe_autoclose_on_start_like(key);
  markers_.push_back(types::MarkerRecord{out_->size, annotation});
  retro_floor_ = out_->size;
}

template <class Form>
typename Parser<Form>::OpenTag Parser<Form>::pop_top() {
  touch(stack_.size() - 1);
  const OpenTag tag = stack_.back();
  stack_.pop_back();
  if (log_events_) events_.push_back(StackEvent{StackEvent::Kind::kPop, static_cast<std::uint32_t>(stack_.size())});
  if (first_retro_ == stack_.size()) first_retro_ = kNoPosition;
  key_top_[tag.key] = tag.below_same_key;
  if (tag.strategy == types::RecoveryStrategy::forward_next_token) token_tags_.pop_back();
  line_pending_from_ = std::min(line_pending_from_, stack_.size());
  token_waiting_from_ = std::min(token_waiting_from_, token_tags_.size());
  token_running_from_ = std::min(token_running_from_, token_tags_.size());
  return tag;
}

template <class Form>
void Parser<Form>::close_explicit(const OpenTag& tag, std::size_t end) {
  if (tag.start < end) record(Span{tag.start, end, tag.annotation});
}

template <class Form>
void Parser<Form>::close_down_to(std::size_t index, std::size_t pos) {
  while (stack_.size() > index + 1) close_tag(pop_top(), pos);
  close_explicit(pop_top(), pos);
}

template <class Form>
void Parser<Form>::close_by_key(TagKey key) {
  if (key_top_[key] != 0) close_down_to(key_top_[key] - 1, out_->size);
}

template <class Form>
void Parser<Form>::maybe_autoclose_on_start_like(TagKey key) {
  const std::size_t pos = out_->size;
  if (config_->autoclose_on_same_tag && key_top_[key] != 0) close_down_to(key_top_[key] - 1, pos);
  if (config_->provisional_autoclose) {
    // Every tag below the topmost is provisional already.
    if (!stack_.empty() && stack_.back().provisional_end == kNoPosition) {
      touch(stack_.size() - 1);
      stack_.back().provisional_end = pos;
      log_reach(stack_.size() - 1);
    }
  } else if (config_->autoclose_on_any_tag) {
    while (!stack_.empty()) close_tag(pop_top(), pos);
  }
}

template <class Form>
void Parser<Form>::expire_provisional() {
  const bool keep_top = stack_.back().provisional_end == kNoPosition;
  OpenTag top;
  if (keep_top) top = pop_top();
  const std::size_t pos = out_->size;
  while (!stack_.empty()) close_tag(pop_top(), pos);
  if (!keep_top) return;
  // The topmost tag goes back as it was: whether it has met a line feed,
  // and where its token stands.
  push(top);
  line_pending_from_ = is_forward(top.strategy) && top.reach == kNoPosition ? 0 : 1;
  if (top.strategy == types::RecoveryStrategy::forward_next_token) {
    token_waiting_from_ = top.reach == kNoPosition ? 0 : 1;
    token_running_from_ = top.token_end == kNoPosition ? 0 : 1;
  }
}

template <class Form>
types::ParseRecords::Parts Parser<Form>::finish_parts() {
  const std::size_t pos = out_->size;
  while (!stack_.empty()) close_tag(pop_top(), pos);
  // Every tag is closed: a large parse gives the open tags' memory back
  // before the segments are assembled, and the assembly spends the spans
  // (see SegmentAssembly::assemble), so that neither counts in the parse's
  // peak.
  release_if_large(stack_);
  release_if_large(token_tags_);
  assembly_.assemble(pos, spans_);
  if (copy_annotations_) {
    return {assembly_.cuts(), assembly_.first(), assembly_.entries(), assembly_.kept_spans(), markers_,
            {annotations_.data(), annotations_.size()}, nullptr, assembly_.recorded_spans()};
  }
  return {assembly_.cuts(), assembly_.first(), assembly_.entries(), assembly_.kept_spans(), markers_, {},
          reinterpret_cast<const char*>(input_.data), assembly_.recorded_spans()};
}

// Gives back storage a large parse grew, so a workspace does not hold it.
template <class Form>
void Parser<Form>::end() {
  release_if_large(stack_);
  release_if_large(spans_);
  release_if_large(markers_);
  release_if_large(token_tags_);
  if (annotations_.bytes() > kLargeStorageBytes) annotations_.release();
  if (key_top_.size() * sizeof(std::uint32_t) > kLargeStorageBytes) std::vector<std::uint32_t>().swap(key_top_);
  trimmable_runs_.clear();
  if (assembly_.storage_bytes() > kLargeStorageBytes) assembly_.release();
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
  if (config_->tags.any_retro_line()) {
    end = std::min(end, config_->retro_line_split ? std::max(line_start_, retro_floor_) : line_start_);
  }
  if (!stack_.empty()) {
    const OpenTag& oldest = stack_[0];
    end = std::min(end, oldest.strategy == types::RecoveryStrategy::retro_line ? oldest.reach : oldest.start);
  }
  // Retro_line tags opened later may reach back before the oldest tag's start.
  if (first_retro_ != kNoPosition) end = std::min(end, stack_[first_retro_].reach);
  return end;
}

template <class Form>
std::size_t Parser<Form>::trimmed_end() {
  const std::size_t end = out_->size;
  if (!config_->trim_punctuation || end == 0) return end;
  return trimmable_runs_.skip_backward(output(), end, 0);
}

template <class Form>
void Parser<Form>::save_point() {
  saved_tags_.clear();
  saved_ = SavePoint{out_->size,   out_->unit_bits, out_->surrogate, spans_.size(), markers_.size(),
                     annotations_.size(), stack_.size(), line_start_, retro_floor_, blank_from_, in_cdata_};
  saving_ = true;
}

template <class Form>
void Parser<Form>::roll_back() {
  out_->size = saved_.text_size;
  out_->unit_bits = saved_.unit_bits;
  out_->surrogate = saved_.surrogate;
  spans_.resize_uninitialised(std::min(spans_.size(), saved_.spans));
  markers_.resize_uninitialised(std::min(markers_.size(), saved_.markers));
  annotations_.truncate(std::min(annotations_.size(), saved_.annotations));
  // Every index from the stack's smallest size since up to its size then
  // was closed and kept; the earliest copy of an index is how it was.
  stack_.resize_uninitialised(saved_.stack_size);
  for (std::size_t k = saved_tags_.size(); k-- > 0;) stack_[saved_tags_[k].index] = saved_tags_[k].tag;
  index_open_tags();
  line_start_ = saved_.line_start;
  retro_floor_ = saved_.retro_floor;
  blank_from_ = saved_.blank_from;
  in_cdata_ = saved_.in_cdata;
  // What is remembered about positions past the text as it was.
  trimmable_runs_.clear();
  events_.clear();
  drop_save_point();
}

template <class Form>
void Parser<Form>::index_open_tags() {
  std::fill(key_top_.begin(), key_top_.end(), 0);
  token_tags_.clear();
  first_retro_ = kNoPosition;
  line_pending_from_ = stack_.size();
  for (std::size_t i = 0; i < stack_.size(); ++i) {
    OpenTag& tag = stack_[i];
    tag.below_same_key = key_top_[tag.key];
    key_top_[tag.key] = static_cast<std::uint32_t>(i + 1);
    if (tag.strategy == types::RecoveryStrategy::retro_line && first_retro_ == kNoPosition) first_retro_ = i;
    if (tag.strategy == types::RecoveryStrategy::forward_next_token) token_tags_.push_back(i);
  }
  // Forward tags that have met no line feed lie above every one that has.
  while (line_pending_from_ > 0 &&
         (!is_forward(stack_[line_pending_from_ - 1].strategy) || stack_[line_pending_from_ - 1].reach == kNoPosition)) {
    --line_pending_from_;
  }
  // Tokens end and begin for all the tags waiting at once, so the tags
  // whose token has not ended, and those whose token has not begun, are
  // the last ones.
  token_running_from_ = token_waiting_from_ = token_tags_.size();
  while (token_running_from_ > 0 && stack_[token_tags_[token_running_from_ - 1]].token_end == kNoPosition) {
    --token_running_from_;
  }
  while (token_waiting_from_ > 0 && stack_[token_tags_[token_waiting_from_ - 1]].reach == kNoPosition) {
    --token_waiting_from_;
  }
}

template <class Form>
void Parser<Form>::forget_through(std::size_t to, std::size_t markers) {
  std::size_t kept = 0;
  for (const Span& span : spans_) {
    if (span.end > to) spans_[kept++] = span;
  }
  spans_.resize_uninitialised(kept);
  std::copy(markers_.begin() + markers, markers_.end(), markers_.begin());
  markers_.resize_uninitialised(markers_.size() - markers);
}

template <class Form>
void Parser<Form>::drop_text_before(std::size_t shift) {
  std::copy(out_->data + shift, out_->data + out_->size, out_->data);
  out_->size -= shift;
  line_start_ = line_start_ > shift ? line_start_ - shift : 0;
  const auto moved = [&](std::size_t pos) { return pos == kNoPosition ? pos : pos - shift; };
  for (OpenTag& tag : stack_) {
    tag.start -= shift;
    tag.reach = moved(tag.reach);
    tag.token_end = moved(tag.token_end);
    tag.provisional_end = moved(tag.provisional_end);
  }
  retro_floor_ = retro_floor_ > shift ? retro_floor_ - shift : 0;
  if (blank_from_ != kNoPosition) blank_from_ = blank_from_ > shift ? blank_from_ - shift : 0;
  for (Span& span : spans_) {
    span.start = span.start > shift ? span.start - shift : 0;
    span.end -= shift;
  }
  for (types::MarkerRecord& m : markers_) m.pos -= shift;
  trimmable_runs_.drop_before(shift);
  compact_annotations();
}

// Keeps only the annotations an open tag, a span or a marker still refers
// to, so that a long stream holds the annotations of its held tail only.
template <class Form>
void Parser<Form>::compact_annotations() {
  if (!copy_annotations_) return;
  types::AnnotationWriter kept;
  const auto* units = reinterpret_cast<const Unit*>(annotations_.data());
  const auto keep = [&](types::AnnotationRef& ref) {
    ref = kept.add(units + ref, types::AnnotationReader<Unit>::length_at(annotations_.data(), ref));
  };
  for (OpenTag& tag : stack_) keep(tag.annotation);
  for (Span& span : spans_) keep(span.annotation);
  for (types::MarkerRecord& m : markers_) keep(m.annotation);
  annotations_ = std::move(kept);
}

#define TAGMIRE_INSTANTIATE(Form)                                  \
  template class Parser<Form>;                                     \
  template std::size_t Parser<Form>::walk<true>(std::size_t);      \
  template std::size_t Parser<Form>::walk<false>(std::size_t);
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
