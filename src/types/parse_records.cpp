#include "types/parse_records.h"

#include <cstring>

namespace types {

namespace {

// Lays arrays out one after another, each at an offset aligned for eight
// bytes (every element type here needs at most that).
class Layout {
 public:
  template <class T>
  std::size_t add(std::size_t count) {
    const std::size_t at = size_;
    size_ = (size_ + count * sizeof(T) + 7) / 8 * 8;
    return at;
  }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_ = 0;
};

template <class T>
const T* place(std::byte* block, std::size_t at, std::span<const T> values) {
  auto* to = reinterpret_cast<T*>(block + at);
  if (!values.empty()) std::memcpy(static_cast<void*>(to), values.data(), values.size() * sizeof(T));
  return to;
}


}  // namespace

ParseRecords ParseRecords::pack(const Parts& parts) {
  Layout layout;
  const std::size_t cuts = layout.add<std::size_t>(parts.cuts.size());
  const std::size_t first = layout.add<std::size_t>(parts.first.size());
  const std::size_t entries = layout.add<AnnotationRef>(parts.entries.size());
  const std::size_t spans = layout.add<CoveringSpan>(parts.spans.size());
  const std::size_t markers = layout.add<MarkerRecord>(parts.markers.size());
  const std::size_t bytes = layout.add<char>(parts.annotation_bytes.size());

  ParseRecords records;
  // Uninitialised: every byte used is copied in below.
  records.block_.reset(new std::byte[layout.size() == 0 ? 1 : layout.size()]);
  std::byte* block = records.block_.get();
  SegmentTable& table = records.segments_;
  if (!parts.cuts.empty()) table.view_cuts(place(block, cuts, parts.cuts), parts.cuts.size() - 1);
  if (!parts.spans.empty()) {
    table.view_spans(place(block, spans, parts.spans), parts.spans.size());
  } else {
    table.view_lists(place(block, first, parts.first), place(block, entries, parts.entries));
  }
  records.markers_ = place(block, markers, parts.markers);
  records.marker_count_ = parts.markers.size();
  records.annotation_bytes_ = reinterpret_cast<const char*>(place(block, bytes, parts.annotation_bytes));
  return records;
}

}  // namespace types
