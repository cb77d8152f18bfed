#include "batch/chunk_builder.h"

#include "text/ascii_blocks.h"

namespace batch {

namespace {

std::int64_t count(std::size_t n) { return static_cast<std::int64_t>(n); }

}  // namespace

std::int64_t ChunkBuilder::char_count(std::size_t from, std::size_t to) const {
  if (ascii_) return count(to - from);
  return count(text::count_utf8_chars(chunk_.text.data.data() + text_start_ + from, to - from));
}

void ChunkBuilder::null_row() {
  ++chunk_.rows;
  ++chunk_.null_rows;
  chunk_.row_validity.append(false);
  chunk_.text.offsets.push_back(chunk_.text.offsets.back());
  chunk_.segment_offsets.push_back(chunk_.segment_offsets.back());
  chunk_.marker_offsets.push_back(chunk_.marker_offsets.back());
}

void ChunkBuilder::begin_row(std::string_view text) {
  std::memcpy(text_room(text.size()), text.data(), text.size());
  begin_row_written(text.size());
}

void ChunkBuilder::begin_row_written(std::size_t bytes) {
  text_start_ = chunk_.text.data.size();
  chunk_.text.data.resize_uninitialised(text_start_ + bytes);
  chunk_.text.offsets.push_back(static_cast<std::int64_t>(chunk_.text.data.size()));
  // One OR over the bytes, which the compiler vectorises; most answers are
  // ASCII, and then no offset needs counting.
  unsigned char bits = 0;
  const char* text = chunk_.text.data.data() + text_start_;
  for (std::size_t i = 0; i < bytes; ++i) bits |= static_cast<unsigned char>(text[i]);
  ascii_ = bits < 0x80;
  segment_byte_ = segment_char_ = 0;
  marker_byte_ = marker_char_ = 0;
  chunk_.segment_offsets.push_back(chunk_.segment_offsets.back());
  chunk_.marker_offsets.push_back(chunk_.marker_offsets.back());
}

void ChunkBuilder::add_segment(std::size_t byte_length) {
  const std::size_t end = segment_byte_ + byte_length;
  const std::int64_t chars = char_count(segment_byte_, end);
  chunk_.segment_start.push_back(count(segment_byte_));
  chunk_.segment_end.push_back(count(end));
  chunk_.segment_char_start.push_back(count(segment_char_));
  chunk_.segment_char_end.push_back(count(segment_char_) + chars);
  segment_byte_ = end;
  segment_char_ += static_cast<std::size_t>(chars);
  ++chunk_.segment_offsets.back();
  chunk_.annotation_offsets.push_back(chunk_.annotation_offsets.back());
}

void ChunkBuilder::add_segment_annotation(std::string_view tag) {
  chunk_.annotation_tags.append(tag);
  ++chunk_.annotation_offsets.back();
  attributes_ = &chunk_.annotation_attributes;
  attributes_->list_offsets.push_back(attributes_->list_offsets.back());
}

void ChunkBuilder::add_marker(std::uint64_t byte_pos, std::string_view tag) {
  // Markers come in order of position, so counting on from the last one
  // keeps a row linear; a position behind it is counted afresh.
  const auto pos = static_cast<std::size_t>(byte_pos);
  if (pos < marker_byte_) marker_byte_ = marker_char_ = 0;
  marker_char_ += static_cast<std::size_t>(char_count(marker_byte_, pos));
  marker_byte_ = pos;
  chunk_.marker_pos.push_back(count(pos));
  chunk_.marker_char_pos.push_back(count(marker_char_));
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
