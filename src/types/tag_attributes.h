// The attribute grammar over the text of one tag: bare keys, `key=value`,
// `key="..."` and `key='...'`, read up to the first thing that is not a
// key. Annotations keep the text of their tag and are read through this
// whenever they are read, so a parse never reads attributes itself.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "text/classes.h"
#include "text/encoding.h"
#include "text/platform.h"
#include "text/search.h"
#include "util/pod_vector.h"

namespace types {

// One attribute as read: the key is [key_begin, key_end); a key written
// without a value has no value range.
struct ScannedAttribute {
  std::size_t key_begin = 0;
  std::size_t key_end = 0;
  std::size_t value_begin = 0;
  std::size_t value_end = 0;
  bool has_value = false;
};

// The attributes of a tag, each key once: the last occurrence of a key wins,
// in the place of the first. A handful fit in the list itself; a tag may
// carry any number.
class AttributeList {
 public:
  // Reads [from, end) of `text` by the grammar.
  template <class Form>
  void read(const text::TextView<Form>& text, std::size_t from, std::size_t end);

  std::size_t size() const { return size_; }
  const ScannedAttribute& operator[](std::size_t k) const { return data()[k]; }

 private:
  static constexpr std::size_t kFew = 8;

  const ScannedAttribute* data() const { return spilled_ ? more_.data() : few_; }
  ScannedAttribute* data() { return spilled_ ? more_.data() : few_; }
  void push(const ScannedAttribute& a) {
    if (!spilled_ && size_ < kFew) {
      few_[size_++] = a;
      return;
    }
    if (!spilled_) {
      more_.clear();
      for (std::size_t k = 0; k < size_; ++k) more_.push_back(few_[k]);
      spilled_ = true;
    }
    more_.push_back(a);
    ++size_;
  }
  template <class Form>
  void remove_repeated_keys(const text::TextView<Form>& text);

  ScannedAttribute few_[kFew];
  util::PodVector<ScannedAttribute> more_;  // all of them, once past kFew
  std::size_t size_ = 0;
  bool spilled_ = false;
};

namespace detail {

// Past the first white space: the next position that is not white space.
template <class Form>
std::size_t skip_spaces(const text::TextView<Form>& text, std::size_t pos, std::size_t end) {
  while (pos < end) {
    const std::uint32_t c = text::code_of(text[pos]);
    if (c >= 0x80) return text::skip_white_space(text, pos, end);
    if (!text::is_ascii_white_space(c)) return pos;
    ++pos;
  }
  return end;
}

template <class Form>
bool same_key(const text::TextView<Form>& text, const ScannedAttribute& a, const ScannedAttribute& b) {
  return a.key_end - a.key_begin == b.key_end - b.key_begin &&
         std::equal(text.data + a.key_begin, text.data + a.key_end, text.data + b.key_begin);
}

template <class Form>
std::size_t hash_key(const text::TextView<Form>& text, const ScannedAttribute& a) {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = a.key_begin; i < a.key_end; ++i) h = (h ^ text::code_of(text[i])) * 1099511628211ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

}  // namespace detail

template <class Form>
void AttributeList::read(const text::TextView<Form>& text, std::size_t from, std::size_t end) {
  using Unit = typename Form::Unit;
  using text::U;
  size_ = 0;
  spilled_ = false;
  std::size_t pos = from;
  while (true) {
    pos = detail::skip_spaces(text, pos, end);
    std::size_t key_end = pos;
    while (key_end < end && text::is_name_unit(text[key_end])) ++key_end;
    if (key_end == pos) break;
    ScannedAttribute attribute{pos, key_end, 0, 0, false};
    pos = detail::skip_spaces(text, key_end, end);
    if (pos < end && text[pos] == U<Unit>('=')) {
      pos = detail::skip_spaces(text, pos + 1, end);
      if (pos < end && (text[pos] == U<Unit>('"') || text[pos] == U<Unit>('\''))) {
        const std::size_t close = text::find_unit(text.data, pos + 1, end, text[pos]);
        attribute = {attribute.key_begin, attribute.key_end, pos + 1, close, true};
        pos = close < end ? close + 1 : end;
      } else if (pos < end) {
        // Unquoted: up to white space, `/` or `>`.
        std::size_t value_end = pos;
        while (value_end < end) {
          const std::uint32_t c = text::code_of(text[value_end]);
          if (c < 0x80) {
            if (c == '/' || c == '>' || text::is_ascii_white_space(c)) break;
            ++value_end;
          } else {
            if (text::white_space_len_at(text, value_end) != 0) break;
            value_end += text.decode_at(value_end).len;
          }
        }
        value_end = std::min(value_end, end);
        // A value that begins with `/` takes everything that is left.
        if (value_end == pos) value_end = end;
        attribute = {attribute.key_begin, attribute.key_end, pos, value_end, true};
        pos = value_end;
      }
    }
    push(attribute);
  }
  if (size_ > 1) remove_repeated_keys(text);
}

// The list as read holds every occurrence, in order; it is compacted in
// place, each key kept at its first place and spelling with the value of
// its last occurrence.
template <class Form>
void AttributeList::remove_repeated_keys(const text::TextView<Form>& text) {
  ScannedAttribute* list = data();
  const std::size_t n = size_;
  std::size_t kept = 0;
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const auto keep = [&](std::size_t found, const ScannedAttribute& a) {
    if (found == kNone) {
      list[kept++] = a;
      return;
    }
    ScannedAttribute& first = list[found];
    first.value_begin = a.value_begin;
    first.value_end = a.value_end;
    first.has_value = a.has_value;
  };
  if (n <= kFew) {
    for (std::size_t k = 0; k < n; ++k) {
      const ScannedAttribute a = list[k];
      std::size_t found = kNone;
      for (std::size_t i = 0; i < kept && found == kNone; ++i) {
        if (detail::same_key(text, list[i], a)) found = i;
      }
      keep(found, a);
    }
    size_ = kept;
    return;
  }
  // Past a handful, keys are found through an open-addressing index sized
  // once for them all: attribute index + 1 in the low 48 bits of a slot (an
  // attribute takes two units of text at least, and no text reaches 2^49
  // units), sixteen bits of the key's hash above them, 0 for an empty slot.
  // A long tag's slots are far apart, so each key's hash is taken some keys
  // ahead and its slot fetched early: the lookups then wait on memory
  // together rather than one after another.
  constexpr unsigned kIndexBits = 48;
  constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << kIndexBits) - 1;
  constexpr std::size_t kAhead = 16;
  const auto tag_of = [](std::size_t hash) { return static_cast<std::uint64_t>(hash) >> kIndexBits; };
  util::PodVector<std::uint64_t> slots;
  slots.assign(std::bit_ceil(std::max<std::size_t>(64, 2 * n + 1)), 0);
  const std::size_t mask = slots.size() - 1;
  std::size_t hashes[kAhead];
  const auto look_ahead = [&](std::size_t k) {
    const std::size_t hash = detail::hash_key(text, list[k]);
    hashes[k % kAhead] = hash;
    TAGMIRE_PREFETCH_FOR_WRITE(slots.data() + (hash & mask));
  };
  for (std::size_t k = 0; k < std::min(n, kAhead); ++k) look_ahead(k);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t hash = hashes[k % kAhead];
    // Read before the compaction may write over it; k + kAhead lies ahead of both.
    const ScannedAttribute a = list[k];
    if (k + kAhead < n) look_ahead(k + kAhead);
    std::size_t slot = hash & mask;
    std::size_t found = kNone;
    for (; slots[slot] != 0; slot = (slot + 1) & mask) {
      // Only a slot whose tag matches is worth reading the attribute and
      // its key for: in a long index those are reads from far apart.
      if (slots[slot] >> kIndexBits != tag_of(hash)) continue;
      const auto i = static_cast<std::size_t>((slots[slot] & kIndexMask) - 1);
      if (detail::same_key(text, list[i], a)) {
        found = i;
        break;
      }
    }
    if (found == kNone) slots[slot] = (tag_of(hash) << kIndexBits) | (kept + 1);
    keep(found, a);
  }
  size_ = kept;
}

}  // namespace types
