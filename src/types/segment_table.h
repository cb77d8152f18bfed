// A parse result's text cut into segments, and which annotations cover each.
// Segment i is text[start(i), end(i)). Its annotations are those of every
// recorded span covering it, in the order the spans were recorded.
//
// Most results list those annotations segment by segment: the lists add up
// to about the number of spans. Deeply nested spans that stay open (k of
// them, with auto-close off) would make the lists add up to k*k/2 entries,
// so past a budget the table keeps the spans instead, and finds the spans
// covering one segment when that segment is read, through an interval index
// built on the first such read. Either way, building the table costs time
// and memory linear in the spans and segments, and reading one segment's
// annotations costs about its own length.
//
// The table is a view of arrays its `ParseRecords` owns.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "types/annotation_store.h"

namespace types {

// A recorded span as the segment table keeps it: the segments it covers,
// [first, last], and its annotation.
struct CoveringSpan {
  std::size_t first = 0;
  std::size_t last = 0;
  AnnotationRef annotation = 0;
};

class SegmentTable {
 public:
  SegmentTable();
  SegmentTable(SegmentTable&&) noexcept;
  SegmentTable& operator=(SegmentTable&&) noexcept;
  ~SegmentTable();

  std::size_t size() const { return segments_; }
  std::size_t start(std::size_t i) const { return cuts_[i]; }
  std::size_t end(std::size_t i) const { return cuts_[i + 1]; }

  // The annotations covering segment i, in recording order, appended to `out`.
  void annotations(std::size_t i, std::vector<AnnotationRef>& out) const;

  // Segments listed one by one (cheap to read) or spans kept (see above).
  bool lists_annotations() const { return spans_ == nullptr; }

 private:
  friend class ParseRecords;
  class IntervalIndex;
  struct LazyIndex;

  // For ParseRecords, which owns the arrays.
  void view_cuts(const std::size_t* cuts, std::size_t segments) {
    cuts_ = cuts;
    segments_ = segments;
  }
  void view_lists(const std::size_t* first, const AnnotationRef* entries) {
    first_ = first;
    entries_ = entries;
  }
  void view_spans(const CoveringSpan* spans, std::size_t count);

  const std::size_t* cuts_ = nullptr;  // segments_ + 1 positions
  std::size_t segments_ = 0;
  // Listed: segment i's annotations are entries_[first_[i], first_[i + 1]).
  const std::size_t* first_ = nullptr;
  const AnnotationRef* entries_ = nullptr;
  // Or kept as spans, in recording order.
  const CoveringSpan* spans_ = nullptr;
  std::size_t span_count_ = 0;
  std::unique_ptr<LazyIndex> lazy_;
};

}  // namespace types
