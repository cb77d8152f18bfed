// A parse result whose segments are cuts into its text rather than copies:
// what the Python binding keeps, building each piece only when it is read.
// `expand()` turns it into the ParseResult that `parser::parse` returns.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "types/annotation.h"
#include "types/parse_result.h"

namespace types {

// One segment: text[start, end), annotated by
// annotations[covering[first]] ... annotations[covering[first + count - 1]].
struct SegmentCut {
  std::size_t start = 0;
  std::size_t end = 0;
  std::size_t first = 0;
  std::size_t count = 0;

  friend bool operator==(const SegmentCut&, const SegmentCut&) = default;
};

struct CompactResult {
  std::string text;
  std::vector<Annotation> annotations;  // one per recorded span, in recording order
  std::vector<std::size_t> covering;    // indices into `annotations`, segment by segment
  std::vector<SegmentCut> segments;
  std::vector<Marker> markers;

  std::string_view segment_text(std::size_t i) const {
    return std::string_view(text).substr(segments[i].start, segments[i].end - segments[i].start);
  }
  const Annotation& segment_annotation(std::size_t i, std::size_t k) const {
    return annotations[covering[segments[i].first + k]];
  }
  // A Segment record holding copies of segment i's text and annotations.
  Segment segment(std::size_t i) const;
  ParseResult expand() &&;
};

}  // namespace types
