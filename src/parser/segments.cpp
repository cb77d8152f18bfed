#include "parser/segments.h"

#include <algorithm>
#include <cstddef>
#include <utility>

namespace parser {

namespace {

// Lists of annotations per segment may add up to far more than the spans
// (nested spans each cover many segments). Up to this many entries per span
// and segment, segments list their annotations; past it, the table keeps the
// spans and finds a segment's annotations when it is read.
constexpr std::size_t kListedEntriesPerItem = 4;

template <class T>
void release_if_large(util::PodVector<T>& v) {
  if (v.bytes() > kLargeStorageBytes) v.release();
}

// Sorts [begin, end) by position, ties in any order, on the digit of eight
// bits at `shift` and below: the boundaries are moved into their buckets in
// place, then each bucket is sorted on the next digit. Time is linear in
// the boundaries (a pass a digit, and a bounded comparison sort for small
// buckets), and no second array is needed: a comparison sort costs n log n,
// which showed in the doubling runs of inputs with millions of overlapping
// spans, and a sort through a second array would hold a third copy of the
// boundaries at the parse's peak.
void sort_on_digits(SegmentAssembly::Boundary* begin, SegmentAssembly::Boundary* end, unsigned shift) {
  using Boundary = SegmentAssembly::Boundary;
  const auto before = [](const Boundary& a, const Boundary& b) { return a.pos < b.pos; };
  if (end - begin <= 64) {
    std::sort(begin, end, before);
    return;
  }
  constexpr std::size_t kBuckets = 256;
  const auto digit = [shift](const Boundary& b) { return (b.pos >> shift) & (kBuckets - 1); };
  std::size_t first[kBuckets + 1] = {};
  for (const Boundary* b = begin; b != end; ++b) ++first[digit(*b) + 1];
  for (std::size_t d = 0; d < kBuckets; ++d) first[d + 1] += first[d];
  std::size_t next[kBuckets];
  std::copy(first, first + kBuckets, next);
  // Each swap puts one boundary into its bucket for good.
  for (std::size_t d = 0; d < kBuckets; ++d) {
    while (next[d] < first[d + 1]) {
      const std::size_t home = digit(begin[next[d]]);
      if (home == d) {
        ++next[d];
      } else {
        std::swap(begin[next[d]], begin[next[home]++]);
      }
    }
  }
  if (shift == 0) return;
  for (std::size_t d = 0; d < kBuckets; ++d) {
    if (first[d + 1] - first[d] > 1) sort_on_digits(begin + first[d], begin + first[d + 1], shift - 8);
  }
}

// Sorts by position by insertion, unless that would move boundaries more
// than `moves_per_boundary` times each in all: false then, with the
// boundaries in some order. A stretch of falling positions is reversed
// before its boundaries are inserted: nested spans are recorded innermost
// first, so their starts fall, and reversed they need no moves, where each
// would otherwise move once per span still open around it.
bool sort_nearly_sorted(util::PodVector<SegmentAssembly::Boundary>& boundaries, std::size_t moves_per_boundary) {
  using Boundary = SegmentAssembly::Boundary;
  Boundary* a = boundaries.begin();
  const std::size_t n = boundaries.size();
  std::size_t budget = moves_per_boundary * n;
  for (std::size_t i = 1; i < n; ++i) {
    if (a[i].pos >= a[i - 1].pos) continue;
    std::size_t last = i;
    while (last + 1 < n && a[last + 1].pos < a[last].pos) ++last;
    if (last > i) {
      std::reverse(a + i - 1, a + last + 1);
      if (i == 1 || a[i - 1].pos >= a[i - 2].pos) {
        i = last;
        continue;
      }
      --i;  // the stretch's least boundary still goes further back
    }
    const Boundary b = a[i];
    std::size_t j = i;
    for (; j > 0 && a[j - 1].pos > b.pos; --j) {
      if (budget-- == 0) {
        a[j] = b;  // fills the hole: the boundaries stay a permutation
        return false;
      }
      a[j] = a[j - 1];
    }
    a[j] = b;
  }
  return true;
}

void sort_by_position(util::PodVector<SegmentAssembly::Boundary>& boundaries, std::size_t largest) {
  // Spans arrive nearly in text order: a span is recorded when it closes,
  // so only the tags still open around it come later with earlier starts.
  // Insertion sorts that in a pass, and a budget of moves keeps any other
  // order to linear time through the digit sort.
  if (sort_nearly_sorted(boundaries, 2)) return;
  unsigned shift = 0;
  while (shift + 8 < 64 && (largest >> (shift + 8)) != 0) shift += 8;
  sort_on_digits(boundaries.begin(), boundaries.end(), shift);
}

}  // namespace

// A span turns into its covering entry where it lies: its start and end
// where the entry's first and last segment go, its annotation where the
// entry's goes.
static_assert(sizeof(Span) == sizeof(types::CoveringSpan) &&
              offsetof(Span, start) == offsetof(types::CoveringSpan, first) &&
              offsetof(Span, end) == offsetof(types::CoveringSpan, last) &&
              offsetof(Span, annotation) == offsetof(types::CoveringSpan, annotation));

void SegmentAssembly::assemble(std::size_t text_size, util::PodVector<Span>& spans) {
  cuts_.clear();
  first_.clear();
  entries_.clear();
  kept_.clear();
  covering_.clear();
  if (text_size != 0 && spans.empty()) {
    // One segment, the whole text, with no annotations.
    cuts_.push_back(0);
    cuts_.push_back(text_size);
    first_.assign(2, 0);
  }
  if (text_size == 0 || spans.empty() || assemble_disjoint(text_size, spans)) {
    release_if_large(spans);
    return;
  }
  // The spans become the covering list in place, each still holding its
  // ends until the boundaries have them: no copy of the spans is held
  // beside the boundaries.
  covering_.take_elements_of(spans);
  release_if_large(spans);
  const std::size_t count = covering_.size();
  starts_.clear();
  ends_.clear();
  starts_.reserve_more(count);
  ends_.reserve_more(count);
  for (std::size_t i = 0; i < count; ++i) {
    starts_.push_back({covering_[i].first, i});
    ends_.push_back({covering_[i].last, i});
  }
  sort_by_position(starts_, text_size);
  sort_by_position(ends_, text_size);

  // Merge the two boundary lists into the cuts, noting for each span the
  // index of its first and last segment on the way, over its ends.
  cuts_.push_back(0);
  std::size_t next_start = 0;
  std::size_t next_end = 0;
  while (true) {
    const std::size_t cut = cuts_.back();
    const std::size_t index = cuts_.size() - 1;
    for (; next_start < starts_.size() && starts_[next_start].pos == cut; ++next_start) {
      covering_[starts_[next_start].span].first = index;
    }
    for (; next_end < ends_.size() && ends_[next_end].pos == cut; ++next_end) {
      covering_[ends_[next_end].span].last = index - 1;
    }
    if (cut == text_size) break;
    std::size_t next = text_size;
    if (next_start < starts_.size()) next = std::min(next, starts_[next_start].pos);
    if (next_end < ends_.size()) next = std::min(next, ends_[next_end].pos);
    cuts_.push_back(next);
  }
  const std::size_t segments = cuts_.size() - 1;

  std::size_t entries = 0;
  for (const types::CoveringSpan& span : covering_) entries += span.last - span.first + 1;
  // The boundaries are spent; a large parse gives their memory back now.
  release_if_large(starts_);
  release_if_large(ends_);
  if (entries > kListedEntriesPerItem * (count + segments)) {
    std::swap(kept_, covering_);
    return;
  }

  // Count each segment's entries, then fill them span by span: spans are in
  // recording order, so each segment's list comes out in that order. After
  // the fill, first_[i] has moved to where segment i + 1 begins.
  first_.assign(segments + 1, 0);
  for (const types::CoveringSpan& span : covering_) {
    for (std::size_t i = span.first; i <= span.last; ++i) ++first_[i + 1];
  }
  for (std::size_t i = 1; i <= segments; ++i) first_[i] += first_[i - 1];
  entries_.resize_uninitialised(entries);
  for (const types::CoveringSpan& span : covering_) {
    for (std::size_t i = span.first; i <= span.last; ++i) entries_[first_[i]++] = span.annotation;
  }
  for (std::size_t i = segments; i > 0; --i) first_[i] = first_[i - 1];
  first_[0] = 0;
}

bool SegmentAssembly::assemble_disjoint(std::size_t text_size, std::span<const Span> spans) {
  for (std::size_t i = 1; i < spans.size(); ++i) {
    if (spans[i].start < spans[i - 1].end) return false;
  }
  // Each span is one segment with its one annotation, and the gaps between
  // them segments with none.
  cuts_.push_back(0);
  first_.push_back(0);
  for (const Span& span : spans) {
    if (span.start > cuts_.back()) {
      cuts_.push_back(span.start);
      first_.push_back(entries_.size());
    }
    entries_.push_back(span.annotation);
    cuts_.push_back(span.end);
    first_.push_back(entries_.size());
  }
  if (cuts_.back() < text_size) {
    cuts_.push_back(text_size);
    first_.push_back(entries_.size());
  }
  return true;
}

void SegmentAssembly::release() {
  starts_.release();
  ends_.release();
  covering_.release();
  cuts_.release();
  first_.release();
  entries_.release();
  kept_.release();
}

}  // namespace parser
