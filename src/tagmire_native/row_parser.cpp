#include "tagmire_native/row_parser.h"

#include "parser/parse.h"

namespace tagmire_native {

namespace {

void add_attributes(const types::AttrMap& attrs, ChunkBuilder& out) {
  for (const auto& [key, value] : attrs) {
    if (value.kind() == types::AttrValue::Kind::Str) {
      const std::string_view text = value.as_str();
      out.add_attribute(key, &text);
    } else {
      out.add_attribute(key, nullptr);
    }
  }
}

}  // namespace

void parse_row(std::string_view text, const types::ParserConfig& config, ChunkBuilder& out) {
  const types::ParseResult result = parser::parse(text, config);
  out.begin_row(result.text);
  for (const types::Segment& segment : result.segments) {
    out.add_segment(segment.text.size());
    for (const types::Annotation& annotation : segment.annotations) {
      out.add_segment_annotation(annotation.tag);
      add_attributes(annotation.attrs, out);
    }
  }
  for (const types::Marker& marker : result.markers) {
    out.add_marker(marker.pos, marker.annotation.tag);
    add_attributes(marker.annotation.attrs, out);
  }
  out.end_row();
}

}  // namespace tagmire_native
