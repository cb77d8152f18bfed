// The output of one row range in Arrow's layout: validity bitmaps, int64
// offsets and positions, UTF-8 bytes. Arrow readers take each buffer
// without a copy, as the columns of output_columns.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "util/pod_vector.h"

namespace batch {

// The columns' arrays, whose large blocks are output blocks: kept for the
// next batch once the table that wrapped them is gone.
template <class T>
using ColumnVector = util::PodVector<T, util::BlockUse::output>;

// A validity bitmap, least significant bit first, as Arrow lays it out.
class Bitmap {
 public:
  void reserve(std::size_t bits) { bytes_.reserve_more((bits + 7) / 8); }
  void append(bool valid) {
    if (size_ % 8 == 0) bytes_.push_back(0);
    if (valid) bytes_.back() = static_cast<std::uint8_t>(bytes_.back() | (1u << (size_ % 8)));
    ++size_;
  }
  ColumnVector<std::uint8_t>& bytes() { return bytes_; }
  std::size_t size() const { return size_; }

 private:
  ColumnVector<std::uint8_t> bytes_;
  std::size_t size_ = 0;
};

// The columns grow with realloc, which remaps a large one in place where
// std::vector would copy it at every doubling.
using Int64Column = ColumnVector<std::int64_t>;

// Arrow offsets: one entry per item and one more, starting at zero.
struct Offsets : Int64Column {
  Offsets() { push_back(0); }
};

// A column of UTF-8 strings: int64 offsets (large_string) and bytes. The
// bytes grow without being zeroed first, since a parse writes a row's text
// straight into them.
struct StringColumn {
  Offsets offsets;
  ColumnVector<char> data;

  void append(std::string_view text) {
    data.reserve_more(text.size());
    if (!text.empty()) std::memcpy(data.data() + data.size(), text.data(), text.size());
    data.resize_uninitialised(data.size() + text.size());
    offsets.push_back(static_cast<std::int64_t>(data.size()));
  }
};

// Arrow's map type has 32-bit offsets only, whatever its keys and values.
struct MapOffsets : ColumnVector<std::int32_t> {
  MapOffsets() { push_back(0); }
};

// map<key, value>: the attributes of a run of annotations; a null value
// stands for a key written without one.
struct AttributeColumns {
  MapOffsets map_offsets;  // one entry per annotation, plus one
  StringColumn keys;
  StringColumn values;
  Bitmap value_validity;
  std::int64_t value_nulls = 0;
};

// What a row's annotations are listed by.
enum class OutputForm : std::uint8_t {
  segments,  // each segment with the annotations of every span covering it
  spans,     // each span once with its annotation: linear in the input, however the spans nest
};

// One output chunk. Row-level columns: `text` (large_string), `segments`
// or `spans`, and `markers` (large_list), all three null together where the
// input row was null, so they share one validity bitmap.
struct OutputChunk {
  OutputForm form = OutputForm::segments;
  std::int64_t rows = 0;
  std::int64_t null_rows = 0;
  Bitmap row_validity;

  StringColumn text;

  // The segments form.
  Offsets segment_offsets;  // per row
  Int64Column segment_start, segment_end, segment_char_start, segment_char_end;
  Offsets annotation_offsets;  // per segment
  StringColumn annotation_tags;
  AttributeColumns annotation_attributes;

  // The spans form.
  Offsets span_offsets;  // per row
  Int64Column span_start, span_end, span_char_start, span_char_end;
  StringColumn span_tags;
  AttributeColumns span_attributes;

  Offsets marker_offsets;  // per row
  Int64Column marker_pos, marker_char_pos;
  StringColumn marker_tags;
  AttributeColumns marker_attributes;
};

// A place in a row's text, counted both ways.
struct TextPlace {
  std::size_t byte = 0;
  std::size_t chr = 0;
};

// Appends rows to an OutputChunk, one row at a time: begin_row_written,
// then the row's segments in text order (each followed by its annotations,
// each of those by its attributes) or its spans in recording order (each
// followed by its attributes), then its markers, then end_row.
class ChunkBuilder {
 public:
  explicit ChunkBuilder(OutputChunk& chunk) : chunk_(chunk) {}

  OutputForm form() const { return chunk_.form; }

  void null_row();
  // Room for `n` bytes of the next row's text, for a parse to write into;
  // then begin_row_written with the bytes written.
  char* text_room(std::size_t n) {
    chunk_.text.data.reserve_more(n);
    return chunk_.text.data.data() + chunk_.text.data.size();
  }
  void begin_row_written(std::size_t bytes);
  // The next segment, from where the last one ended to `end`.
  void add_segment(TextPlace end);
  void add_segment_annotation(std::string_view tag);
  void add_span(TextPlace start, TextPlace end, std::string_view tag);
  void add_marker(TextPlace at, std::string_view tag);
  // An attribute of the annotation, span or marker added last; `value` null
  // for a key written without a value. Throws std::length_error past the
  // map offsets' reach (2^31 - 1 attributes of one kind in a chunk).
  void add_attribute(std::string_view key, const std::string_view* value);
  void end_row();

 private:
  OutputChunk& chunk_;
  TextPlace segment_end_;
  void row_lists();
  void begin_attributes(AttributeColumns& attributes);

  AttributeColumns* attributes_ = nullptr;  // of the annotation, span or marker added last
};

}  // namespace batch
