// Fuzzes parser::parse against the plain reference parser of the core tests:
// for any configuration and UTF-8 text, both must give the same result. The
// reference is quadratic, so runs keep inputs short (-max_len).
//
// Invalid bytes are replaced first: what they mean is not defined, and the
// two parsers may read them differently where removing a tag joins stray
// bytes into one character (`\xe6<e>\x8b\x9a`).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "reference_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tagmire_fuzz;
  const std::size_t header = size < kConfigBytes ? size : kConfigBytes;
  FuzzedDataProvider options(data, header);
  const types::ParserConfig config = draw_config(options);
  const std::string text =
      valid_utf8(std::string_view(reinterpret_cast<const char*>(data) + header, size - header));

  const types::ParseResult result = parser::parse(text, config);
  check(tagmire_checks::check_result(result, text, config), text);
  if (!(result == reference::parse(text, config))) {
    fail("the parser and the reference parser disagree", text);
  }
  return 0;
}
