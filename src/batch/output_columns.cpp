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

// attrs: large_list<struct<key: large_string, value: large_string>>, an
// annotation's attributes in written order; a null value for a key written
// without one.
ArrowField attributes(AttributeColumns&& columns) {
  const auto count = static_cast<std::int64_t>(columns.keys.offsets.size()) - 1;
  const Validity values = validity_of(columns.value_validity, columns.value_nulls);
  ArrowField pair = ArrowField::structure("item", count,
                                          {
                                              ArrowField::strings("key", std::move(columns.keys)),
                                              ArrowField::strings("value", std::move(columns.values), values),
                                          });
  return ArrowField::list("attrs", std::move(columns.list_offsets), std::move(pair));
}

}  // namespace

std::vector<ArrowField> output_columns(OutputChunk&& chunk) {
  // Every count is read before the buffers it is read from are taken over.
  const auto segments = static_cast<std::int64_t>(chunk.segment_start.size());
  const auto annotations = static_cast<std::int64_t>(chunk.annotation_tags.offsets.size()) - 1;
  const auto markers = static_cast<std::int64_t>(chunk.marker_pos.size());
  // The row-level columns are null together, where the input row was.
  const Validity rows = validity_of(chunk.row_validity, chunk.null_rows);

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
  ArrowField marker = ArrowField::structure("item", markers,
                                            {
                                                ArrowField::int64s("pos", std::move(chunk.marker_pos)),
                                                ArrowField::int64s("char_pos", std::move(chunk.marker_char_pos)),
                                                ArrowField::strings("tag", std::move(chunk.marker_tags)),
                                                attributes(std::move(chunk.marker_attributes)),
                                            });
  return {
      ArrowField::strings("text", std::move(chunk.text), rows),
      ArrowField::list("segments", std::move(chunk.segment_offsets), std::move(segment), rows),
      ArrowField::list("markers", std::move(chunk.marker_offsets), std::move(marker), rows),
  };
}

}  // namespace batch
