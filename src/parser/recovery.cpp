// What a tag covers when it is closed by anything but its own closing tag.
#include <algorithm>

#include "parser/parser.h"

namespace parser {

namespace {

struct Candidate {
  bool exists = false;
  std::size_t start = 0;
  std::size_t end = 0;
};

Candidate candidate_span(const OpenTag& tag, std::size_t pos) {
  switch (tag.strategy) {
    case types::RecoveryStrategy::retro_line:
      // Fixed when the tag opened: the text before it on its line.
      return {true, std::min(tag.line_start, tag.start), tag.start};
    case types::RecoveryStrategy::forward_until_tag:
    case types::RecoveryStrategy::forward_until_newline:
      return {true, tag.start, tag.line_end != kUnknownPos ? tag.line_end : pos};
    case types::RecoveryStrategy::forward_next_token:
      if (tag.token_begin == kUnknownPos) return {};
      return {true, tag.token_begin, tag.token_end != kUnknownPos ? tag.token_end : pos};
    case types::RecoveryStrategy::noop:
      return {};
  }
  return {};
}

}  // namespace

void Parser::close_tag(OpenTag tag, std::size_t pos) {
  const Candidate candidate = candidate_span(tag, pos);
  if (!candidate.exists) return;
  const auto [start, end] = trim_span(candidate.start, candidate.end);
  if (start >= end) return;
  spans.push_back(Span{start, end, types::Annotation{std::move(tag.name), std::move(tag.attrs)}});
}

std::pair<std::size_t, std::size_t> Parser::trim_span(std::size_t start, std::size_t end) {
  if (start >= end || !config.trim_punctuation) return {start, end};
  const std::size_t trimmed_start = trimmable_runs_.skip_forward(out, start, end);
  if (trimmed_start >= end) return {end, end};
  return {trimmed_start, trimmable_runs_.skip_backward(out, end, trimmed_start)};
}

}  // namespace parser
