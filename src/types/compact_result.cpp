#include "types/compact_result.h"

namespace types {

Segment CompactResult::segment(std::size_t i) const {
  Segment segment;
  segment.text = std::string(segment_text(i));
  segment.annotations.reserve(segments[i].count);
  for (std::size_t k = 0; k < segments[i].count; ++k) segment.annotations.push_back(segment_annotation(i, k));
  return segment;
}

ParseResult CompactResult::expand() && {
  ParseResult result;
  result.segments.reserve(segments.size());
  for (std::size_t i = 0; i < segments.size(); ++i) result.segments.push_back(segment(i));
  result.text = std::move(text);
  result.markers = std::move(markers);
  return result;
}

}  // namespace types
