#include "parser/scanner.h"

namespace parser {

using text::U;

template <class Form>
std::size_t find_cdata_end(const text::TextView<Form>& input, std::size_t from) {
  using Unit = typename Form::Unit;
  // Find each `>` and look back at the two units before it.
  for (std::size_t gt = text::find_unit(input.data, from, input.size, U<Unit>('>')); gt < input.size;
       gt = text::find_unit(input.data, gt + 1, input.size, U<Unit>('>'))) {
    if (gt >= from + 2 && input[gt - 1] == U<Unit>(']') && input[gt - 2] == U<Unit>(']')) return gt - 2;
  }
  return kNoPosition;
}

template <class Form>
template <bool kFinal>
Markup TagScanner<Form>::cdata_open_at(std::size_t pos) const {
  using Unit = typename Form::Unit;
  const std::size_t available = input_.size - pos;
  std::size_t same = 2;  // "<!" is known
  while (same < kCdataOpenSize && same < available && input_[pos + same] == U<Unit>(kCdataOpen[same])) ++same;
  if (same == kCdataOpenSize) return Markup::kCdata;
  // The whole rest of the input begins the opening: it may still become one.
  if (!kFinal && same == available) return Markup::kUndecided;
  return Markup::kText;
}

template <class Form>
bool TagScanner<Form>::head_may_grow(std::size_t pos) {
  // A stream asks again about the same `<` after every piece while its head
  // is still white space: the look resumes where the last one stopped (the
  // input only grows at its end), or each piece would rescan all of it.
  std::size_t at = pos + 1;
  bool slash = false;
  if (head_lt_ == pos) {
    at = head_at_;
    slash = head_slash_;
  }
  at = text::skip_white_space(input_, at, input_.size);
  if (!slash && at < input_.size && input_[at] == U<typename Form::Unit>('/')) {
    slash = true;
    at = text::skip_white_space(input_, at + 1, input_.size);
  }
  head_lt_ = pos;
  head_at_ = at;
  head_slash_ = slash;
  if (at == input_.size) return true;
  const std::uint32_t c = text::code_of(input_[at]);
  return c < 0x80 && text::is_ascii_letter(c);
}

template <class Form>
void TagScanner<Form>::reset(const text::TextView<Form>& input) {
  input_ = input;
  unfinished_.lt = kNoPosition;
  gt_ = kNoPosition;
  none_from_ = kNoPosition;
  none_to_ = 0;
  inner_end_gt_ = kNoPosition;
  inner_end_ = 0;
  head_lt_ = kNoPosition;
}

template <class Form>
std::size_t TagScanner<Form>::search_gt(std::size_t from) {
  // Where no `>` is known to lie, there is none to look for again.
  const bool known = none_from_ <= from && from <= none_to_;
  const std::size_t start = known ? none_to_ : from;
  const std::size_t hit = text::find_unit(input_.data, start, input_.size, U<typename Form::Unit>('>'));
  if (hit == input_.size) {
    none_from_ = known ? none_from_ : from;
    none_to_ = input_.size;
    return kNoPosition;
  }
  gt_ = hit;
  return gt_;
}

template <class Form>
std::size_t TagScanner<Form>::inner_end(std::size_t gt) {
  if (inner_end_gt_ != gt) {
    // Stops at the previous `>` at the latest, so each stretch is walked once.
    inner_end_ = text::skip_white_space_back(input_, gt, 0);
    inner_end_gt_ = gt;
  }
  return inner_end_;
}

// A `<` followed by white space, or by anything but a name: the general
// reading of the candidate up to its `>`.
template <class Form>
bool TagScanner<Form>::scan_spaced(std::size_t pos, TagToken& token) {
  using Unit = typename Form::Unit;
  const std::size_t gt = find_gt(pos + 1);
  if (gt == kNoPosition || gt - pos < 2) return false;
  // Decide "no tag" from the head alone: only a candidate that will become a
  // tag pays for reading up to its `>`.
  const std::size_t inner_begin = text::skip_white_space(input_, pos + 1, gt);
  if (inner_begin == gt) return false;
  const std::size_t end = inner_end(gt);
  TagKind kind = TagKind::Open;
  std::size_t name_begin = inner_begin;
  if (input_[inner_begin] == U<Unit>('/')) {
    kind = TagKind::Close;
    name_begin = text::skip_white_space(input_, inner_begin + 1, end);
    if (name_begin == end) return false;
  }
  const std::uint32_t first = text::code_of(input_[name_begin]);
  if (first >= 0x80 || !text::is_ascii_letter(first)) return false;
  std::size_t name_end = name_begin + 1;
  while (name_end < end && text::is_name_unit(input_[name_end])) ++name_end;
  token = TagToken{pos, gt + 1, name_begin, name_end, name_end,
                   name_key(input_.data + name_begin, name_end - name_begin), kind};
  if (kind != TagKind::Close) find_attributes_end(token);
  return true;
}

#define TAGMIRE_INSTANTIATE(Form)                                                        \
  template std::size_t find_cdata_end<Form>(const text::TextView<Form>&, std::size_t);  \
  template class TagScanner<Form>;                                                       \
  template Markup TagScanner<Form>::cdata_open_at<true>(std::size_t) const;             \
  template Markup TagScanner<Form>::cdata_open_at<false>(std::size_t) const;
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
