#include "parser/scanner.h"

#include <algorithm>
#include <bit>

#include "text/platform.h"

namespace parser {

namespace {

using text::U;

// Past this many attributes, keys are looked up through the index.
constexpr std::size_t kIndexFrom = 8;

// An index slot holds the attribute index + 1 in its low 48 bits (an
// attribute takes two units of the input at least, and no input reaches
// 2^49 units) and sixteen bits of its key's hash above them.
constexpr unsigned kSlotIndexBits = 48;
constexpr std::uint64_t kSlotIndexMask = (std::uint64_t{1} << kSlotIndexBits) - 1;
constexpr std::uint64_t slot_tag(std::size_t hash) { return static_cast<std::uint64_t>(hash) >> kSlotIndexBits; }

}  // namespace

template <class Form>
std::size_t find_cdata_end(const text::TextView<Form>& input, std::size_t from) {
  using Unit = typename Form::Unit;
  // Find each `>` and look back at the two units before it.
  for (std::size_t gt = text::find_unit(input.data, from, input.size, U<Unit>('>')); gt < input.size;
       gt = text::find_unit(input.data, gt + 1, input.size, U<Unit>('>'))) {
    if (gt >= from + 2 && input[gt - 1] == U<Unit>(']') && input[gt - 2] == U<Unit>(']')) return gt - 2;
  }
  return kNoPosition;
}

template <class Form>
template <bool kFinal>
Markup TagScanner<Form>::cdata_open_at(std::size_t pos) const {
  using Unit = typename Form::Unit;
  const std::size_t available = input_.size - pos;
  std::size_t same = 2;  // "<!" is known
  while (same < kCdataOpenSize && same < available && input_[pos + same] == U<Unit>(kCdataOpen[same])) ++same;
  if (same == kCdataOpenSize) return Markup::kCdata;
  // The whole rest of the input begins the opening: it may still become one.
  if (!kFinal && same == available) return Markup::kUndecided;
  return Markup::kText;
}

template <class Form>
bool TagScanner<Form>::head_may_grow(std::size_t pos) {
  // A stream asks again about the same `<` after every piece while its head
  // is still white space: the look resumes where the last one stopped (the
  // input only grows at its end), or each piece would rescan all of it.
  std::size_t at = pos + 1;
  bool slash = false;
  if (head_lt_ == pos) {
    at = head_at_;
    slash = head_slash_;
  }
  at = text::skip_white_space(input_, at, input_.size);
  if (!slash && at < input_.size && input_[at] == U<typename Form::Unit>('/')) {
    slash = true;
    at = text::skip_white_space(input_, at + 1, input_.size);
  }
  head_lt_ = pos;
  head_at_ = at;
  head_slash_ = slash;
  if (at == input_.size) return true;
  const std::uint32_t c = text::code_of(input_[at]);
  return c < 0x80 && text::is_ascii_letter(c);
}

template <class Form>
void TagScanner<Form>::reset(const text::TextView<Form>& input) {
  input_ = input;
  unfinished_.lt = kNoPosition;
  gt_ = kNoPosition;
  none_from_ = kNoPosition;
  none_to_ = 0;
  inner_end_gt_ = kNoPosition;
  inner_end_ = 0;
  head_lt_ = kNoPosition;
}

template <class Form>
std::size_t TagScanner<Form>::search_gt(std::size_t from) {
  // Where no `>` is known to lie, there is none to look for again.
  const bool known = none_from_ <= from && from <= none_to_;
  const std::size_t start = known ? none_to_ : from;
  const std::size_t hit = text::find_unit(input_.data, start, input_.size, U<typename Form::Unit>('>'));
  if (hit == input_.size) {
    none_from_ = known ? none_from_ : from;
    none_to_ = input_.size;
    return kNoPosition;
  }
  gt_ = hit;
  return gt_;
}

template <class Form>
std::size_t TagScanner<Form>::inner_end(std::size_t gt) {
  if (inner_end_gt_ != gt) {
    // Stops at the previous `>` at the latest, so each stretch is walked once.
    inner_end_ = text::skip_white_space_back(input_, gt, 0);
    inner_end_gt_ = gt;
  }
  return inner_end_;
}

// A `<` followed by white space, or by anything but a name: the general
// reading of the candidate up to its `>`.
template <class Form>
bool TagScanner<Form>::scan_spaced(std::size_t pos, TagToken& token) {
  using Unit = typename Form::Unit;
  const std::size_t gt = find_gt(pos + 1);
  if (gt == kNoPosition || gt - pos < 2) return false;
  // Decide "no tag" from the head alone: only a candidate that will become a
  // tag pays for reading up to its `>`.
  const std::size_t inner_begin = text::skip_white_space(input_, pos + 1, gt);
  if (inner_begin == gt) return false;
  const std::size_t end = inner_end(gt);
  TagKind kind = TagKind::Open;
  std::size_t name_begin = inner_begin;
  if (input_[inner_begin] == U<Unit>('/')) {
    kind = TagKind::Close;
    name_begin = text::skip_white_space(input_, inner_begin + 1, end);
    if (name_begin == end) return false;
  }
  const std::uint32_t first = text::code_of(input_[name_begin]);
  if (first >= 0x80 || !text::is_ascii_letter(first)) return false;
  std::size_t name_end = name_begin + 1;
  while (name_end < end && text::is_name_unit(input_[name_end])) ++name_end;
  token = TagToken{pos, gt + 1, name_begin, name_end, name_end,
                   name_key(input_.data + name_begin, name_end - name_begin), kind};
  if (kind != TagKind::Close) find_attributes_end(token);
  return true;
}

// The attribute grammar over [name_end, attributes_end): bare keys,
// `key=value`, `key="..."`, `key='...'`. It stops at the first thing that is
// not a key, keeping what it has read.
template <class Form>
std::span<const ScannedAttribute> TagScanner<Form>::read_attributes(const TagToken& token) {
  using Unit = typename Form::Unit;
  attributes_.clear();
  const std::size_t end = token.attributes_end;
  std::size_t pos = token.name_end;
  while (true) {
    pos = skip_spaces(pos, end);
    std::size_t key_end = pos;
    while (key_end < end && text::is_name_unit(input_[key_end])) ++key_end;
    if (key_end == pos) break;
    ScannedAttribute attribute{pos, key_end, 0, 0, false};
    pos = skip_spaces(key_end, end);
    if (pos < end && input_[pos] == U<Unit>('=')) {
      pos = skip_spaces(pos + 1, end);
      if (pos < end && (input_[pos] == U<Unit>('"') || input_[pos] == U<Unit>('\''))) {
        const std::size_t close = text::find_unit(input_.data, pos + 1, end, input_[pos]);
        attribute = {attribute.key_begin, attribute.key_end, pos + 1, close, true};
        pos = close < end ? close + 1 : end;
      } else if (pos < end) {
        // Unquoted: up to white space, `/` or `>`.
        std::size_t value_end = pos;
        while (value_end < end) {
          const std::uint32_t c = text::code_of(input_[value_end]);
          if (c < 0x80) {
            if (c == '/' || c == '>' || text::is_ascii_white_space(c)) break;
            ++value_end;
          } else {
            if (text::white_space_len_at(input_, value_end) != 0) break;
            value_end += input_.decode_at(value_end).len;
          }
        }
        value_end = std::min(value_end, end);
        // A value that begins with `/` takes everything that is left.
        if (value_end == pos) value_end = end;
        attribute = {attribute.key_begin, attribute.key_end, pos, value_end, true};
        pos = value_end;
      }
    }
    attributes_.push_back(attribute);
  }
  if (attributes_.size() > 1) remove_repeated_keys();
  return attributes_;
}

template <class Form>
std::size_t TagScanner<Form>::hash_key(std::size_t key_begin, std::size_t key_end) const {
  std::uint64_t h = 14695981039346656037ull;
  for (std::size_t i = key_begin; i < key_end; ++i) h = (h ^ text::code_of(input_[i])) * 1099511628211ull;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

template <class Form>
bool TagScanner<Form>::same_key(const ScannedAttribute& a, const ScannedAttribute& b) const {
  return a.key_end - a.key_begin == b.key_end - b.key_begin &&
         std::equal(input_.data + a.key_begin, input_.data + a.key_end, input_.data + b.key_begin);
}

// The list as read holds every occurrence, in order; it is compacted in
// place, each key kept at its first place and spelling with the value of
// its last occurrence.
template <class Form>
void TagScanner<Form>::remove_repeated_keys() {
  const std::size_t n = attributes_.size();
  std::size_t kept = 0;
  const auto keep = [&](std::size_t found, const ScannedAttribute& a) {
    if (found == kNoPosition) {
      attributes_[kept++] = a;
      return;
    }
    ScannedAttribute& first = attributes_[found];
    first.value_begin = a.value_begin;
    first.value_end = a.value_end;
    first.has_value = a.has_value;
  };
  if (n <= kIndexFrom) {
    for (std::size_t k = 0; k < n; ++k) {
      const ScannedAttribute a = attributes_[k];
      std::size_t found = kNoPosition;
      for (std::size_t i = 0; i < kept && found == kNoPosition; ++i) {
        if (same_key(attributes_[i], a)) found = i;
      }
      keep(found, a);
    }
    attributes_.resize_uninitialised(kept);
    return;
  }
  // Past a handful, keys are found through an open-addressing index sized
  // once for them all. Its slots are far apart in a long tag, so each key's
  // hash is taken some keys ahead and its slot fetched early: the lookups
  // then wait on memory together rather than one after another.
  constexpr std::size_t kAhead = 16;
  key_slots_.assign(std::bit_ceil(std::max<std::size_t>(64, 2 * n + 1)), 0);
  const std::size_t mask = key_slots_.size() - 1;
  std::size_t hashes[kAhead];
  const auto look_ahead = [&](std::size_t k) {
    const std::size_t hash = hash_key(attributes_[k].key_begin, attributes_[k].key_end);
    hashes[k % kAhead] = hash;
    TAGMIRE_PREFETCH_FOR_WRITE(key_slots_.data() + (hash & mask));
  };
  for (std::size_t k = 0; k < std::min(n, kAhead); ++k) look_ahead(k);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t hash = hashes[k % kAhead];
    // Read before the compaction may write over it; k + kAhead lies ahead of both.
    const ScannedAttribute a = attributes_[k];
    if (k + kAhead < n) look_ahead(k + kAhead);
    std::size_t slot = hash & mask;
    std::size_t found = kNoPosition;
    for (; key_slots_[slot] != 0; slot = (slot + 1) & mask) {
      // Only a slot whose tag matches is worth reading the attribute and its
      // key for: in a long index those are reads from far apart.
      if (key_slots_[slot] >> kSlotIndexBits != slot_tag(hash)) continue;
      const auto i = static_cast<std::size_t>((key_slots_[slot] & kSlotIndexMask) - 1);
      if (same_key(attributes_[i], a)) {
        found = i;
        break;
      }
    }
    if (found == kNoPosition) key_slots_[slot] = (slot_tag(hash) << kSlotIndexBits) | (kept + 1);
    keep(found, a);
  }
  attributes_.resize_uninitialised(kept);
}

#define TAGMIRE_INSTANTIATE(Form)                                                        \
  template std::size_t find_cdata_end<Form>(const text::TextView<Form>&, std::size_t);  \
  template class TagScanner<Form>;                                                       \
  template Markup TagScanner<Form>::cdata_open_at<true>(std::size_t) const;             \
  template Markup TagScanner<Form>::cdata_open_at<false>(std::size_t) const;
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
