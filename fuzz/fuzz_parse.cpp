// Fuzzes parser::parse_compact, which the Python binding calls, and its
// expansion into the result parser::parse returns: a configuration drawn
// from the first bytes, the rest parsed as text (any bytes, not only UTF-8),
// and every result checked.
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

  types::CompactResult compact = parser::parse_compact(text, config);
  check_compact(compact, text);
  // The default preset has tables prepared once per process; they must give
  // what a fresh preset gives.
  if (config == types::ParserConfig::default_llm_friendly_config()) {
    const types::CompactResult shared = parser::parse_compact(text);
    if (shared.text != compact.text || shared.segments != compact.segments || shared.covering != compact.covering ||
        shared.annotations != compact.annotations || shared.markers != compact.markers) {
      fail("parse_compact(text) differs from parse_compact(text, default preset)", text);
    }
  }
  check_result(std::move(compact).expand(), text, config);
  return 0;
}
