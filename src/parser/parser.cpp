#include "parser/parser.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "parser/text_classes.h"
#include "parser/utf8.h"

namespace parser {

TagTable::TagTable(const types::ParserConfig& config) {
  const auto prepare = [&](const std::string& name) {
    return config.case_sensitive_tags ? name : fold_ascii(name);
  };
  slots_.assign(std::bit_ceil(std::max<std::size_t>(16, 4 * config.recognized_tags.size())), 0);
  for (const std::string& name : config.recognized_tags) insert(prepare(name));
  strategies_.assign(names_.size(), types::RecoveryStrategy::retro_line);
  // Entries for names that are not recognised have no effect. When two keys
  // fold together, the one iterated last wins.
  for (const auto& [name, strategy] : config.recovery_strategies) {
    if (const auto key = find(prepare(name))) strategies_[*key] = strategy;
  }
}

// FNV-1a: names are short, and most lookups miss or hit on the first probe.
std::size_t TagTable::hash(std::string_view name) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : name) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

TagKey TagTable::insert(std::string name) {
  const std::size_t mask = slots_.size() - 1;
  std::size_t slot = hash(name) & mask;
  for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
    if (names_[slots_[slot] - 1] == name) return slots_[slot] - 1;  // folded together
  }
  names_.push_back(std::move(name));
  slots_[slot] = static_cast<TagKey>(names_.size());
  return slots_[slot] - 1;
}

std::optional<TagKey> TagTable::find(std::string_view name) const {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t slot = hash(name) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
    const TagKey key = slots_[slot] - 1;
    if (names_[key] == name) return key;
  }
  return std::nullopt;
}

void Parser::append_text(std::string_view piece) {
  if (piece.empty()) return;
  const std::size_t base = out.size();
  out.append(piece);
  if (const void* last = memrchr(piece.data(), '\n', piece.size())) {
    line_start = base + (static_cast<const char*>(last) - piece.data()) + 1;
    if (line_pending_from_ < stack.size()) {
      const auto* first = static_cast<const char*>(std::memchr(piece.data(), '\n', piece.size()));
      const std::size_t line_end = base + (first - piece.data());
      for (std::size_t i = line_pending_from_; i < stack.size(); ++i) stack[i].line_end = line_end;
      line_pending_from_ = stack.size();
    }
  }
  if (token_running_from_ < token_tags_.size()) track_tokens(base);
}

// Walks the new text only while some forward_next_token tag waits for its
// token to begin or to end; each tag moves through those states once.
void Parser::track_tokens(std::size_t from) {
  std::size_t pos = from;
  while (pos < out.size() && token_running_from_ < token_tags_.size()) {
    const utf8::Decoded d = utf8::decode_at(out, pos);
    if (unicode::is_alphanumeric(d.cp)) {
      for (std::size_t i = token_waiting_from_; i < token_tags_.size(); ++i) {
        stack[token_tags_[i]].token_begin = pos;
      }
      token_waiting_from_ = token_tags_.size();
    } else {
      for (std::size_t i = token_running_from_; i < token_waiting_from_; ++i) {
        stack[token_tags_[i]].token_end = pos;
      }
      token_running_from_ = token_waiting_from_;
    }
    pos += d.len;
  }
}

void Parser::open_tag(std::string_view name, TagKey key, types::AttrMap attrs) {
  maybe_autoclose_on_start_like(key);
  OpenTag tag;
  tag.name = std::string(name);
  tag.key = key;
  tag.attrs = std::move(attrs);
  tag.start = out.size();
  tag.line_start = line_start;
  tag.strategy = tags.strategy(key);
  stack.push_back(std::move(tag));
  open_by_key_[key].push_back(stack.size() - 1);
  if (stack.back().strategy == types::RecoveryStrategy::forward_next_token) {
    token_tags_.push_back(stack.size() - 1);
  }
}

void Parser::add_marker(std::string_view name, TagKey key, types::AttrMap attrs) {
  maybe_autoclose_on_start_like(key);
  markers.push_back(types::Marker{out.size(), types::Annotation{std::string(name), std::move(attrs)}});
}

OpenTag Parser::pop_top() {
  OpenTag tag = std::move(stack.back());
  stack.pop_back();
  open_by_key_[tag.key].pop_back();
  if (tag.strategy == types::RecoveryStrategy::forward_next_token) token_tags_.pop_back();
  line_pending_from_ = std::min(line_pending_from_, stack.size());
  token_waiting_from_ = std::min(token_waiting_from_, token_tags_.size());
  token_running_from_ = std::min(token_running_from_, token_tags_.size());
  return tag;
}

void Parser::close_explicit(OpenTag tag, std::size_t end) {
  if (tag.start >= end) return;
  spans.push_back(Span{tag.start, end, types::Annotation{std::move(tag.name), std::move(tag.attrs)}});
}

// Closes the entries above `index` by their strategies, topmost first, then
// the entry at `index` explicitly.
void Parser::close_down_to(std::size_t index, std::size_t pos) {
  while (stack.size() > index + 1) close_tag(pop_top(), pos);
  close_explicit(pop_top(), pos);
}

void Parser::close_by_key(TagKey key) {
  const std::vector<std::size_t>& open = open_by_key_[key];
  if (open.empty()) return;
  close_down_to(open.back(), out.size());
}

void Parser::maybe_autoclose_on_start_like(TagKey key) {
  const std::size_t pos = out.size();
  if (config.autoclose_on_same_tag && !open_by_key_[key].empty()) {
    close_down_to(open_by_key_[key].back(), pos);
  }
  if (config.autoclose_on_any_tag) {
    while (!stack.empty()) close_tag(pop_top(), pos);
  }
}

}  // namespace parser
