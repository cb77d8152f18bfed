#include "parser/tag_table.h"

#include <algorithm>
#include <bit>

namespace parser {

namespace {

// Only a name the scanner can produce can ever match: an ASCII letter, then
// name characters. Others stay out of the table.
bool could_match(const std::string& name) {
  return !name.empty() && text::is_ascii_letter(text::code_of(name[0])) &&
         std::all_of(name.begin(), name.end(), [](char c) { return text::is_name_unit(c); });
}

}  // namespace

TagTable::TagTable(const types::ParserConfig& config) : case_sensitive_(config.case_sensitive_tags) {
  const auto prepare_name = [&](const std::string& name) {
    return case_sensitive_ ? name : text::fold_ascii(name);
  };
  slots_.assign(std::bit_ceil(std::max<std::size_t>(16, 4 * config.recognized_tags.size())), 0);
  for (const std::string& name : config.recognized_tags) {
    if (could_match(name)) insert(prepare_name(name));
  }
  // Entries for names that are not recognised have no effect. The table
  // lists entries in the order they were set, so when two names fold
  // together the one set last wins.
  config.recovery_strategies.for_each([&](const std::string& name, types::RecoveryStrategy strategy) {
    if (!could_match(name)) return;
    if (const auto key = find_configured(prepare_name(name))) entries_[*key].strategy = strategy;
  });
  any_retro_line_ = std::any_of(entries_.begin(), entries_.end(), [](const Entry& entry) {
    return entry.strategy == types::RecoveryStrategy::retro_line;
  });
}

std::optional<TagKey> TagTable::find_configured(const std::string& name) const {
  return find(name.data(), name.size(), name_key(name.data(), name.size()));
}

void TagTable::insert(std::string name) {
  if (find_configured(name)) return;  // folded together
  const NameKey key = name_key(name.data(), name.size());
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = key.finished_hash(name.size()) & mask;
  while (slots_[slot] != 0) slot = (slot + 1) & mask;
  entries_.push_back(Entry{std::move(name), key.folded_prefix, types::RecoveryStrategy::retro_line});
  slots_[slot] = static_cast<TagKey>(entries_.size());
}

const PreparedConfig& default_prepared_config() {
  static const PreparedConfig prepared(types::ParserConfig::default_llm_friendly_config());
  return prepared;
}

}  // namespace parser
