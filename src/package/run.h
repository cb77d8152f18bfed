// What a tagmire.ParsedText holds (a Run): its text, where that lies in the
// whole text, and its segments and markers, which come from one of three
// sources: a one-shot parse of a str, a run a stream settled, or a stretch
// of a stream's preview. Each source gives every position in both
// measures, UTF-8 bytes and characters from the run's start, and the
// stored annotation behind each segment and marker; the record types read
// them through the functions at the end, whatever the source.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "parser/preview.h"
#include "parser/stream.h"
#include "python_glue/py_ref.h"
#include "python_glue/str_records.h"
#include "text/encoding.h"
#include "types/parse_records.h"

namespace package {

// A size not known yet; as a position, past every position.
inline constexpr std::size_t kUnknown = static_cast<std::size_t>(-1);

// Segment i's bounds from the run's start: in bytes and in characters.
struct Bounds {
  std::size_t start, end, char_start, char_end;
};

// An annotation as it is stored: the bytes it is read from, where in them,
// and the form of its strings (a str kind, or text::kUtf8Width).
struct StoredAnnotation {
  const char* bytes = nullptr;
  types::AnnotationRef ref = 0;
  int form = text::kUtf8Width;
};

// Calls `visit(count, at)` with the annotations of segment i of `records`,
// whose strings are in `form`: `count` of them, the k-th `at(k)`.
template <class Visit>
auto with_annotations_of(const types::ParseRecords& records, int form, std::size_t i, Visit& visit) {
  std::vector<types::AnnotationRef> refs;
  records.segments().annotations(i, refs);
  return visit(refs.size(), [&](std::size_t k) { return StoredAnnotation{records.annotation_bytes(), refs[k], form}; });
}

// A one-shot parse of a str. Its positions count the str's characters;
// their UTF-8 byte offsets are found in one walk over the text the first
// time one is asked for, and never for an ASCII text, whose characters are
// its bytes.
class StrParse {
 public:
  explicit StrParse(python_glue::StrRecords&& parsed) noexcept : parsed_(std::move(parsed)) {}

  std::size_t segment_count() const noexcept { return parsed_.records.segments().size(); }
  std::size_t marker_count() const noexcept { return parsed_.records.markers().size(); }
  Bounds segment_bounds(std::size_t i, PyObject* text) {
    const types::SegmentTable& segments = parsed_.records.segments();
    if (PyUnicode_IS_ASCII(text)) return {segments.start(i), segments.end(i), segments.start(i), segments.end(i)};
    find_bytes(text);
    return {byte_cuts_[i], byte_cuts_[i + 1], segments.start(i), segments.end(i)};
  }
  std::pair<std::size_t, std::size_t> marker_position(std::size_t i, PyObject* text) {  // bytes, characters
    const std::size_t pos = parsed_.records.markers()[i].pos;
    if (PyUnicode_IS_ASCII(text)) return {pos, pos};
    find_bytes(text);
    return {byte_markers_[i], pos};
  }
  template <class Visit>
  auto with_segment_annotations(std::size_t i, Visit&& visit) const {
    return with_annotations_of(parsed_.records, parsed_.form, i, visit);
  }
  StoredAnnotation marker_annotation(std::size_t i) const {
    return {parsed_.records.annotation_bytes(), parsed_.records.markers()[i].annotation, parsed_.form};
  }

 private:
  void find_bytes(PyObject* text);

  python_glue::StrRecords parsed_;
  std::vector<std::size_t> byte_cuts_;
  std::vector<std::size_t> byte_markers_;
  std::atomic<bool> bytes_found_ = false;
};

// A run a stream settled. Its positions count bytes of its UTF-8 text;
// their characters are counted when it is made, in one walk over the text.
class SettledRecords {
 public:
  SettledRecords(types::ParseRecords&& records, std::string_view utf8);

  std::size_t segment_count() const noexcept { return records_.segments().size(); }
  std::size_t marker_count() const noexcept { return records_.markers().size(); }
  Bounds segment_bounds(std::size_t i, PyObject*) const {
    const types::SegmentTable& segments = records_.segments();
    return {segments.start(i), segments.end(i), char_cuts_[i], char_cuts_[i + 1]};
  }
  std::pair<std::size_t, std::size_t> marker_position(std::size_t i, PyObject*) const {
    return {records_.markers()[i].pos, char_markers_[i]};
  }
  template <class Visit>
  auto with_segment_annotations(std::size_t i, Visit&& visit) const {
    return with_annotations_of(records_, text::kUtf8Width, i, visit);
  }
  StoredAnnotation marker_annotation(std::size_t i) const {
    return {records_.annotation_bytes(), records_.markers()[i].annotation, text::kUtf8Width};
  }

 private:
  types::ParseRecords records_;
  std::vector<std::size_t> char_cuts_;
  std::vector<std::size_t> char_markers_;
};

// A stretch of a stream's preview (`preview`, whose UTF-8 text is `utf8`),
// then its `markers` and, when not empty, the `unfinished` markup shown as
// one last segment without annotations. The segments keep the annotations
// the preview shares with them.
class PreviewRecords {
 public:
  PreviewRecords(const parser::PreviewRun& preview, std::string_view utf8, std::vector<parser::PreviewMarker> markers,
                 std::string_view unfinished);

  std::size_t segment_count() const noexcept { return segments_.size(); }
  std::size_t marker_count() const noexcept { return markers_.size(); }
  Bounds segment_bounds(std::size_t i, PyObject*) const { return segments_[i].bounds; }
  std::pair<std::size_t, std::size_t> marker_position(std::size_t i, PyObject*) const {
    return {markers_[i].pos, markers_[i].char_pos};
  }
  template <class Visit>
  auto with_segment_annotations(std::size_t i, Visit&& visit) const {
    // Each of a preview's annotations is stored on its own.
    const std::vector<parser::AnnotationBytes> list = segments_[i].coverage.list();
    return visit(list.size(), [&](std::size_t k) { return StoredAnnotation{list[k]->data(), 0, text::kUtf8Width}; });
  }
  StoredAnnotation marker_annotation(std::size_t i) const {
    return {markers_[i].annotation->data(), 0, text::kUtf8Width};
  }

 private:
  struct Segment {
    Bounds bounds;
    parser::Coverage coverage;
  };
  struct Marker {
    std::size_t pos = 0, char_pos = 0;
    parser::AnnotationBytes annotation;
  };
  std::vector<Segment> segments_;
  std::vector<Marker> markers_;
};

struct Run {
  // Each member from its own argument or initializer, the source made in
  // place from `source_args`: a cleared record (`Run()`) had GCC zero all of
  // it with `rep stos` first, and each move of a source costs as much again
  // as the rest of making the object.
  template <class Source, class... SourceArgs>
  Run(python_glue::PyRef text_in, std::size_t size_in, std::in_place_type_t<Source> source_type,
      SourceArgs&&... source_args)
      : text(std::move(text_in)), size(size_in), source(source_type, std::forward<SourceArgs>(source_args)...) {}

  python_glue::PyRef text;
  std::size_t start = 0;        // bytes of UTF-8 before it in the whole text
  std::size_t char_start = 0;   // characters before it
  std::atomic<std::size_t> size = kUnknown;  // its UTF-8 bytes, once known
  bool provisional = false;     // a stretch of a preview
  bool continues = false;       // its first segment continues the one before it
  std::variant<StrParse, SettledRecords, PreviewRecords> source;
};

inline std::size_t segment_count(const Run& run) noexcept {
  return std::visit([](const auto& source) { return source.segment_count(); }, run.source);
}
inline std::size_t marker_count(const Run& run) noexcept {
  return std::visit([](const auto& source) { return source.marker_count(); }, run.source);
}
// The run's UTF-8 bytes, found the first time they are asked for.
std::size_t run_size(Run& run);
inline Bounds segment_bounds(Run& run, std::size_t i) {
  return std::visit([&](auto& source) { return source.segment_bounds(i, run.text.get()); }, run.source);
}
// Marker i's position from the run's start: bytes, characters.
inline std::pair<std::size_t, std::size_t> marker_position(Run& run, std::size_t i) {
  return std::visit([&](auto& source) { return source.marker_position(i, run.text.get()); }, run.source);
}
// Calls `visit(count, at)` with the annotations of segment i: `count` of
// them, the k-th a StoredAnnotation `at(k)`; returns what it returns.
template <class Visit>
auto with_segment_annotations(const Run& run, std::size_t i, Visit&& visit) {
  return std::visit([&](const auto& source) { return source.with_segment_annotations(i, visit); }, run.source);
}
inline StoredAnnotation stored_marker_annotation(const Run& run, std::size_t i) {
  return std::visit([&](const auto& source) { return source.marker_annotation(i); }, run.source);
}

}  // namespace package
