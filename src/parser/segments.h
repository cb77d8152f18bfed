// Cutting the output into segments: every span boundary is a cut, and each
// piece carries the annotations of the spans covering it, in the order the
// spans were recorded.
#pragma once

#include <cstddef>
#include <vector>

#include "types/annotation_store.h"
#include "types/segment_table.h"

namespace parser {

// A closed tag's stretch of output, [start, end), never empty.
struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  types::AnnotationRef annotation = 0;
};

// Builds the parts of a segment table, keeping its storage between parses.
class SegmentAssembly {
 public:
  // The segments of a text of `text_size` units under `spans` (recording
  // order): `cuts()`, then either each segment's annotations listed
  // (`first()`, `entries()`) or the spans kept for an index (`kept_spans()`,
  // non-empty only then). Time and memory are linear in the spans and
  // segments, whatever their nesting.
  void assemble(std::size_t text_size, const std::vector<Span>& spans);

  const std::vector<std::size_t>& cuts() const { return cuts_; }
  const std::vector<std::size_t>& first() const { return first_; }
  const std::vector<types::AnnotationRef>& entries() const { return entries_; }
  const std::vector<types::CoveringSpan>& kept_spans() const { return kept_; }
  std::size_t storage_bytes() const {
    return (starts_.capacity() + ends_.capacity()) * sizeof(Boundary) +
           (cuts_.capacity() + first_.capacity() + entries_.capacity()) * sizeof(std::size_t) +
           (covering_.capacity() + kept_.capacity()) * sizeof(types::CoveringSpan);
  }
  void release();

  // One end of a span.
  struct Boundary {
    std::size_t pos;
    std::size_t span;
  };

 private:
  std::vector<Boundary> starts_;
  std::vector<Boundary> ends_;
  std::vector<types::CoveringSpan> covering_;
  std::vector<std::size_t> cuts_;
  std::vector<std::size_t> first_;
  std::vector<types::AnnotationRef> entries_;
  std::vector<types::CoveringSpan> kept_;
};

}  // namespace parser
