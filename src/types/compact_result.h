// A UTF-8 parse result kept as positions into its text rather than copies:
// the text, and the records of `ParseRecords`, whose annotations are read
// from the tags of the input, which must outlive it. `expand()` turns it
// into the `ParseResult` records, with every segment's text and annotations
// copied.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "types/annotation.h"
#include "types/parse_records.h"
#include "types/parse_result.h"

namespace types {

// The parser writes the text in place into room for the whole input, so the
// text is kept in that buffer rather than copied into a string of its size.
struct CompactResult {
  std::unique_ptr<char[]> text_buffer;
  std::size_t text_size = 0;
  ParseRecords records;

  std::string_view text() const { return {text_buffer.get(), text_size}; }
  std::string_view segment_text(std::size_t i) const {
    const SegmentTable& segments = records.segments();
    return text().substr(segments.start(i), segments.end(i) - segments.start(i));
  }
  // A copy of one stored annotation.
  Annotation annotation(AnnotationRef ref) const;
  ParseResult expand() &&;
};

}  // namespace types
