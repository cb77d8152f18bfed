// The parser's entry point: any UTF-8 text and configuration in, a complete
// parse result out. It never fails and never rejects input.
#pragma once

#include <string_view>

#include "types/compact_result.h"
#include "types/parse_result.h"
#include "types/parser_config.h"

namespace parser {

// Parses `text` under `config` (read only; the parse prepares its own folded
// name tables). Example: with the default preset, "Water boils at 100
// C.<cite>\n<note>verify altitude" gives the segments "Water boils at 100 C"
// (cite), ".\n" (none) and "verify altitude" (note).
types::ParseResult parse(std::string_view text, const types::ParserConfig& config);

// Parses `text` under the default preset (`default_llm_friendly_config`), whose
// name tables are prepared once per process.
types::ParseResult parse(std::string_view text);

// The same parses with the segments kept as cuts into the text.
types::CompactResult parse_compact(std::string_view text, const types::ParserConfig& config);
types::CompactResult parse_compact(std::string_view text);

}  // namespace parser
