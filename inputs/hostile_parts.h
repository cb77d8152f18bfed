// The pieces that the generated hostile_inputs.h builds its families from:
// input parts sized as a share of the requested bytes, and configurations
// described as changes to the default preset. Each mirrors its namesake in
// inputs/hostile_families.py, which must build the same bytes.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "types/parser_config.h"

namespace bench {

struct HostileFamily {
  const char* name;
  // An input of about `bytes` bytes.
  std::function<std::string(std::size_t bytes)> make;
  types::ParserConfig config;
};

// One stretch of an input. `repeat`: the piece repeated until the part holds
// at least numerator/denominator of the bytes. `numbered`: prefix, i, suffix
// for i = 0, 1, ... (back to 0 at `wrap` unless it is 0), until the same.
// `literal`: the piece once.
struct Part {
  enum class Kind { repeat, numbered, literal } kind;
  std::string piece;
  std::string suffix;
  int wrap = 0;
  std::size_t numerator = 1;
  std::size_t denominator = 1;
};

inline Part repeat(std::string piece, std::size_t numerator, std::size_t denominator) {
  return {Part::Kind::repeat, std::move(piece), "", 0, numerator, denominator};
}

inline Part numbered(std::string prefix, std::string suffix, int wrap, std::size_t numerator,
                     std::size_t denominator) {
  return {Part::Kind::numbered, std::move(prefix), std::move(suffix), wrap, numerator, denominator};
}

inline Part literal(std::string text) { return {Part::Kind::literal, std::move(text), "", 0, 1, 1}; }

inline void append_part(std::string& out, const Part& part, std::size_t bytes) {
  if (part.kind == Part::Kind::literal) {
    out += part.piece;
    return;
  }
  const std::size_t want = bytes * part.numerator / part.denominator;
  const std::size_t begin = out.size();
  if (part.kind == Part::Kind::repeat) {
    while (out.size() - begin < want) out += part.piece;
    return;
  }
  for (int i = 0; out.size() - begin < want; i = part.wrap == 0 ? i + 1 : (i + 1) % part.wrap) {
    out.append(part.piece).append(std::to_string(i)).append(part.suffix);
  }
}

// The default preset with these changes.
struct ConfigChanges {
  bool autoclose_on_any_tag = true;
  bool autoclose_on_same_tag = true;
  // The package's reading rules.
  bool reading = false;
  // When set, every recognised name recovers by this strategy.
  std::optional<types::RecoveryStrategy> strategy;
  // Also recognise t0 ... t{numbered_tags - 1}.
  int numbered_tags = 0;
};

inline types::ParserConfig make_config(const ConfigChanges& changes) {
  types::ParserConfig config = types::ParserConfig::default_llm_friendly_config();
  config.autoclose_on_any_tag = changes.autoclose_on_any_tag;
  config.autoclose_on_same_tag = changes.autoclose_on_same_tag;
  for (int i = 0; i < changes.numbered_tags; ++i) {
    config.recognized_tags.insert(std::string("t").append(std::to_string(i)));
  }
  if (changes.strategy) {
    for (const std::string& tag : config.recognized_tags) config.recovery_strategies.set(tag, *changes.strategy);
  }
  config.provisional_autoclose = config.retro_line_split = config.token_clusters = changes.reading;
  return config;
}

inline HostileFamily family(const char* name, std::vector<Part> parts, const ConfigChanges& changes) {
  return {name,
          [parts = std::move(parts)](std::size_t bytes) {
            std::string out;
            for (const Part& part : parts) append_part(out, part, bytes);
            return out;
          },
          make_config(changes)};
}

inline std::uint32_t crc32(std::string_view data) {
  static const auto table = [] {
    std::array<std::uint32_t, 256> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  std::uint32_t c = 0xFFFFFFFFu;
  for (unsigned char b : data) c = table[(c ^ b) & 0xFF] ^ (c >> 8);
  return c ^ 0xFFFFFFFFu;
}

// The configuration as hostile_families.Config.description() writes it: the
// switches, how many names are recognised, and a CRC-32 of every recognised
// name with the strategy it recovers by.
inline std::string describe(const types::ParserConfig& config) {
  std::vector<std::string> tags(config.recognized_tags.begin(), config.recognized_tags.end());
  std::sort(tags.begin(), tags.end());
  std::string names;
  for (const std::string& tag : tags) {
    const auto strategy = config.recovery_strategies.find(tag);
    if (!names.empty()) names += ',';
    names.append(tag).append("=").append(types::keyword(strategy.value_or(types::RecoveryStrategy::retro_line)));
  }
  char line[112];
  std::snprintf(line, sizeof line, "any=%d same=%d tags=%zu strategies=%08x%s", config.autoclose_on_any_tag ? 1 : 0,
                config.autoclose_on_same_tag ? 1 : 0, tags.size(), crc32(names),
                config.provisional_autoclose ? " reading=1" : "");
  return line;
}

}  // namespace bench
