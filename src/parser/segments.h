// Cutting the output into segments: every span boundary is a cut, and each
// piece carries the annotations of the spans covering it, in the order the
// spans were recorded.
#pragma once

#include <cstddef>
#include <span>

#include "util/pod_vector.h"

#include "types/annotation_store.h"
#include "types/segment_table.h"

namespace parser {

// Past this size a workspace's storage is given back as soon as it is spent:
// small parses reuse it, large ones do not keep their peak memory.
inline constexpr std::size_t kLargeStorageBytes = std::size_t{1} << 18;

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
  // segments, whatever their nesting. The spans are spent: their storage
  // becomes the assembly's, or a large list is given back once read, so that
  // no copy of them is held beside the boundaries.
  void assemble(std::size_t text_size, util::PodVector<Span>& spans);

  std::span<const std::size_t> cuts() const { return cuts_; }
  std::span<const std::size_t> first() const { return first_; }
  std::span<const types::AnnotationRef> entries() const { return entries_; }
  std::span<const types::CoveringSpan> kept_spans() const { return kept_; }
  // Every span in recording order where they overlap, listed or kept;
  // empty where they did not (see ParseRecords::Parts).
  std::span<const types::CoveringSpan> recorded_spans() const {
    return kept_.empty() ? std::span<const types::CoveringSpan>(covering_) : kept_;
  }
  std::size_t storage_bytes() const {
    return starts_.bytes() + ends_.bytes() + covering_.bytes() + cuts_.bytes() + first_.bytes() + entries_.bytes() +
           kept_.bytes();
  }
  void release();

  // One end of a span.
  struct Boundary {
    std::size_t pos;
    std::size_t span;
  };

 private:
  // The common case, spans that follow one another without overlapping (in
  // recording order), cut in one pass; false, having done nothing, otherwise.
  bool assemble_disjoint(std::size_t text_size, std::span<const Span> spans);

  util::PodVector<Boundary> starts_;
  util::PodVector<Boundary> ends_;
  util::PodVector<types::CoveringSpan> covering_;
  util::PodVector<std::size_t> cuts_;
  util::PodVector<std::size_t> first_;
  util::PodVector<types::AnnotationRef> entries_;
  util::PodVector<types::CoveringSpan> kept_;
};

}  // namespace parser
