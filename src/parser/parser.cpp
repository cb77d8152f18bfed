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

// Inputs shorter than this store every tag's annotation without looking for
// an equal one first: a few KB of answer hold a dozen tags, mostly distinct
// (a source per citation), and hashing each one to find none cost more than
// the few repeats save. Parses of 1-4 KB ran 3-6% faster than with the memo
// from 512 units; from 16 KB the memo pays (2-byte text 16% faster with it).
constexpr std::size_t kMemoFromUnits = 4096;

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
void Parser<Form>::start(const PreparedConfig& config, OutputBuffer<Unit>& out) {
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
  memo_.clear();
  token_tags_.clear();
  trimmable_runs_.clear();
  line_start_ = 0;
  line_pending_from_ = 0;
  token_running_from_ = 0;
  token_waiting_from_ = 0;
  in_cdata_ = false;
  test_tags_for_surrogates_ = true;
  first_retro_ = kNoPosition;
  log_events_ = false;
  events_.clear();
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

template <class Form>
types::AnnotationRef Parser<Form>::store_annotation(const TagToken& token) {
  const std::size_t text_length = token.attributes_end - token.name_begin;
  // A short input holds too few tags for repeats to pay for the memo.
  const bool memo = input_.size >= kMemoFromUnits;
  if (memo) {
    if (const types::AnnotationRef known = memo_.find(input_.data, token.name_begin, text_length);
        known != TagMemo<Unit>::kUnknown) {
      return known;
    }
  }
  const std::span<const ScannedAttribute> attributes = scanner_.read_attributes(token);
  // The name, keys and values all lie within the tag's text.
  const types::AnnotationRef ref =
      annotations_.begin(types::AnnotationWriter::bound_for<Unit>(token.attributes_end - token.name_begin) +
                         types::AnnotationWriter::kCountBound +
                         2 * attributes.size() * types::AnnotationWriter::bound_for<Unit>(0));
  annotations_.add_text(input_.data + token.name_begin, token.name_end - token.name_begin);
  annotations_.add_count(attributes.size());
  for (const ScannedAttribute& a : attributes) {
    annotations_.add_text(input_.data + a.key_begin, a.key_end - a.key_begin);
    if (a.has_value) {
      annotations_.add_value(input_.data + a.value_begin, a.value_end - a.value_begin);
    } else {
      annotations_.add_bare_value();
    }
  }
  if (memo) memo_.remember(token.name_begin, text_length, ref);
  return ref;
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
        stack_[i].reach = line_end;
        log_reach(i);
      }
      line_pending_from_ = stack_.size();
    }
  }
  if (token_running_from_ < token_tags_.size()) track_tokens(base);
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
        stack_[token_tags_[i]].reach = pos;
        log_reach(token_tags_[i]);
      }
      token_waiting_from_ = token_tags_.size();
    } else {
      for (std::size_t i = token_running_from_; i < token_waiting_from_; ++i) {
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
  tag.below_same_key = key_top_[key];
  tag.strategy = config_->tags.strategy(key);
  if (tag.strategy == types::RecoveryStrategy::retro_line) {
    tag.reach = line_start_;
    if (first_retro_ == kNoPosition) first_retro_ = stack_.size();
  }
  stack_.push_back(tag);
  key_top_[key] = static_cast<std::uint32_t>(stack_.size());
  if (log_events_) events_.push_back(StackEvent{StackEvent::Kind::kPush, static_cast<std::uint32_t>(stack_.size() - 1)});
  if (tag.strategy == types::RecoveryStrategy::forward_next_token) token_tags_.push_back(stack_.size() - 1);
}

template <class Form>
void Parser<Form>::add_marker(TagKey key, types::AnnotationRef annotation) {
  maybe_autoclose_on_start_like(key);
  markers_.push_back(types::MarkerRecord{out_->size, annotation});
}

template <class Form>
typename Parser<Form>::OpenTag Parser<Form>::pop_top() {
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
  if (config_->autoclose_on_any_tag) {
    while (!stack_.empty()) close_tag(pop_top(), pos);
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
  return {assembly_.cuts(), assembly_.first(), assembly_.entries(), assembly_.kept_spans(), markers_,
          {annotations_.data(), annotations_.size()}};
}

// Gives back storage a large parse grew, so a workspace does not hold it.
template <class Form>
void Parser<Form>::end() {
  release_if_large(stack_);
  release_if_large(spans_);
  release_if_large(markers_);
  release_if_large(token_tags_);
  if (annotations_.bytes() > kLargeStorageBytes) annotations_.release();
  memo_.clear();
  if (key_top_.size() * sizeof(std::uint32_t) > kLargeStorageBytes) std::vector<std::uint32_t>().swap(key_top_);
  trimmable_runs_.clear();
  if (assembly_.storage_bytes() > kLargeStorageBytes) assembly_.release();
  if (scanner_.storage_bytes() > kLargeStorageBytes) scanner_.release();
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

template <class Form>
std::size_t Parser<Form>::trimmed_end() {
  const std::size_t end = out_->size;
  if (!config_->trim_punctuation || end == 0) return end;
  return trimmable_runs_.skip_backward(output(), end, 0);
}

template <class Form>
void Parser<Form>::forget_through(std::size_t to) {
  std::size_t kept = 0;
  for (const Span& span : spans_) {
    if (span.end > to) spans_[kept++] = span;
  }
  spans_.resize_uninitialised(kept);
  std::size_t marker = 0;
  while (marker < markers_.size() && markers_[marker].pos <= to) ++marker;
  std::copy(markers_.begin() + marker, markers_.end(), markers_.begin());
  markers_.resize_uninitialised(markers_.size() - marker);
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
  }
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

#define TAGMIRE_INSTANTIATE(Form)                                  \
  template class Parser<Form>;                                     \
  template std::size_t Parser<Form>::walk<true>(std::size_t);      \
  template std::size_t Parser<Form>::walk<false>(std::size_t);
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
