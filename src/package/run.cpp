#include "package/run.h"

#include "python_glue/critical_section.h"
#include "python_glue/stored_text.h"
#include "text/ascii_blocks.h"
#include "text/positions.h"

namespace package {

// --- a one-shot parse of a str ---

namespace {

// The UTF-8 bytes before each cut and each marker of records that count
// characters of `units`.
template <class Unit>
void bytes_of(const Unit* units, const types::ParseRecords& records, std::vector<std::size_t>& cuts,
              std::vector<std::size_t>& markers) {
  text::PositionMap<Unit> bytes;
  const types::SegmentTable& segments = records.segments();
  if (segments.size() != 0) {
    cuts.reserve(segments.size() + 1);
    cuts.push_back(bytes.at(segments.start(0), units));
    for (std::size_t i = 0; i < segments.size(); ++i) cuts.push_back(bytes.at(segments.end(i), units));
  }
  markers.reserve(records.markers().size());
  for (const types::MarkerRecord& marker : records.markers()) markers.push_back(bytes.at(marker.pos, units));
}

}  // namespace

void StrParse::find_bytes(PyObject* text) {
  if (bytes_found_.load(std::memory_order_acquire)) return;
  // Threads reading one result at once find them once, and none reads them
  // half found. The run's str is the object every reader of it holds.
  python_glue::CriticalSection section(text);
  if (bytes_found_.load(std::memory_order_relaxed)) return;
  const void* data = PyUnicode_DATA(text);
  switch (PyUnicode_KIND(text)) {
    case PyUnicode_1BYTE_KIND:
      bytes_of(static_cast<const Py_UCS1*>(data), parsed_.records, byte_cuts_, byte_markers_);
      break;
    case PyUnicode_2BYTE_KIND:
      bytes_of(static_cast<const Py_UCS2*>(data), parsed_.records, byte_cuts_, byte_markers_);
      break;
    default:
      bytes_of(static_cast<const Py_UCS4*>(data), parsed_.records, byte_cuts_, byte_markers_);
  }
  bytes_found_.store(true, std::memory_order_release);
}

// --- a run a stream settled ---

SettledRecords::SettledRecords(types::ParseRecords&& records, std::string_view utf8) : records_(std::move(records)) {
  const types::SegmentTable& segments = records_.segments();
  text::PositionMap<char> chars;
  if (segments.size() != 0) {
    char_cuts_.reserve(segments.size() + 1);
    char_cuts_.push_back(chars.at(segments.start(0), utf8.data()));
    for (std::size_t i = 0; i < segments.size(); ++i) char_cuts_.push_back(chars.at(segments.end(i), utf8.data()));
  }
  char_markers_.reserve(records_.markers().size());
  for (const types::MarkerRecord& marker : records_.markers()) char_markers_.push_back(chars.at(marker.pos, utf8.data()));
}

// --- a stretch of a preview ---

PreviewRecords::PreviewRecords(const parser::PreviewRun& preview, std::string_view utf8,
                               std::vector<parser::PreviewMarker> markers, std::string_view unfinished) {
  text::PositionMap<char> chars;
  segments_.reserve(preview.segments.size() + (unfinished.empty() ? 0 : 1));
  for (const parser::PreviewSegment& segment : preview.segments) {
    const std::size_t start = segment.start - preview.start;
    const std::size_t end = segment.end - preview.start;
    segments_.push_back(Segment{{start, end, chars.at(start, utf8.data()), chars.at(end, utf8.data())},
                                segment.coverage});
  }
  if (!unfinished.empty()) {
    const std::size_t chars_before = chars.at(utf8.size(), utf8.data());
    segments_.push_back(Segment{{utf8.size(), utf8.size() + unfinished.size(), chars_before,
                                 chars_before + text::count_utf8_chars(unfinished.data(), unfinished.size())},
                                {}});
  }
  markers_.reserve(markers.size());
  for (parser::PreviewMarker& marker : markers) {
    const std::size_t pos = marker.pos - preview.start;
    markers_.push_back(Marker{pos, chars.at(pos, utf8.data()), std::move(marker.annotation)});
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
