// Shared by the fuzz targets: the configuration drawn from the first bytes of
// an input, and the checks every parse result must pass.
//
// An input is a header of kConfigBytes bytes followed by the text to parse.
// An all-zero header means the default preset unchanged, so a seed is just
// twelve NUL bytes in front of ordinary Tagmire text (fuzz/make_corpus.py).
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

#include "parser/parse.h"
#include "types/compact_result.h"
#include "types/parse_result.h"
#include "types/parser_config.h"

namespace tagmire_fuzz {

inline constexpr std::size_t kConfigBytes = 12;

// Names a mutation meets easily, in both cases, plus names no scanned tag can
// ever have (a space, a non-ASCII letter, a leading digit, the empty name).
inline constexpr const char* kNames[] = {"cite", "note", "a",     "b",  "Cite",      "NOTE",
                                         "A",    "x-y",  "x y",   "\xc3\xa9", "1a", ""};
inline constexpr std::size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);

// Header layout, read by FuzzedDataProvider from its last byte backwards:
//   preset (0 default, 1 cite, 2 nothing recognised), unknown-mode offset,
//   flag flips (bit 0 any-tag auto-close, 1 same-tag auto-close, 2 trimming,
//   3 case sensitivity), a 16-bit mask of kNames to recognise as well, and
//   3 bits per name of kNames for a strategy (0 none, 1..5 the strategy
//   plus one, 6 and 7 none). Zero everywhere leaves the preset as it is.
inline types::ParserConfig draw_config(FuzzedDataProvider& options) {
  using types::ParserConfig;
  ParserConfig config;
  switch (options.ConsumeIntegralInRange<int>(0, 2)) {
    case 0: config = ParserConfig::default_llm_friendly_config(); break;
    case 1: config = ParserConfig::default_cite_config(); break;
    default: config = ParserConfig::default_cite_config(), config.recognized_tags.clear(),
             config.recovery_strategies.clear();
  }
  const int mode = (static_cast<int>(config.unknown_mode) + options.ConsumeIntegralInRange<int>(0, 2)) % 3;
  config.unknown_mode = static_cast<types::UnknownTagMode>(mode);
  const auto flips = options.ConsumeIntegral<std::uint8_t>();
  config.autoclose_on_any_tag ^= (flips & 1) != 0;
  config.autoclose_on_same_tag ^= (flips & 2) != 0;
  config.trim_punctuation ^= (flips & 4) != 0;
  config.case_sensitive_tags ^= (flips & 8) != 0;
  const auto mask = options.ConsumeIntegral<std::uint16_t>();
  for (std::size_t i = 0; i < kNameCount; ++i) {
    if (mask & (1u << i)) config.recognized_tags.insert(kNames[i]);
  }
  auto strategies = options.ConsumeIntegral<std::uint64_t>();
  for (std::size_t i = 0; i < kNameCount && strategies != 0; ++i, strategies >>= 3) {
    const unsigned choice = strategies & 7;
    if (choice >= 1 && choice <= 5) {
      config.recovery_strategies[kNames[i]] = static_cast<types::RecoveryStrategy>(choice - 1);
    }
  }
  return config;
}

[[noreturn]] inline void fail(const char* what, std::string_view input) {
  std::fprintf(stderr, "invariant broken: %s\ninput (%zu bytes): %.*s\n", what, input.size(),
               static_cast<int>(input.size() > 400 ? 400 : input.size()), input.data());
  std::abort();
}

inline bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the UTF-8 character at `i`, or 0 where none begins. Strict,
// as Python is: no overlong forms, no surrogates, nothing past U+10FFFF.
inline std::size_t utf8_length_at(std::string_view text, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(text[i]);
  std::size_t len;
  char32_t cp;
  if (b0 < 0x80) {
    return 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (text.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(text[i + k]);
    if (!is_continuation(b)) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

inline bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = utf8_length_at(text, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// `text` with every byte that begins no character replaced by U+FFFD: what
// Python could have passed.
inline std::string valid_utf8(std::string_view text) {
  std::string valid;
  valid.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len = utf8_length_at(text, i);
    if (len == 0) {
      valid += "\xEF\xBF\xBD";
      ++i;
    } else {
      valid.append(text.substr(i, len));
      i += len;
    }
  }
  return valid;
}

inline bool on_char_boundary(std::string_view text, std::size_t pos) {
  return pos == text.size() || !is_continuation(static_cast<unsigned char>(text[pos]));
}

inline bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == ':' || c == '_';
}

inline std::string folded(std::string_view name, const types::ParserConfig& config) {
  std::string key(name);
  if (!config.case_sensitive_tags) {
    for (char& c : key) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return key;
}

// Everything the Python binding relies on when it turns a result into str
// objects and ints, plus what follows from the rules for any input: the
// output never outgrows the input, and every annotation comes from a
// recognised tag.
inline void check_result(const types::ParseResult& result, std::string_view input,
                         const types::ParserConfig& config) {
  const bool utf8 = is_valid_utf8(input);
  const std::string& text = result.text;
  if (text.size() > input.size()) fail("the text is longer than the input", input);
  if (text.empty() && !result.segments.empty()) fail("segments of an empty text", input);
  if (utf8 && !is_valid_utf8(text)) fail("the text of valid UTF-8 input is not valid UTF-8", input);

  std::unordered_set<std::string> recognised;
  for (const std::string& name : config.recognized_tags) recognised.insert(folded(name, config));
  const auto check_annotation = [&](const types::Annotation& annotation) {
    const std::string& tag = annotation.tag;
    if (tag.empty() || !((tag[0] | 0x20) >= 'a' && (tag[0] | 0x20) <= 'z')) fail("a tag name without a letter first", input);
    for (char c : tag) {
      if (!is_name_char(c)) fail("a tag name with a character that is not a name character", input);
    }
    if (recognised.count(folded(tag, config)) == 0) fail("an annotation from a tag that is not recognised", input);
    std::unordered_set<std::string_view> keys;
    for (const auto& [key, value] : annotation.attrs) {
      if (key.empty()) fail("an empty attribute key", input);
      for (char c : key) {
        if (!is_name_char(c)) fail("an attribute key with a character that is not a name character", input);
      }
      if (!keys.insert(key).second) fail("an attribute key listed twice", input);
      if (utf8 && value.kind() == types::AttrValue::Kind::Str && !is_valid_utf8(value.as_str())) {
        fail("an attribute value of valid UTF-8 input is not valid UTF-8", input);
      }
    }
  };

  std::size_t joined = 0;
  for (const types::Segment& segment : result.segments) {
    if (segment.text.empty()) fail("an empty segment", input);
    if (text.compare(joined, segment.text.size(), segment.text) != 0) fail("segments do not join to the text", input);
    if (utf8 && !on_char_boundary(text, joined)) fail("a segment starts inside a character", input);
    joined += segment.text.size();
    for (const types::Annotation& annotation : segment.annotations) check_annotation(annotation);
  }
  if (joined != text.size()) fail("segments do not cover the text", input);

  std::uint64_t previous = 0;
  std::size_t tags = 0;
  for (char c : input) tags += c == '<';
  if (result.markers.size() > tags) fail("more markers than `<` in the input", input);
  for (const types::Marker& marker : result.markers) {
    if (marker.pos < previous) fail("marker positions decrease", input);
    if (marker.pos > text.size()) fail("a marker lies past the end of the text", input);
    if (utf8 && !on_char_boundary(text, marker.pos)) fail("a marker lies inside a character", input);
    check_annotation(marker.annotation);
    previous = marker.pos;
  }
}

// The compact form the Python binding keeps: cuts that tile the text, and
// index ranges that stay inside their vectors, since the binding reads
// them without checking.
inline void check_compact(const types::CompactResult& result, std::string_view input) {
  std::size_t end = 0;
  std::size_t covered = 0;
  for (const types::SegmentCut& cut : result.segments) {
    if (cut.start != end || cut.end <= cut.start) fail("segment cuts do not tile the text", input);
    if (cut.first != covered || cut.count > result.covering.size() - cut.first) {
      fail("a segment's annotations lie outside `covering`", input);
    }
    for (std::size_t k = 0; k < cut.count; ++k) {
      const std::size_t span = result.covering[cut.first + k];
      if (span >= result.annotations.size()) fail("a covering index past the annotations", input);
      if (k > 0 && span <= result.covering[cut.first + k - 1]) fail("covering spans out of recording order", input);
    }
    end = cut.end;
    covered += cut.count;
  }
  if (end != result.text.size() || covered != result.covering.size()) fail("segment cuts do not cover the text", input);
}

}  // namespace tagmire_fuzz
