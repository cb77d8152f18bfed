// Fuzzes the streaming parser: a configuration and cut points drawn from
// the first bytes, the rest made valid UTF-8 and fed in pieces cut at those
// points (inside tags, CDATA sections, characters); the settled runs,
// joined, must equal the one-shot parse.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tagmire_fuzz;
  const std::size_t header = size < kConfigBytes ? size : kConfigBytes;
  FuzzedDataProvider options(data, header);
  const types::ParserConfig config = draw_config(options);
  const std::string text = valid_utf8(std::string_view(reinterpret_cast<const char*>(data) + header, size - header));
  // Cut points: every byte of the text is one with a chance that the text's
  // own bytes decide, so a mutation moves them.
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i - 1]) * 31u + i) % 5 == 0) cuts.push_back(i);
  }
  check(tagmire_checks::check_stream(text, config, cuts, parser::parse(text, config)), text);
  return 0;
}
