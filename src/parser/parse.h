// The parser's entry points: any text and configuration in, a complete parse
// result out. They never fail and never reject input.
#pragma once

#include <string_view>
#include <utility>

#include "parser/output_buffer.h"
#include "parser/parser.h"
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
// annotation kept as its tag's place in `text`, which must outlive the
// result.
types::CompactResult parse_compact(std::string_view text, const PreparedConfig& config);
types::CompactResult parse_compact(std::string_view text, const types::ParserConfig& config);
types::CompactResult parse_compact(std::string_view text);

// The calling thread's workspace for parses of `Form`: parses on one thread
// run one after another, and the storage a parse grows serves the next.
template <class Form>
Parser<Form>& thread_parser();

// The one parse of a whole text that every entry point runs (the module's
// parse, the package's, each row of a batch): `input` in any form, walked as
// a complete input in `workspace`, its text written to `out` (which needs
// room for `input.size` units: the text is never longer). The records'
// parts go to `use`, which must be done with them when it returns; its
// result is returned. The workspace's parse ends however `use` leaves.
template <class Form, class Use>
decltype(auto) parse_with(Parser<Form>& workspace, const text::TextView<Form>& input, const PreparedConfig& config,
                          OutputBuffer<typename Form::Unit>& out, Use&& use) {
  struct Ending {
    Parser<Form>& parser;
    ~Ending() { parser.end(); }
  } ending{workspace};
  ending.parser.start(config, out);
  ending.parser.see_input(input, true);
  ending.parser.test_short_input_for_surrogates();
  ending.parser.template walk<true>(0);
  return use(ending.parser.finish_parts());
}

// The same in the calling thread's workspace.
template <class Form, class Use>
decltype(auto) parse_with(const text::TextView<Form>& input, const PreparedConfig& config,
                          OutputBuffer<typename Form::Unit>& out, Use&& use) {
  return parse_with(thread_parser<Form>(), input, config, out, std::forward<Use>(use));
}

// The records of `input` packed on their own (a test's or a C++ caller's
// convenience; the bindings pack them into memory of their own). Their
// annotations are read in `input`.
template <class Form>
types::ParseRecords parse_into(const text::TextView<Form>& input, const PreparedConfig& config,
                               OutputBuffer<typename Form::Unit>& out) {
  return parse_with(input, config, out, [](const types::ParseRecords::Parts& parts) {
    return types::ParseRecords::pack(parts);
  });
}

}  // namespace parser
