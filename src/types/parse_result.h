// The result of one parse: the plain text, that text cut into annotated
// segments, and point markers. Offsets measure bytes of UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "types/annotation.h"

namespace types {

// One piece of the output text with copies of the annotations of every span
// covering all of it, in the order the spans were recorded.
struct Segment {
  std::string text;
  std::vector<Annotation> annotations;

  friend bool operator==(const Segment&, const Segment&) = default;
};

// A point annotation left by a self-closing tag. `pos` is the byte length of
// the output text written before the tag: for `é<cite/>` it is 2, not 1.
struct Marker {
  std::uint64_t pos = 0;
  Annotation annotation;

  friend bool operator==(const Marker&, const Marker&) = default;
};

// Invariants: segments are non-empty, contiguous and join to `text` (none when
// `text` is empty); markers are in input order with non-decreasing `pos`
// within [0, text.size()].
struct ParseResult {
  std::string text;
  std::vector<Segment> segments;
  std::vector<Marker> markers;

  friend bool operator==(const ParseResult&, const ParseResult&) = default;
};

}  // namespace types
