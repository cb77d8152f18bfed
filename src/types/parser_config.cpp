#include "types/parser_config.h"

#include <algorithm>

namespace types {

ParserConfig ParserConfig::default_cite_config() {
  ParserConfig config;
  config.recognized_tags = {"cite"};
  config.recovery_strategies = {{"cite", RecoveryStrategy::retro_line}};
  return config;
}

ParserConfig ParserConfig::default_llm_friendly_config() {
  ParserConfig config = default_cite_config();
  for (const char* name : {"note", "todo", "claim", "risk", "code"}) {
    config.recognized_tags.insert(name);
    config.recovery_strategies.set(name, RecoveryStrategy::forward_until_tag);
  }
  return config;
}

const char* keyword(RecoveryStrategy strategy) {
  switch (strategy) {
    case RecoveryStrategy::retro_line: return "retro_line";
    case RecoveryStrategy::forward_until_tag: return "forward_until_tag";
    case RecoveryStrategy::forward_until_newline: return "forward_until_newline";
    case RecoveryStrategy::forward_next_token: return "forward_next_token";
    case RecoveryStrategy::noop: return "noop";
  }
  return "";
}

const char* keyword(UnknownTagMode mode) {
  switch (mode) {
    case UnknownTagMode::strip: return "strip";
    case UnknownTagMode::passthrough: return "passthrough";
    case UnknownTagMode::treat_as_text: return "treat_as_text";
  }
  return "";
}

namespace {

template <class Enum, std::size_t N>
std::optional<Enum> named(std::string_view word, const std::array<Enum, N>& variants) {
  for (const Enum variant : variants) {
    if (word == keyword(variant)) return variant;
  }
  return std::nullopt;
}

}  // namespace

std::optional<RecoveryStrategy> recovery_strategy_named(std::string_view word) {
  return named(word, kRecoveryStrategies);
}

std::optional<UnknownTagMode> unknown_mode_named(std::string_view word) { return named(word, kUnknownTagModes); }

StrategyTable::StrategyTable(std::initializer_list<Entry> entries) {
  for (const auto& [tag, strategy] : entries) set(tag, strategy);
}

void StrategyTable::set(std::string_view tag, RecoveryStrategy strategy) {
  const auto [found, added] = index_.try_emplace(std::string(tag), slots_.size());
  if (!added) {
    slots_[found->second].reset();
    found->second = slots_.size();
  }
  slots_.emplace_back(Entry{found->first, strategy});
  if (slots_.size() >= 16 && slots_.size() > 2 * index_.size()) {
    // Compact, keeping the order; every name's slot moves down.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (!slots_[i]) continue;
      index_[slots_[i]->first] = kept;
      if (kept != i) slots_[kept] = std::move(slots_[i]);
      ++kept;
    }
    slots_.resize(kept);
  }
}

void StrategyTable::clear() {
  slots_.clear();
  index_.clear();
}

std::optional<RecoveryStrategy> StrategyTable::find(std::string_view tag) const {
  const auto found = index_.find(std::string(tag));
  if (found == index_.end()) return std::nullopt;
  return slots_[found->second]->second;
}

std::vector<StrategyTable::Entry> StrategyTable::entries() const {
  std::vector<Entry> out;
  out.reserve(index_.size());
  for_each([&](const std::string& tag, RecoveryStrategy strategy) { out.emplace_back(tag, strategy); });
  return out;
}

}  // namespace types
