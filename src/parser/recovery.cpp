// What a tag covers when it is closed by anything but its own closing tag.
#include <algorithm>

#include "parser/parser.h"

namespace parser {

template <class Form>
Span Parser<Form>::recovered_span(const OpenTag& tag, std::size_t pos) {
  // A provisional close stands where the tag was auto-closed.
  pos = std::min(pos, tag.provisional_end);
  std::size_t start = 0;
  std::size_t end = 0;
  switch (tag.strategy) {
    case types::RecoveryStrategy::retro_line:
      // Fixed when the tag opened: the text before it on its line.
      start = std::min(tag.reach, tag.start);
      end = tag.start;
      break;
    case types::RecoveryStrategy::forward_until_tag:
    case types::RecoveryStrategy::forward_until_newline:
      start = tag.start;
      end = std::min(tag.reach, pos);
      break;
    case types::RecoveryStrategy::forward_next_token:
      if (tag.reach >= pos) return Span{pos, pos, tag.annotation};
      start = tag.reach;
      end = std::min(tag.token_end, pos);
      break;
    case types::RecoveryStrategy::noop:
      return Span{pos, pos, tag.annotation};
  }
  const auto [trimmed_start, trimmed_end] = trim_span(start, end);
  return Span{trimmed_start, std::max(trimmed_start, trimmed_end), tag.annotation};
}

template <class Form>
void Parser<Form>::close_tag(const OpenTag& tag, std::size_t pos) {
  const Span span = recovered_span(tag, pos);
  if (span.start < span.end) record(span);
}

template <class Form>
std::pair<std::size_t, std::size_t> Parser<Form>::trim_span(std::size_t start, std::size_t end) {
  if (start >= end || !config_->trim_punctuation) return {start, end};
  const Text out = output();
  const std::size_t trimmed_start = trimmable_runs_.skip_forward(out, start, end);
  if (trimmed_start >= end) return {end, end};
  return {trimmed_start, trimmable_runs_.skip_backward(out, end, trimmed_start)};
}

#define TAGMIRE_INSTANTIATE(Form)                                                  \
  template Span Parser<Form>::recovered_span(const OpenTag&, std::size_t);          \
  template void Parser<Form>::close_tag(const OpenTag&, std::size_t);              \
  template std::pair<std::size_t, std::size_t> Parser<Form>::trim_span(std::size_t, std::size_t);
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
