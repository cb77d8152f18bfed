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

// Where each part lies in a block.
struct ParseRecords::Offsets {
  explicit Offsets(const Parts& parts)
      : cuts(layout.add<std::size_t>(parts.cuts.size())),
        first(layout.add<std::size_t>(parts.first.size())),
        entries(layout.add<AnnotationRef>(parts.entries.size())),
        spans(layout.add<CoveringSpan>(parts.spans.size())),
        markers(layout.add<MarkerRecord>(parts.markers.size())),
        bytes(layout.add<char>(parts.annotation_bytes.size())) {}

  Layout layout;
  std::size_t cuts, first, entries, spans, markers, bytes;
};

std::size_t ParseRecords::packed_size(const Parts& parts) { return Offsets(parts).layout.size(); }

ParseRecords ParseRecords::pack(const Parts& parts) {
  const std::size_t size = packed_size(parts);
  // Uninitialised: every byte used is copied in.
  std::unique_ptr<std::byte[]> block(new std::byte[size == 0 ? 1 : size]);
  ParseRecords records = pack_into(parts, block.get());
  records.block_ = std::move(block);
  return records;
}

ParseRecords ParseRecords::pack_into(const Parts& parts, std::byte* block) {
  const Offsets at(parts);
  ParseRecords records;
  SegmentTable& table = records.segments_;
  if (!parts.cuts.empty()) table.view_cuts(place(block, at.cuts, parts.cuts), parts.cuts.size() - 1);
  if (!parts.spans.empty()) {
    table.view_spans(place(block, at.spans, parts.spans), parts.spans.size());
  } else {
    table.view_lists(place(block, at.first, parts.first), place(block, at.entries, parts.entries));
  }
  records.markers_ = place(block, at.markers, parts.markers);
  records.marker_count_ = parts.markers.size();
  records.annotation_bytes_ = parts.annotation_source != nullptr
                                 ? parts.annotation_source
                                 : reinterpret_cast<const char*>(place(block, at.bytes, parts.annotation_bytes));
  return records;
}

}  // namespace types
