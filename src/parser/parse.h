// The parser's entry points: any text and configuration in, a complete parse
// result out. They never fail and never reject input.
#pragma once

#include <string_view>

#include "parser/output_buffer.h"
#include "parser/tag_table.h"
#include "text/encoding.h"
#include "types/compact_result.h"
#include "types/parse_records.h"
#include "types/parse_result.h"
#include "types/parser_config.h"

namespace parser {

// Parses UTF-8 `text` under `config` (read only). Example: with the default
// preset, "Water boils at 100 C.<cite>\n<note>verify altitude" gives the
// segments "Water boils at 100 C" (cite), ".\n" (none) and "verify
// altitude" (note).
types::ParseResult parse(std::string_view text, const types::ParserConfig& config);
// The same under the default preset, whose tables are prepared once.
types::ParseResult parse(std::string_view text);

// The same parses with the segments kept as cuts into the text and each
// annotation stored once.
types::CompactResult parse_compact(std::string_view text, const PreparedConfig& config);
types::CompactResult parse_compact(std::string_view text, const types::ParserConfig& config);
types::CompactResult parse_compact(std::string_view text);

// Parses `input` in any form, writing the text to `out`, which must have
// room for `input.size` units (the text is never longer than the input).
// The one parse every entry point runs; reuses a per-thread workspace.
template <class Form>
types::ParseRecords parse_into(const text::TextView<Form>& input, const PreparedConfig& config,
                               OutputBuffer<typename Form::Unit>& out);

}  // namespace parser
