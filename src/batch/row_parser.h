// The one place that calls the parser and reads its result: one row's text
// in, that row appended to a chunk.
#pragma once

#include <string_view>

#include "batch/chunk_builder.h"
#include "parser/tag_table.h"
#include "text/positions.h"

namespace batch {

// Parses UTF-8 `input` under `config`, which every thread shares (it is only
// read), and appends the row to `out`. `chars` is the thread's index of the
// row's text, rebuilt for each row.
void parse_row(std::string_view input, const parser::PreparedConfig& config, text::PositionMap<char>& chars,
               ChunkBuilder& out);

}  // namespace batch
