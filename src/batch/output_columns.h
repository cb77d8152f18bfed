// The columns a batch puts out, stated once: their names, their Arrow types
// and the chunk buffers each is made of. The package hands them to pyarrow
// through the C data interface, and reads the table's schema from here too,
// so that changing a column is an edit of output_columns.cpp alone (and of
// the chunk builder, where the column's values come from).
#pragma once

#include <vector>

#include "batch/arrow_field.h"
#include "batch/chunk_builder.h"

namespace batch {

// The output columns over `chunk`'s buffers, which they take over, in the
// chunk's form. Of an empty chunk: the columns' names and types. Throws
// std::bad_alloc.
std::vector<ArrowField> output_columns(OutputChunk&& chunk);

}  // namespace batch
