// Shared by the fuzz targets: the configuration drawn from the first bytes of
// an input, and failing with a message. The checks themselves are those of
// the core's property test (tests/cpp/checks.h).
//
// An input is a header of kConfigBytes bytes followed by the text to parse.
// An all-zero header means the default preset unchanged, so a seed is just
// NUL bytes in front of ordinary Tagmire text (fuzz/make_corpus.py).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "checks.h"

namespace tagmire_fuzz {

inline constexpr std::size_t kConfigBytes = 12;

// The configuration the header of an input asks for. FuzzedDataProvider
// reads its choices from the header's last byte backwards.
inline types::ParserConfig draw_config(FuzzedDataProvider& options) {
  return tagmire_checks::draw_config([&](int n) { return options.ConsumeIntegralInRange<int>(0, n - 1); });
}

[[noreturn]] inline void fail(const std::string& what, std::string_view input) {
  std::fprintf(stderr, "invariant broken: %s\ninput (%zu bytes): %.*s\n", what.c_str(), input.size(),
               static_cast<int>(input.size() > 400 ? 400 : input.size()), input.data());
  std::abort();
}

inline void check(const std::string& wrong, std::string_view input) {
  if (!wrong.empty()) fail(wrong, input);
}

// `text` with every byte that begins no character replaced by U+FFFD: what
// Python could have passed.
inline std::string valid_utf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t len = 1;
    while (len <= 4 && i + len <= text.size() && !tagmire_checks::is_valid_utf8(text.substr(i, len))) ++len;
    if (len > 4 || i + len > text.size()) {
      valid += "\xEF\xBF\xBD";
      ++i;
    } else {
      valid.append(text.substr(i, len));
      i += len;
    }
  }
  return valid;
}

}  // namespace tagmire_fuzz
