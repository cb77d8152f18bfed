// Cutting the output into segments, and the end of a parse.
#include <algorithm>

#include "parser/parser.h"

namespace parser {

// One sweep over the span boundaries in text order. The spans covering the
// current piece are kept sorted by recording order, so each piece copies its
// annotations without looking at any span that does not cover it.
namespace {

// One end of a span, sorted by position and then by recording order.
struct Boundary {
  std::size_t pos;
  std::size_t span;
  friend bool operator<(const Boundary& a, const Boundary& b) {
    return a.pos != b.pos ? a.pos < b.pos : a.span < b.span;
  }
};

void sort_boundaries(std::vector<Boundary>& boundaries) {
  // Spans usually arrive in text order already.
  if (!std::is_sorted(boundaries.begin(), boundaries.end())) std::sort(boundaries.begin(), boundaries.end());
}

}  // namespace

SegmentCuts cut_segments(std::size_t text_size, const std::vector<Span>& spans) {
  SegmentCuts cuts;
  if (text_size == 0) return cuts;

  std::vector<Boundary> starts;
  std::vector<Boundary> ends;
  starts.reserve(spans.size());
  ends.reserve(spans.size());
  for (std::size_t i = 0; i < spans.size(); ++i) {
    starts.push_back({spans[i].start, i});
    ends.push_back({spans[i].end, i});
  }
  sort_boundaries(starts);
  sort_boundaries(ends);
  cuts.segments.reserve(2 * spans.size() + 1);

  std::vector<std::size_t> active;  // covering spans, in recording order
  std::vector<std::size_t> merged;
  std::size_t next_start = 0;
  std::size_t next_end = 0;
  std::size_t a = 0;
  while (a < text_size) {
    if (next_end < ends.size() && ends[next_end].pos <= a) {
      while (next_end < ends.size() && ends[next_end].pos <= a) ++next_end;
      std::erase_if(active, [&](std::size_t i) { return spans[i].end <= a; });
    }
    const std::size_t first_new = next_start;
    while (next_start < starts.size() && starts[next_start].pos <= a) ++next_start;
    if (next_start != first_new) {
      // Spans starting together are already in recording order.
      merged.clear();
      std::size_t i = 0;
      for (std::size_t k = first_new; k < next_start; ++k) {
        while (i < active.size() && active[i] < starts[k].span) merged.push_back(active[i++]);
        merged.push_back(starts[k].span);
      }
      merged.insert(merged.end(), active.begin() + static_cast<std::ptrdiff_t>(i), active.end());
      active.swap(merged);
    }

    std::size_t b = text_size;
    if (next_start < starts.size()) b = std::min(b, starts[next_start].pos);
    if (next_end < ends.size()) b = std::min(b, ends[next_end].pos);

    cuts.segments.push_back({a, b, cuts.covering.size(), active.size()});
    cuts.covering.insert(cuts.covering.end(), active.begin(), active.end());
    a = b;
  }
  return cuts;
}

std::vector<types::Segment> build_segments(std::string_view out, const std::vector<Span>& spans) {
  const SegmentCuts cuts = cut_segments(out.size(), spans);
  std::vector<types::Segment> segments;
  segments.reserve(cuts.segments.size());
  for (const types::SegmentCut& cut : cuts.segments) {
    types::Segment& segment = segments.emplace_back();
    segment.text = std::string(out.substr(cut.start, cut.end - cut.start));
    segment.annotations.reserve(cut.count);
    for (std::size_t k = 0; k < cut.count; ++k) {
      segment.annotations.push_back(spans[cuts.covering[cut.first + k]].annotation);
    }
  }
  return segments;
}

types::CompactResult Parser::finish() && {
  const std::size_t pos = out.size();
  while (!stack.empty()) close_tag(pop_top(), pos);
  types::CompactResult result;
  SegmentCuts cuts = cut_segments(out.size(), spans);
  result.segments = std::move(cuts.segments);
  result.covering = std::move(cuts.covering);
  result.annotations.reserve(spans.size());
  for (Span& span : spans) result.annotations.push_back(std::move(span.annotation));
  result.text = std::move(out);
  result.markers = std::move(markers);
  return result;
}

}  // namespace parser
