// Cutting the output into segments, and the end of a parse.
#include <algorithm>
#include <numeric>

#include "parser/parser.h"

namespace parser {

// One sweep over the span boundaries in text order. The spans covering the
// current piece are kept sorted by recording order, so each piece copies its
// annotations without looking at any span that does not cover it.
std::vector<types::Segment> build_segments(std::string_view out, const std::vector<Span>& spans) {
  std::vector<types::Segment> segments;
  if (out.empty()) return segments;

  std::vector<std::size_t> by_start(spans.size());
  std::iota(by_start.begin(), by_start.end(), std::size_t{0});
  std::vector<std::size_t> by_end = by_start;
  std::sort(by_start.begin(), by_start.end(), [&](std::size_t a, std::size_t b) {
    return spans[a].start != spans[b].start ? spans[a].start < spans[b].start : a < b;
  });
  std::sort(by_end.begin(), by_end.end(),
            [&](std::size_t a, std::size_t b) { return spans[a].end < spans[b].end; });

  std::vector<std::size_t> active;  // covering spans, in recording order
  std::vector<std::size_t> merged;
  std::size_t next_start = 0;
  std::size_t next_end = 0;
  std::size_t a = 0;
  while (a < out.size()) {
    if (next_end < by_end.size() && spans[by_end[next_end]].end <= a) {
      while (next_end < by_end.size() && spans[by_end[next_end]].end <= a) ++next_end;
      std::erase_if(active, [&](std::size_t i) { return spans[i].end <= a; });
    }
    const std::size_t first_new = next_start;
    while (next_start < by_start.size() && spans[by_start[next_start]].start <= a) ++next_start;
    if (next_start != first_new) {
      merged.clear();
      std::merge(active.begin(), active.end(), by_start.begin() + static_cast<std::ptrdiff_t>(first_new),
                 by_start.begin() + static_cast<std::ptrdiff_t>(next_start), std::back_inserter(merged));
      active.swap(merged);
    }

    std::size_t b = out.size();
    if (next_start < by_start.size()) b = std::min(b, spans[by_start[next_start]].start);
    if (next_end < by_end.size()) b = std::min(b, spans[by_end[next_end]].end);

    types::Segment& segment = segments.emplace_back();
    segment.text.assign(out.substr(a, b - a));
    segment.annotations.reserve(active.size());
    for (std::size_t i : active) segment.annotations.push_back(spans[i].annotation);
    a = b;
  }
  return segments;
}

types::ParseResult Parser::finish() && {
  const std::size_t pos = out.size();
  while (!stack.empty()) close_tag(pop_top(), pos);
  types::ParseResult result;
  result.segments = build_segments(out, spans);
  result.text = std::move(out);
  result.markers = std::move(markers);
  return result;
}

}  // namespace parser
