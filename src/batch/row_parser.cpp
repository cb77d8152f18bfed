#include "batch/row_parser.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "parser/parse.h"
#include "util/pod_vector.h"

namespace batch {

namespace {

using Parts = types::ParseRecords::Parts;

// What the output columns take, in bytes, as counted against a row's bound:
// each offset and position eight bytes (a map's offsets four), a validity
// bit rounded up to a byte, and the text's own bytes.
constexpr std::size_t kRowBytes = 4 * 8 + 1;     // its offsets in the text and both lists, its validity bit
constexpr std::size_t kSegmentBytes = 5 * 8;     // four positions and its annotation list's offset
constexpr std::size_t kSpanBytes = 4 * 8;        // four positions
constexpr std::size_t kMarkerBytes = 2 * 8;      // two positions
constexpr std::size_t kAnnotationBytes = 8 + 4;  // its tag's offset and its map's
constexpr std::size_t kAttributeBytes = 2 * 8 + 1;
// A tag whose text takes n bytes writes at most this many times n in the
// output, plus kAnnotationBytes: each attribute takes at least two bytes of
// its tag's text (its key and the space before it) besides its value.
constexpr std::size_t kStoredToOutput = (kAttributeBytes + 1) / 2;

constexpr std::size_t kMost = std::numeric_limits<std::size_t>::max();

std::size_t times(std::size_t a, std::size_t b) { return b != 0 && a > kMost / b ? kMost : a * b; }
std::size_t plus(std::size_t a, std::size_t b) { return a > kMost - b ? kMost : a + b; }

std::size_t annotation_output(const char* store, types::AnnotationRef ref) {
  types::AnnotationReader<char> reader(store, ref);
  std::size_t bytes = kAnnotationBytes + reader.tag().size;
  for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
    const auto attribute = reader.next_attribute();
    bytes += kAttributeBytes + attribute.key.size + attribute.value.size;
  }
  return bytes;
}

// About how many bytes a row's columns would take in `form`, as counted
// above, in time linear in the row. The annotations are read from their
// tags' text, all of it within the row's `input` (or the copies the parse
// kept). Unless a span's annotation is written once per segment it covers,
// a bound that holds whatever the tags say is tried first against `limit`;
// else each annotation is read once and counted as often as it is written.
std::size_t output_size(const Parts& parts, OutputForm form, std::size_t input, std::size_t text, std::size_t limit) {
  const std::size_t segments = parts.cuts.empty() ? 0 : parts.cuts.size() - 1;
  const bool spans_form = form == OutputForm::spans;
  const auto& recorded = parts.recorded_spans;
  // Spans kept by the segment table for the many entries they make.
  const bool kept = !parts.spans.empty();
  std::size_t items = 0;  // annotations written, markers apart
  if (spans_form) {
    items = recorded.empty() ? parts.entries.size() : recorded.size();
  } else if (!kept) {
    items = parts.entries.size();
  } else {
    for (const types::CoveringSpan& span : parts.spans) items = plus(items, span.last - span.first + 1);
  }
  const std::size_t base = plus(kRowBytes + text, spans_form ? times(kSpanBytes, items) : kSegmentBytes * segments);
  const char* store = parts.annotation_source != nullptr ? parts.annotation_source : parts.annotation_bytes.data();
  const std::size_t stored = parts.annotation_source != nullptr ? input : parts.annotation_bytes.size();
  // Overlapping spans in the segments form: a span's annotation is written
  // once per segment it covers.
  const bool repeated = !spans_form && !recorded.empty();
  if (!repeated) {
    const std::size_t each = kAnnotationBytes + kMarkerBytes;
    const std::size_t at_most =
        plus(plus(base, times(plus(items, parts.markers.size()), each)), times(kStoredToOutput, stored));
    if (at_most <= limit) return at_most;
  }

  std::size_t bytes = base;
  for (const types::MarkerRecord& marker : parts.markers) {
    bytes = plus(bytes, kMarkerBytes + annotation_output(store, marker.annotation));
  }
  if (!recorded.empty()) {
    for (const types::CoveringSpan& span : recorded) {
      const std::size_t copies = spans_form ? 1 : span.last - span.first + 1;
      bytes = plus(bytes, times(copies, annotation_output(store, span.annotation)));
    }
  } else {
    for (const types::AnnotationRef ref : parts.entries) bytes = plus(bytes, annotation_output(store, ref));
  }
  return bytes;
}

void add_annotation(const types::ParseRecords& records, types::AnnotationRef ref, ChunkBuilder& out,
                    const auto& add_item) {
  types::AnnotationReader<char> reader = records.annotation<char>(ref);
  add_item(std::string_view(reader.tag().data, reader.tag().size));
  for (std::size_t k = 0; k < reader.attribute_count(); ++k) {
    const auto attribute = reader.next_attribute();
    const std::string_view key(attribute.key.data, attribute.key.size);
    const std::string_view value(attribute.value.data, attribute.value.size);
    out.add_attribute(key, attribute.has_value ? &value : nullptr);
  }
}

}  // namespace

RowOutcome parse_row(std::string_view input, const parser::PreparedConfig& config, RowWorkspace& workspace,
                     ChunkBuilder& out, const RowBound& bound) {
  // The row's text is written straight into the chunk, and its records
  // packed into memory the thread keeps: a row allocates nothing.
  parser::OutputBuffer<char> written;
  written.data = out.text_room(input.size());
  written.capacity = input.size();
  util::PodVector<std::byte>& block = workspace.block;
  util::PodVector<types::CoveringSpan>& recorded = workspace.recorded;
  text::PositionMap<char>& chars = workspace.chars;
  const OutputForm form = out.form();
  RowOutcome outcome;
  const text::TextView<text::Utf8> view{input.data(), input.size()};
  const types::ParseRecords records =
      parser::parse_with(workspace.parser, view, config, written, [&](const Parts& parts) {
        if (bound.ratio != 0) {
          outcome.limit = times(bound.ratio, std::max(input.size(), kSmallestBoundedRow));
          const std::size_t bytes = output_size(parts, form, input.size(), written.size, outcome.limit);
          if (bytes > outcome.limit) {
            outcome.kind = bound.plain ? RowOutcome::plain : RowOutcome::skipped;
            outcome.output_bytes = bytes;
          }
        }
        recorded.clear();
        if (form == OutputForm::spans && outcome.kind == RowOutcome::parsed) {
          recorded.reserve_more(parts.recorded_spans.size());
          for (const types::CoveringSpan& span : parts.recorded_spans) recorded.push_back(span);
        }
        block.resize_uninitialised(types::ParseRecords::packed_size(parts));
        return types::ParseRecords::pack_into(parts, block.data());
      });
  if (outcome.kind == RowOutcome::skipped) return outcome;

  out.begin_row_written(written.size);
  chars.index(written.data, written.size);
  const auto place = [&](std::size_t byte) { return TextPlace{byte, chars.at(byte, written.data)}; };
  const types::SegmentTable& segments = records.segments();
  if (outcome.kind == RowOutcome::plain) {
    if (form == OutputForm::segments && written.size != 0) out.add_segment(place(written.size));
    out.end_row();
    return outcome;
  }
  std::vector<types::AnnotationRef>& refs = workspace.refs;
  if (form == OutputForm::segments) {
    for (std::size_t i = 0; i < segments.size(); ++i) {
      out.add_segment(place(segments.end(i)));
      refs.clear();
      segments.annotations(i, refs);
      for (const types::AnnotationRef ref : refs) {
        add_annotation(records, ref, out, [&](std::string_view tag) { out.add_segment_annotation(tag); });
      }
    }
  } else if (!recorded.empty()) {
    for (const types::CoveringSpan& span : recorded) {
      const TextPlace start = place(segments.start(span.first));
      const TextPlace end = place(segments.end(span.last));
      add_annotation(records, span.annotation, out, [&](std::string_view tag) { out.add_span(start, end, tag); });
    }
  } else {
    // Spans that follow one another are each one segment, in text order.
    for (std::size_t i = 0; i < segments.size(); ++i) {
      refs.clear();
      segments.annotations(i, refs);
      for (const types::AnnotationRef ref : refs) {
        const TextPlace start = place(segments.start(i));
        const TextPlace end = place(segments.end(i));
        add_annotation(records, ref, out, [&](std::string_view tag) { out.add_span(start, end, tag); });
      }
    }
  }
  for (const types::MarkerRecord& marker : records.markers()) {
    const TextPlace at = place(marker.pos);
    add_annotation(records, marker.annotation, out, [&](std::string_view tag) { out.add_marker(at, tag); });
  }
  out.end_row();
  return outcome;
}

}  // namespace batch
