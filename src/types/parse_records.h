// Everything a parse produces besides its text, in one block of memory: the
// segment table and the markers, whose annotations are read from the text
// of their tags (annotation_store.h): the parse's input, which the records'
// owner keeps, or copies of the tags packed with the records. The block is
// the records' own, or lies in memory their owner provides (the Python
// binding makes it part of the result object, so a parse allocates once for
// all of it). Positions count code units of the form the text was parsed in.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "types/annotation_store.h"
#include "types/segment_table.h"

namespace types {

// A self-closing tag's marker: its position in the text and its annotation.
struct MarkerRecord {
  std::size_t pos = 0;
  AnnotationRef annotation = 0;
};

class ParseRecords {
 public:
  ParseRecords() = default;
  ParseRecords(ParseRecords&&) noexcept = default;
  ParseRecords& operator=(ParseRecords&&) noexcept = default;

  const SegmentTable& segments() const { return segments_; }
  std::span<const MarkerRecord> markers() const { return {markers_, marker_count_}; }
  // For whoever made the records, before handing them on: the markers,
  // to change their positions to another measure.
  std::span<MarkerRecord> markers_to_convert() { return {const_cast<MarkerRecord*>(markers_), marker_count_}; }
  template <class Unit>
  AnnotationReader<Unit> annotation(AnnotationRef ref) const {
    return AnnotationReader<Unit>(annotation_bytes_, ref);
  }
  // The text of the tags the segments' and markers' annotations refer to.
  const char* annotation_bytes() const { return annotation_bytes_; }

  // The parts, copied into one block. `cuts` holds segments + 1 positions
  // (none for an empty text). Either `first` and `entries` list each
  // segment's annotations, or `spans` (with `first` and `entries` empty)
  // keeps the spans for the segment table to index. The annotations are
  // read in `annotation_source` when it is set, which must then outlive the
  // records; else in `annotation_bytes`, copied into the block.
  struct Parts {
    std::span<const std::size_t> cuts;
    std::span<const std::size_t> first;
    std::span<const AnnotationRef> entries;
    std::span<const CoveringSpan> spans;
    std::span<const MarkerRecord> markers;
    std::span<const char> annotation_bytes;
    const char* annotation_source = nullptr;
    // Not packed: every span in recording order, as its first and last
    // segment, where spans overlap (kept or listed alike); empty where they
    // follow one another, each segment with an annotation then being one.
    std::span<const CoveringSpan> recorded_spans = {};
  };
  static ParseRecords pack(const Parts& parts);
  // The same into `block` (aligned for eight bytes, `packed_size(parts)`
  // long), which the caller owns and keeps for as long as the records.
  static std::size_t packed_size(const Parts& parts);
  static ParseRecords pack_into(const Parts& parts, std::byte* block);

 private:
  struct Offsets;

  std::unique_ptr<std::byte[]> block_;
  SegmentTable segments_;
  const MarkerRecord* markers_ = nullptr;
  std::size_t marker_count_ = 0;
  const char* annotation_bytes_ = nullptr;
};

}  // namespace types
