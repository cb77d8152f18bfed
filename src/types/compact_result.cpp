#include "types/compact_result.h"

#include <string>
#include <vector>

namespace types {

namespace {

std::string copy_of(StoredText<char> text) { return std::string(text.data, text.size); }

}  // namespace

Annotation CompactResult::annotation(AnnotationRef ref) const {
  AnnotationReader<char> reader = records.annotation<char>(ref);
  Annotation annotation;
  annotation.tag = copy_of(reader.tag());
  annotation.attrs.reserve(reader.attribute_count());
  for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
    const auto attribute = reader.next_attribute();
    annotation.attrs.emplace_back(copy_of(attribute.key), attribute.has_value
                                                              ? AttrValue::str(copy_of(attribute.value))
                                                              : AttrValue::boolean(true));
  }
  return annotation;
}

ParseResult CompactResult::expand() && {
  ParseResult result;
  const SegmentTable& segments = records.segments();
  result.segments.reserve(segments.size());
  std::vector<AnnotationRef> covering;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    Segment& segment = result.segments.emplace_back();
    segment.text = std::string(segment_text(i));
    covering.clear();
    segments.annotations(i, covering);
    segment.annotations.reserve(covering.size());
    for (const AnnotationRef ref : covering) segment.annotations.push_back(annotation(ref));
  }
  result.markers.reserve(records.markers().size());
  for (const MarkerRecord& marker : records.markers()) {
    result.markers.push_back(Marker{marker.pos, annotation(marker.annotation)});
  }
  result.text = std::string(text());
  return result;
}

}  // namespace types
