#include "tagmire_native/row_parser.h"

#include <vector>

#include "parser/parse.h"

namespace tagmire_native {

namespace {

void add_annotation(const types::CompactResult& result, types::AnnotationRef ref, bool marker, std::uint64_t pos,
                    ChunkBuilder& out) {
  types::AnnotationReader<char> reader = result.records.annotation<char>(ref);
  const std::string_view tag(reader.tag().data, reader.tag().size);
  if (marker) {
    out.add_marker(pos, tag);
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

void parse_row(std::string_view text, const parser::PreparedConfig& config, ChunkBuilder& out) {
  const types::CompactResult result = parser::parse_compact(text, config);
  out.begin_row(result.text());
  const types::SegmentTable& segments = result.records.segments();
  // Each thread keeps its own, so a batch allocates for it a few times at most.
  thread_local std::vector<types::AnnotationRef> refs;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    out.add_segment(segments.end(i) - segments.start(i));
    refs.clear();
    segments.annotations(i, refs);
    for (const types::AnnotationRef ref : refs) add_annotation(result, ref, false, 0, out);
  }
  for (const types::MarkerRecord& marker : result.records.markers()) {
    add_annotation(result, marker.annotation, true, marker.pos, out);
  }
  out.end_row();
}

}  // namespace tagmire_native
