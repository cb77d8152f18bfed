// The configuration as one parse reads it: the recognised names, numbered
// as keys, with each key's recovery strategy, and the switches. Built once
// per configuration rather than per tag, and the only place names are
// folded: a scanned name is looked up as written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "parser/name_key.h"
#include "text/classes.h"
#include "types/parser_config.h"

namespace parser {

// A recognised (folded) name, interned: keys are 0, 1, 2, ...
using TagKey = std::uint32_t;

class TagTable {
 public:
  explicit TagTable(const types::ParserConfig& config);

  // The key of the scanned name `name[0, length)` (ASCII name characters in
  // code units of any form) whose key the scanner computed, or nothing when
  // it is not recognised.
  template <class Unit>
  std::optional<TagKey> find(const Unit* name, std::size_t length, const NameKey& name_key) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = name_key.finished_hash(length) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
      const Entry& entry = entries_[slots_[slot] - 1];
      if (entry.folded_prefix != name_key.folded_prefix || entry.name.size() != length) continue;
      if ((length <= 8 && !case_sensitive_) || same_name(entry.name, name, length)) return slots_[slot] - 1;
    }
    return std::nullopt;
  }

  types::RecoveryStrategy strategy(TagKey key) const { return entries_[key].strategy; }
  std::size_t size() const { return entries_.size(); }
  // Whether some recognised name recovers by retro_line, so that a tag
  // still to come may annotate text before it on its line.
  bool any_retro_line() const { return any_retro_line_; }

 private:
  struct Entry {
    std::string name;  // folded unless tags are case-sensitive
    std::uint64_t folded_prefix = 0;
    types::RecoveryStrategy strategy = types::RecoveryStrategy::retro_line;
  };

  template <class Unit>
  bool same_name(const std::string& stored, const Unit* name, std::size_t length) const {
    for (std::size_t i = 0; i < length; ++i) {
      const std::uint32_t c = text::code_of(name[i]);
      if (text::code_of(stored[i]) != (case_sensitive_ ? c : text::fold_unit(c))) return false;
    }
    return true;
  }
  std::optional<TagKey> find_configured(const std::string& name) const;
  void insert(std::string name);

  bool case_sensitive_;
  bool any_retro_line_ = false;
  std::vector<Entry> entries_;  // indexed by key
  std::vector<TagKey> slots_;   // key + 1, or 0 when empty
};

// Everything a parse reads of its configuration.
struct PreparedConfig {
  explicit PreparedConfig(const types::ParserConfig& config)
      : tags(config),
        unknown_mode(config.unknown_mode),
        autoclose_on_any_tag(config.autoclose_on_any_tag),
        autoclose_on_same_tag(config.autoclose_on_same_tag),
        trim_punctuation(config.trim_punctuation),
        provisional_autoclose(config.provisional_autoclose && config.autoclose_on_any_tag),
        retro_line_split(config.retro_line_split),
        token_clusters(config.token_clusters) {}

  TagTable tags;
  types::UnknownTagMode unknown_mode;
  bool autoclose_on_any_tag;
  bool autoclose_on_same_tag;
  bool trim_punctuation;
  bool provisional_autoclose;
  bool retro_line_split;
  bool token_clusters;
};

// The default preset, prepared once for the process: it never changes.
const PreparedConfig& default_prepared_config();

}  // namespace parser
