#include "batch/row_parser.h"

#include <vector>

#include "parser/parse.h"
#include "util/pod_vector.h"

namespace batch {

namespace {

void add_annotation(const types::ParseRecords& records, types::AnnotationRef ref, const TextPlace* marker_at,
                    ChunkBuilder& out) {
  types::AnnotationReader<char> reader = records.annotation<char>(ref);
  const std::string_view tag(reader.tag().data, reader.tag().size);
  if (marker_at != nullptr) {
    out.add_marker(*marker_at, tag);
  } else {
    out.add_segment_annotation(tag);
  }
  for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
    const auto attribute = reader.next_attribute();
    const std::string_view key(attribute.key.data, attribute.key.size);
    const std::string_view value(attribute.value.data, attribute.value.size);
    out.add_attribute(key, attribute.has_value ? &value : nullptr);
  }
}

}  // namespace

void parse_row(std::string_view input, const parser::PreparedConfig& config, text::PositionMap<char>& chars,
               ChunkBuilder& out) {
  // The row's text is written straight into the chunk, and its records
  // packed into memory the thread keeps: a row allocates nothing.
  parser::OutputBuffer<char> written;
  written.data = out.text_room(input.size());
  written.capacity = input.size();
  thread_local util::PodVector<std::byte> block;
  const types::ParseRecords records = parser::parse_with(
      text::TextView<text::Utf8>{input.data(), input.size()}, config, written,
      [](const types::ParseRecords::Parts& parts) {
        block.resize_uninitialised(types::ParseRecords::packed_size(parts));
        return types::ParseRecords::pack_into(parts, block.data());
      });

  out.begin_row_written(written.size);
  chars.index(written.data, written.size);
  const auto place = [&](std::size_t byte) { return TextPlace{byte, chars.at(byte, written.data)}; };
  const types::SegmentTable& segments = records.segments();
  thread_local std::vector<types::AnnotationRef> refs;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    out.add_segment(place(segments.end(i)));
    refs.clear();
    segments.annotations(i, refs);
    for (const types::AnnotationRef ref : refs) add_annotation(records, ref, nullptr, out);
  }
  for (const types::MarkerRecord& marker : records.markers()) {
    const TextPlace at = place(marker.pos);
    add_annotation(records, marker.annotation, &at, out);
  }
  out.end_row();
}

}  // namespace batch
