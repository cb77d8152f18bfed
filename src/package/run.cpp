#include "package/run.h"

#include "python_glue/critical_section.h"
#include "python_glue/stored_text.h"
#include "text/ascii_blocks.h"

namespace package {

namespace {

std::size_t chars_in(std::string_view utf8) { return text::count_utf8_chars(utf8.data(), utf8.size()); }

}  // namespace

// --- a one-shot parse of a str ---

void StrParse::find_bytes(PyObject* text) {
  if (bytes_found_.load(std::memory_order_acquire)) return;
  // Threads reading one result at once find them once, and none reads them
  // half found. The run's str is the object every reader of it holds.
  python_glue::CriticalSection section(text);
  if (bytes_found_.load(std::memory_order_relaxed)) return;
  const types::SegmentTable& segments = parsed_.records.segments();
  // Characters to bytes: the UTF-8 length of each stretch between them.
  std::size_t chars = 0;
  std::size_t bytes = 0;
  const auto advance = [&](std::size_t to) {
    bytes += python_glue::utf8_length(text, chars, to);
    chars = to;
    return bytes;
  };
  if (segments.size() != 0) {
    byte_cuts_.push_back(advance(segments.start(0)));
    for (std::size_t i = 0; i < segments.size(); ++i) byte_cuts_.push_back(advance(segments.end(i)));
  }
  chars = bytes = 0;
  for (const types::MarkerRecord& marker : parsed_.records.markers()) {
    if (marker.pos < chars) chars = bytes = 0;  // markers stand in order; this keeps it safe regardless
    byte_markers_.push_back(advance(marker.pos));
  }
  bytes_found_.store(true, std::memory_order_release);
}

// --- a run a stream settled ---

SettledRecords::SettledRecords(types::ParseRecords&& records, std::string_view utf8) : records_(std::move(records)) {
  const types::SegmentTable& segments = records_.segments();
  std::size_t bytes = 0;
  std::size_t chars = 0;
  const auto advance = [&](std::size_t to) {
    chars += chars_in(utf8.substr(bytes, to - bytes));
    bytes = to;
    return chars;
  };
  if (segments.size() != 0) {
    char_cuts_.reserve(segments.size() + 1);
    char_cuts_.push_back(advance(segments.start(0)));
    for (std::size_t i = 0; i < segments.size(); ++i) char_cuts_.push_back(advance(segments.end(i)));
  }
  bytes = chars = 0;
  for (const types::MarkerRecord& marker : records_.markers()) char_markers_.push_back(advance(marker.pos));
}

// --- a stretch of a preview ---

PreviewRecords::PreviewRecords(const parser::PreviewRun& preview, std::string_view utf8,
                               std::vector<parser::PreviewMarker> markers, std::string_view unfinished) {
  segments_.reserve(preview.segments.size() + (unfinished.empty() ? 0 : 1));
  std::size_t chars = 0;
  for (const parser::PreviewSegment& segment : preview.segments) {
    Bounds b{segment.start - preview.start, segment.end - preview.start, chars, 0};
    chars += chars_in(utf8.substr(b.start, b.end - b.start));
    b.char_end = chars;
    segments_.push_back(Segment{b, segment.coverage});
  }
  if (!unfinished.empty()) {
    segments_.push_back(Segment{{utf8.size(), utf8.size() + unfinished.size(), chars, chars + chars_in(unfinished)}, {}});
  }
  // Markers stand in order: their characters are counted on from the last.
  std::size_t counted = 0;
  std::size_t marker_chars = 0;
  markers_.reserve(markers.size());
  for (parser::PreviewMarker& marker : markers) {
    const std::size_t pos = marker.pos - preview.start;
    marker_chars += chars_in(utf8.substr(counted, pos - counted));
    counted = pos;
    markers_.push_back(Marker{pos, marker_chars, std::move(marker.annotation)});
  }
}

// --- whatever the source ---

std::size_t run_size(Run& run) {
  std::size_t size = run.size.load(std::memory_order_relaxed);
  if (size == kUnknown) {
    // Threads that ask at once count the same, and store the same.
    PyObject* text = run.text.get();
    size = python_glue::utf8_length(text, 0, static_cast<std::size_t>(PyUnicode_GET_LENGTH(text)));
    run.size.store(size, std::memory_order_relaxed);
  }
  return size;
}

}  // namespace package
