#include "batch/chunk_builder.h"

namespace batch {

namespace {

std::int64_t count(std::size_t n) { return static_cast<std::int64_t>(n); }

}  // namespace

void ChunkBuilder::null_row() {
  ++chunk_.rows;
  ++chunk_.null_rows;
  chunk_.row_validity.append(false);
  chunk_.text.offsets.push_back(chunk_.text.offsets.back());
  chunk_.segment_offsets.push_back(chunk_.segment_offsets.back());
  chunk_.marker_offsets.push_back(chunk_.marker_offsets.back());
}

void ChunkBuilder::begin_row_written(std::size_t bytes) {
  chunk_.text.data.resize_uninitialised(chunk_.text.data.size() + bytes);
  chunk_.text.offsets.push_back(static_cast<std::int64_t>(chunk_.text.data.size()));
  segment_end_ = {};
  chunk_.segment_offsets.push_back(chunk_.segment_offsets.back());
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
  attributes_ = &chunk_.annotation_attributes;
  attributes_->list_offsets.push_back(attributes_->list_offsets.back());
}

void ChunkBuilder::add_marker(TextPlace at, std::string_view tag) {
  chunk_.marker_pos.push_back(count(at.byte));
  chunk_.marker_char_pos.push_back(count(at.chr));
  chunk_.marker_tags.append(tag);
  ++chunk_.marker_offsets.back();
  attributes_ = &chunk_.marker_attributes;
  attributes_->list_offsets.push_back(attributes_->list_offsets.back());
}

void ChunkBuilder::add_attribute(std::string_view key, const std::string_view* value) {
  attributes_->keys.append(key);
  attributes_->values.append(value == nullptr ? std::string_view() : *value);
  attributes_->value_validity.append(value != nullptr);
  attributes_->value_nulls += value == nullptr;
  ++attributes_->list_offsets.back();
}

void ChunkBuilder::end_row() {
  ++chunk_.rows;
  chunk_.row_validity.append(true);
}

}  // namespace batch
