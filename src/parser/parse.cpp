// The walk over the input: text runs and CDATA content are copied out, tags
// are scanned and dispatched.
#include "parser/parse.h"

#include <cstring>

#include "parser/parser.h"
#include "parser/scanner.h"

namespace parser {

namespace {

void dispatch(Parser& parser, TagToken& token) {
  const std::optional<TagKey> key = parser.tags.find(token.key);
  if (!key) {
    if (parser.config.unknown_mode != types::UnknownTagMode::strip) parser.append_text(token.raw);
    return;
  }
  switch (token.kind) {
    case TagKind::Open:
      parser.open_tag(token.name, *key, std::move(token.attrs));
      break;
    case TagKind::SelfClosing:
      parser.add_marker(token.name, *key, std::move(token.attrs));
      break;
    case TagKind::Close:
      parser.close_by_key(*key);
      break;
  }
}

types::CompactResult run(std::string_view input, const types::ParserConfig& config,
                       const TagTable& tags) {
  Parser parser(config, tags);
  // The output is never longer than the input: growing it step by step
  // would copy it again and again.
  parser.out.reserve(input.size());
  TagScanner scanner(input, config.case_sensitive_tags);
  std::size_t pos = 0;
  while (pos < input.size()) {
    if (input[pos] == '<') {
      if (const auto cdata = scan_cdata(input, pos)) {
        parser.append_text(input.substr(cdata->content_begin, cdata->content_end - cdata->content_begin));
        pos = cdata->next;
        continue;
      }
      if (auto tag = scanner.scan(pos)) {
        dispatch(parser, tag->token);
        pos += tag->length;
        continue;
      }
    }
    // A text run, which may begin with a `<` that began nothing.
    const void* next = std::memchr(input.data() + pos + 1, '<', input.size() - pos - 1);
    const std::size_t end = next ? static_cast<std::size_t>(static_cast<const char*>(next) - input.data())
                                 : input.size();
    parser.append_text(input.substr(pos, end - pos));
    pos = end;
  }
  return std::move(parser).finish();
}

}  // namespace

types::CompactResult parse_compact(std::string_view text, const types::ParserConfig& config) {
  const TagTable tags(config);
  return run(text, config, tags);
}

types::CompactResult parse_compact(std::string_view text) {
  // The default preset never changes, so its tables are prepared once.
  static const types::ParserConfig config = types::ParserConfig::default_llm_friendly_config();
  static const TagTable tags(config);
  return run(text, config, tags);
}

types::ParseResult parse(std::string_view text, const types::ParserConfig& config) {
  return parse_compact(text, config).expand();
}

types::ParseResult parse(std::string_view text) { return parse_compact(text).expand(); }

}  // namespace parser
