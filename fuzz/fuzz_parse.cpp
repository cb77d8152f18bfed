// Fuzzes parser::parse: a configuration drawn from the first bytes, the rest
// parsed as text (any bytes, not only UTF-8), and every result checked.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tagmire_fuzz;
  const std::size_t header = size < kConfigBytes ? size : kConfigBytes;
  FuzzedDataProvider options(data, header);
  const types::ParserConfig config = draw_config(options);
  const std::string_view text(reinterpret_cast<const char*>(data) + header, size - header);

  const types::ParseResult result = parser::parse(text, config);
  check_result(result, text, config);
  // The default preset has tables prepared once per process; they must give
  // what a fresh preset gives.
  if (config == types::ParserConfig::default_llm_friendly_config() && !(parser::parse(text) == result)) {
    fail("parse(text) differs from parse(text, default preset)", text);
  }
  return 0;
}
