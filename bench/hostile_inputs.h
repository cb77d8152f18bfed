// Families of inputs built to make a naive parser quadratic, each with the
// configuration that exposes it. Shared by the scaling run and the core
// benchmarks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "types/parser_config.h"

namespace bench {

struct HostileFamily {
  const char* name;
  // An input of about `bytes` bytes.
  std::function<std::string(std::size_t bytes)> make;
  types::ParserConfig config;
};

inline std::string repeat_times(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

inline std::string repeat(const std::string& piece, std::size_t bytes) {
  std::string out;
  out.reserve(bytes + piece.size());
  while (out.size() < bytes) out += piece;
  return out;
}

inline types::ParserConfig no_autoclose(types::RecoveryStrategy strategy) {
  types::ParserConfig config = types::ParserConfig::default_llm_friendly_config();
  config.autoclose_on_any_tag = false;
  config.autoclose_on_same_tag = false;
  for (auto& entry : config.recovery_strategies) entry.second = strategy;
  return config;
}

inline std::vector<HostileFamily> hostile_families() {
  using types::ParserConfig;
  using types::RecoveryStrategy;
  const ParserConfig defaults = ParserConfig::default_llm_friendly_config();
  ParserConfig many_names = defaults;
  many_names.autoclose_on_any_tag = false;
  for (int i = 0; i < 5000; ++i) many_names.recognized_tags.insert(std::string("t").append(std::to_string(i)));
  return {
      {"lt_without_gt", [](std::size_t n) { return repeat("<", n); }, defaults},
      {"lt_space_without_gt", [](std::size_t n) { return repeat("< ", n); }, defaults},
      {"lt_name_without_gt", [](std::size_t n) { return repeat("<a ", n); }, defaults},
      {"lt_before_distant_gt", [](std::size_t n) { return repeat("< ", n) + ">"; }, defaults},
      {"lt_before_far_slash_gt",
       [](std::size_t n) { return repeat("<", n / 2) + std::string(n / 2, ' ') + "/>"; }, defaults},
      {"open_then_unmatched_close",
       [](std::size_t n) { return repeat("<note>", n / 2) + repeat("</todo>", n / 2); },
       no_autoclose(RecoveryStrategy::forward_until_tag)},
      {"forward_tags_one_line",
       [](std::size_t n) { return repeat("<note>", n / 2) + std::string(n / 2, 'a'); },
       no_autoclose(RecoveryStrategy::forward_until_tag)},
      {"next_token_no_letters",
       [](std::size_t n) { return repeat("<note>", n / 2) + std::string(n / 2, '-') + "a"; },
       no_autoclose(RecoveryStrategy::forward_next_token)},
      {"next_token_long_run",
       [](std::size_t n) { return repeat("<note>", n / 2) + std::string(n / 2, 'a'); },
       no_autoclose(RecoveryStrategy::forward_next_token)},
      {"retro_tags_after_spaces", [](std::size_t n) { return std::string("a").append(repeat(" <cite>", n)); }, defaults},
      {"forward_tags_in_spaces", [](std::size_t n) { return repeat("<note> ", n) + "a"; },
       no_autoclose(RecoveryStrategy::forward_until_tag)},
      {"disjoint_spans", [](std::size_t n) { return repeat("<note>x</note>", n); }, defaults},
      // Nesting depth is bounded: unbounded nesting makes the output itself
      // (every segment listing every enclosing span) grow with n squared.
      {"nested_spans", [](std::size_t n) { return repeat(repeat_times("<note>x", 16) + repeat_times("</note>", 16), n); },
       no_autoclose(RecoveryStrategy::noop)},
      // Every tag closes its namesake 5,000 tags deep. No text lies between
      // them: text there would be covered by 5,000 spans, so the output
      // itself would grow with the depth.
      {"distinct_names_same_tag_autoclose",
       [](std::size_t n) {
         std::string s;
         for (int i = 0; s.size() < n; i = (i + 1) % 5000) s.append("<t").append(std::to_string(i)).append(">");
         return s.append("w");
       },
       many_names},
      {"many_attributes",
       [](std::size_t n) {
         std::string s = "<note";
         for (int i = 0; s.size() < n; ++i) s.append(" k").append(std::to_string(i)).append("=v");
         return s + ">x";
       },
       defaults},
  };
}

}  // namespace bench
