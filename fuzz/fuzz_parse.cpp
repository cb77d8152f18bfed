// Fuzzes the parse the Python binding runs, in every form of text: a
// configuration drawn from the first bytes, the rest parsed as UTF-8 text
// (any bytes, not only UTF-8), every result checked; then the same text,
// made valid, parsed as one, two and four bytes per character must give
// exactly what its UTF-8 parse gives; and every level of vector code the
// processor has (plain loops, SSE2, AVX2) must give the same results.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "text/text_runs.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tagmire_fuzz;
  const std::size_t header = size < kConfigBytes ? size : kConfigBytes;
  FuzzedDataProvider options(data, header);
  const types::ParserConfig config = draw_config(options);
  const std::string_view text(reinterpret_cast<const char*>(data) + header, size - header);

  const types::CompactResult compact = parser::parse_compact(text, config);
  check(tagmire_checks::check_records(compact, text), text);
  const types::ParseResult result = parser::parse(text, config);
  check(tagmire_checks::check_result(result, text, config), text);
  // The default preset has tables prepared once per process; they must give
  // what a fresh preset gives.
  if (config == types::ParserConfig::default_llm_friendly_config() && !(parser::parse(text) == result)) {
    fail("parse(text) differs from parse(text, default preset)", text);
  }
  const std::string valid = valid_utf8(text);
  const types::ParseResult valid_result = parser::parse(valid, config);
  check(tagmire_checks::check_forms(valid, config, valid_result), valid);
  for (const text::SimdLevel level : {text::SimdLevel::kScalar, text::SimdLevel::kSse2, text::SimdLevel::kNeon}) {
    if (text::use_simd_level(level) != level) continue;
    if (!(parser::parse(text, config) == result)) fail("a lower level of vector code parses differently", text);
    check(tagmire_checks::check_forms(valid, config, valid_result), valid);
  }
  text::use_simd_level(text::best_simd_level());
  return 0;
}
