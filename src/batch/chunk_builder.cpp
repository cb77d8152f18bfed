#include "batch/chunk_builder.h"

#include <limits>
#include <stdexcept>

namespace batch {

namespace {

std::int64_t count(std::size_t n) { return static_cast<std::int64_t>(n); }

}  // namespace

void ChunkBuilder::null_row() {
  ++chunk_.rows;
  ++chunk_.null_rows;
  chunk_.row_validity.append(false);
  chunk_.text.offsets.push_back(chunk_.text.offsets.back());
  row_lists();
}

void ChunkBuilder::begin_row_written(std::size_t bytes) {
  chunk_.text.data.resize_uninitialised(chunk_.text.data.size() + bytes);
  chunk_.text.offsets.push_back(static_cast<std::int64_t>(chunk_.text.data.size()));
  segment_end_ = {};
  row_lists();
}

void ChunkBuilder::row_lists() {
  Offsets& annotated = chunk_.form == OutputForm::spans ? chunk_.span_offsets : chunk_.segment_offsets;
  annotated.push_back(annotated.back());
  chunk_.marker_offsets.push_back(chunk_.marker_offsets.back());
}

void ChunkBuilder::add_segment(TextPlace end) {
  chunk_.segment_start.push_back(count(segment_end_.byte));
  chunk_.segment_end.push_back(count(end.byte));
  chunk_.segment_char_start.push_back(count(segment_end_.chr));
  chunk_.segment_char_end.push_back(count(end.chr));
  segment_end_ = end;
  ++chunk_.segment_offsets.back();
  chunk_.annotation_offsets.push_back(chunk_.annotation_offsets.back());
}

void ChunkBuilder::add_segment_annotation(std::string_view tag) {
  chunk_.annotation_tags.append(tag);
  ++chunk_.annotation_offsets.back();
  begin_attributes(chunk_.annotation_attributes);
}

void ChunkBuilder::add_span(TextPlace start, TextPlace end, std::string_view tag) {
  chunk_.span_start.push_back(count(start.byte));
  chunk_.span_end.push_back(count(end.byte));
  chunk_.span_char_start.push_back(count(start.chr));
  chunk_.span_char_end.push_back(count(end.chr));
  chunk_.span_tags.append(tag);
  ++chunk_.span_offsets.back();
  begin_attributes(chunk_.span_attributes);
}

void ChunkBuilder::add_marker(TextPlace at, std::string_view tag) {
  chunk_.marker_pos.push_back(count(at.byte));
  chunk_.marker_char_pos.push_back(count(at.chr));
  chunk_.marker_tags.append(tag);
  ++chunk_.marker_offsets.back();
  begin_attributes(chunk_.marker_attributes);
}

void ChunkBuilder::begin_attributes(AttributeColumns& attributes) {
  attributes_ = &attributes;
  attributes.map_offsets.push_back(attributes.map_offsets.back());
}

void ChunkBuilder::add_attribute(std::string_view key, const std::string_view* value) {
  if (attributes_->map_offsets.back() == std::numeric_limits<std::int32_t>::max()) {
    throw std::length_error("more than 2147483647 attributes of one kind in one chunk of the output, which Arrow's "
                            "map type cannot index: parse fewer rows at a time");
  }
  attributes_->keys.append(key);
  attributes_->values.append(value == nullptr ? std::string_view() : *value);
  attributes_->value_validity.append(value != nullptr);
  attributes_->value_nulls += value == nullptr;
  ++attributes_->map_offsets.back();
}

void ChunkBuilder::end_row() {
  ++chunk_.rows;
  chunk_.row_validity.append(true);
}

}  // namespace batch
