#include "parser/parse.h"

#include <memory>

namespace parser {

template <class Form>
Parser<Form>& thread_parser() {
  thread_local Parser<Form> parser;
  return parser;
}

#define TAGMIRE_INSTANTIATE(Form) template Parser<Form>& thread_parser<Form>();
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
