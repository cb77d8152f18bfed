// The one place that calls the parser and reads its result: one row's text
// in, that row appended to a chunk.
#pragma once

#include <string_view>

#include "tagmire_native/chunk_builder.h"
#include "types/parser_config.h"

namespace tagmire_native {

void parse_row(std::string_view text, const types::ParserConfig& config, ChunkBuilder& out);

}  // namespace tagmire_native
