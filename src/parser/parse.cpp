#include "parser/parse.h"

#include <memory>

#include "parser/parser.h"

namespace parser {

template <class Form>
types::ParseRecords parse_into(const text::TextView<Form>& input, const PreparedConfig& config,
                               OutputBuffer<typename Form::Unit>& out) {
  // One workspace per thread and form: parses on one thread run one after
  // another, and the storage a parse grows serves the next.
  thread_local Parser<Form> parser;
  parser.start(config, out);
  parser.walk(input);
  return parser.finish();
}

#define TAGMIRE_INSTANTIATE(Form)                                                                              \
  template types::ParseRecords parse_into<Form>(const text::TextView<Form>&, const PreparedConfig&, \
                                                OutputBuffer<typename Form::Unit>&);
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

types::CompactResult parse_compact(std::string_view text, const PreparedConfig& config) {
  types::CompactResult result;
  result.text_buffer.reset(new char[text.size()]);
  OutputBuffer<char> out;
  out.data = result.text_buffer.get();
  out.capacity = text.size();
  result.records = parse_into(text::TextView<text::Utf8>{text.data(), text.size()}, config, out);
  result.text_size = out.size;
  return result;
}

types::CompactResult parse_compact(std::string_view text, const types::ParserConfig& config) {
  const PreparedConfig prepared(config);
  return parse_compact(text, prepared);
}

types::CompactResult parse_compact(std::string_view text) { return parse_compact(text, default_prepared_config()); }

types::ParseResult parse(std::string_view text, const types::ParserConfig& config) {
  return parse_compact(text, config).expand();
}

types::ParseResult parse(std::string_view text) { return parse_compact(text).expand(); }

}  // namespace parser
