#include "batch/output_columns.h"

#include <cstdint>
#include <utility>

namespace batch {

namespace {

// A bitmap only where something is null: Arrow needs none otherwise.
Validity validity_of(Bitmap& bitmap, std::int64_t nulls) {
  if (nulls == 0) return {};
  return {buffer_of(std::move(bitmap.bytes())), nulls};
}

// attrs: map<large_string, large_string>, an annotation's attributes in
// written order, each key once (the parser keeps a repeated key's last
// value); a null value for a key written without one.
ArrowField attributes(AttributeColumns&& columns) {
  const Validity values = validity_of(columns.value_validity, columns.value_nulls);
  return ArrowField::map("attrs", std::move(columns.map_offsets), std::move(columns.keys), std::move(columns.values),
                         values);
}

// Each row's segments, each with the annotations of every span covering it.
ArrowField segments(OutputChunk& chunk, const Validity& rows) {
  const auto segments = static_cast<std::int64_t>(chunk.segment_start.size());
  const auto annotations = static_cast<std::int64_t>(chunk.annotation_tags.offsets.size()) - 1;
  ArrowField annotation = ArrowField::structure("item", annotations,
                                                {
                                                    ArrowField::strings("tag", std::move(chunk.annotation_tags)),
                                                    attributes(std::move(chunk.annotation_attributes)),
                                                });
  ArrowField segment = ArrowField::structure(
      "item", segments,
      {
          ArrowField::int64s("start", std::move(chunk.segment_start)),
          ArrowField::int64s("end", std::move(chunk.segment_end)),
          ArrowField::int64s("char_start", std::move(chunk.segment_char_start)),
          ArrowField::int64s("char_end", std::move(chunk.segment_char_end)),
          ArrowField::list("annotations", std::move(chunk.annotation_offsets), std::move(annotation)),
      });
  return ArrowField::list("segments", std::move(chunk.segment_offsets), std::move(segment), rows);
}

// Each row's spans in recording order, each with its annotation: a
// segment's annotations are those of the spans covering it, in this order.
ArrowField spans(OutputChunk& chunk, const Validity& rows) {
  const auto spans = static_cast<std::int64_t>(chunk.span_start.size());
  ArrowField span = ArrowField::structure("item", spans,
                                          {
                                              ArrowField::int64s("start", std::move(chunk.span_start)),
                                              ArrowField::int64s("end", std::move(chunk.span_end)),
                                              ArrowField::int64s("char_start", std::move(chunk.span_char_start)),
                                              ArrowField::int64s("char_end", std::move(chunk.span_char_end)),
                                              ArrowField::strings("tag", std::move(chunk.span_tags)),
                                              attributes(std::move(chunk.span_attributes)),
                                          });
  return ArrowField::list("spans", std::move(chunk.span_offsets), std::move(span), rows);
}

}  // namespace

std::vector<ArrowField> output_columns(OutputChunk&& chunk) {
  // Every count is read before the buffers it is read from are taken over.
  const auto markers = static_cast<std::int64_t>(chunk.marker_pos.size());
  // The row-level columns are null together, where the input row was.
  const Validity rows = validity_of(chunk.row_validity, chunk.null_rows);
  ArrowField annotated = chunk.form == OutputForm::spans ? spans(chunk, rows) : segments(chunk, rows);
  ArrowField marker = ArrowField::structure("item", markers,
                                            {
                                                ArrowField::int64s("pos", std::move(chunk.marker_pos)),
                                                ArrowField::int64s("char_pos", std::move(chunk.marker_char_pos)),
                                                ArrowField::strings("tag", std::move(chunk.marker_tags)),
                                                attributes(std::move(chunk.marker_attributes)),
                                            });
  return {
      ArrowField::strings("text", std::move(chunk.text), rows),
      std::move(annotated),
      ArrowField::list("markers", std::move(chunk.marker_offsets), std::move(marker), rows),
  };
}

}  // namespace batch
