#include "parser/scanner.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <vector>

#include "parser/text_classes.h"

namespace parser {

namespace {

constexpr std::string_view kCdataOpen = "<![CDATA[";
constexpr std::string_view kCdataClose = "]]>";

// Collects attributes, the last occurrence of a key winning in the place of
// the first. A tag may carry any number of attributes, so past a handful the
// keys are found through an open-addressing index instead of a linear search.
class AttrMapBuilder {
 public:
  void insert(std::string_view key, types::AttrValue value) {
    if (const std::size_t i = find(key); i != kMissing) {
      attrs_[i].second = std::move(value);
      return;
    }
    attrs_.emplace_back(std::string(key), std::move(value));
    if (!slots_.empty() || attrs_.size() > kIndexFrom) index(attrs_.size() - 1);
  }

  types::AttrMap take() { return std::move(attrs_); }

 private:
  static constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
  static constexpr std::size_t kIndexFrom = 8;

  static std::size_t hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

  std::size_t find(std::string_view key) const {
    if (slots_.empty()) {
      for (std::size_t i = 0; i < attrs_.size(); ++i) {
        if (attrs_[i].first == key) return i;
      }
      return kMissing;
    }
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash(key) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
      if (attrs_[slots_[slot] - 1].first == key) return slots_[slot] - 1;
    }
    return kMissing;
  }

  // Adds attrs_[i] to the index, rebuilding it four times the size of the map
  // whenever it would be more than half full.
  void index(std::size_t i) {
    if (2 * attrs_.size() > slots_.size()) {
      slots_.assign(std::bit_ceil(std::max<std::size_t>(64, 4 * attrs_.size())), 0);
      for (std::size_t k = 0; k < attrs_.size(); ++k) place(k);
      return;
    }
    place(i);
  }

  void place(std::size_t i) {
    const std::size_t mask = slots_.size() - 1;
    std::size_t slot = hash(attrs_[i].first) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = i + 1;
  }

  types::AttrMap attrs_;
  std::vector<std::size_t> slots_;  // 0 = empty, else index into attrs_ plus 1
};

// The attribute grammar over input[pos, end): bare keys, `key=value`,
// `key="..."`, `key='...'`. It stops at the first thing that is not a key,
// keeping what it has read.
types::AttrMap read_attributes(std::string_view input, std::size_t pos, std::size_t end) {
  AttrMapBuilder attrs;
  while (true) {
    pos = skip_white_space(input, pos, end);
    std::size_t key_end = pos;
    while (key_end < end && is_name_char(input[key_end])) ++key_end;
    if (key_end == pos) break;
    const std::string_view key = input.substr(pos, key_end - pos);
    pos = skip_white_space(input, key_end, end);

    types::AttrValue value = types::AttrValue::boolean(true);
    if (pos < end && input[pos] == '=') {
      pos = skip_white_space(input, pos + 1, end);
      if (pos < end && (input[pos] == '"' || input[pos] == '\'')) {
        const char* close = static_cast<const char*>(
            std::memchr(input.data() + pos + 1, input[pos], end - pos - 1));
        const std::size_t value_end = close ? static_cast<std::size_t>(close - input.data()) : end;
        value = types::AttrValue::str(std::string(input.substr(pos + 1, value_end - pos - 1)));
        pos = close ? value_end + 1 : end;
      } else if (pos < end) {
        std::size_t value_end = pos;
        while (value_end < end && input[value_end] != '/' && input[value_end] != '>') {
          const std::size_t ws = white_space_len_at(input, value_end);
          if (ws != 0) break;
          value_end += utf8::decode_at(input, value_end).len;
        }
        value_end = std::min(value_end, end);
        // A value that begins with `/` takes everything that is left.
        if (value_end == pos) value_end = end;
        value = types::AttrValue::str(std::string(input.substr(pos, value_end - pos)));
        pos = value_end;
      }
    }
    attrs.insert(key, std::move(value));
  }
  return attrs.take();
}

}  // namespace

std::optional<CdataSection> scan_cdata(std::string_view input, std::size_t pos) {
  // Almost every `<` is a tag: one byte settles it before the full compare.
  if (pos + 1 >= input.size() || input[pos + 1] != '!') return std::nullopt;
  if (input.compare(pos, kCdataOpen.size(), kCdataOpen) != 0) return std::nullopt;
  const std::size_t begin = pos + kCdataOpen.size();
  const std::size_t close = input.find(kCdataClose, begin);
  if (close == std::string_view::npos) return CdataSection{begin, input.size(), input.size()};
  return CdataSection{begin, close, close + kCdataClose.size()};
}

std::size_t TagScanner::find_gt(std::size_t from) {
  if (gt_ != kNone && gt_ >= from) return gt_;
  if (gt_exhausted_ || from >= input_.size()) return kNone;
  const void* hit = std::memchr(input_.data() + from, '>', input_.size() - from);
  if (hit == nullptr) {
    gt_exhausted_ = true;
    return kNone;
  }
  gt_ = static_cast<const char*>(hit) - input_.data();
  return gt_;
}

std::size_t TagScanner::inner_end(std::size_t gt) {
  if (inner_end_gt_ != gt) {
    // Stops at the previous `>` at the latest, so each stretch is walked once.
    inner_end_ = skip_white_space_back(input_, gt, 0);
    inner_end_gt_ = gt;
  }
  return inner_end_;
}

std::optional<ScannedTag> TagScanner::scan(std::size_t pos) {
  const std::size_t gt = find_gt(pos + 1);
  if (gt == kNone || gt - pos < 2) return std::nullopt;

  // Decide "no tag" from the head alone: only a candidate that will become a
  // tag pays for reading up to its `>`.
  const std::size_t inner_begin = skip_white_space(input_, pos + 1, gt);
  if (inner_begin == gt) return std::nullopt;
  std::size_t end = inner_end(gt);
  TagKind kind = TagKind::Open;
  std::size_t name_begin = inner_begin;
  if (input_[inner_begin] == '/') {
    kind = TagKind::Close;
    name_begin = skip_white_space(input_, inner_begin + 1, end);
    if (name_begin == end) return std::nullopt;
  }
  if (!is_ascii_letter(input_[name_begin])) return std::nullopt;
  if (kind == TagKind::Open && input_[end - 1] == '/') {
    kind = TagKind::SelfClosing;
    end = skip_white_space_back(input_, end - 1, name_begin + 1);
  }

  std::size_t name_end = name_begin + 1;
  while (name_end < end && is_name_char(input_[name_end])) ++name_end;

  ScannedTag scanned;
  TagToken& token = scanned.token;
  token.raw = input_.substr(pos, gt + 1 - pos);
  token.name = input_.substr(name_begin, name_end - name_begin);
  token.key = case_sensitive_tags_ ? std::string(token.name) : fold_ascii(token.name);
  token.kind = kind;
  if (kind != TagKind::Close) token.attrs = read_attributes(input_, name_end, end);
  scanned.length = token.raw.size();
  return scanned;
}

std::optional<ScannedTag> scan_tag(std::string_view input, std::size_t pos,
                                   bool case_sensitive_tags) {
  return TagScanner(input, case_sensitive_tags).scan(pos);
}

}  // namespace parser
