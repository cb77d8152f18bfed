// The one place that calls the parser and reads its result: one row's text
// in, that row appended to a chunk.
#pragma once

#include <string_view>

#include "parser/tag_table.h"
#include "batch/chunk_builder.h"

namespace batch {

// Parses UTF-8 `input` under `config`, which every thread shares (it is only
// read), and appends the row to `out`.
void parse_row(std::string_view input, const parser::PreparedConfig& config, ChunkBuilder& out);

}  // namespace batch
