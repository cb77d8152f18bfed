#include "parser/segments.h"

#include <algorithm>
#include <utility>

namespace parser {

namespace {

// Lists of annotations per segment may add up to far more than the spans
// (nested spans each cover many segments). Up to this many entries per span
// and segment, segments list their annotations; past it, the table keeps the
// spans and finds a segment's annotations when it is read.
constexpr std::size_t kListedEntriesPerItem = 4;

template <class T>
void release_if_large(types::PodVector<T>& v) {
  if (v.bytes() > kLargeStorageBytes) v.release();
}

// Sorts boundaries by position, ties in any order, in time linear in their
// number: least significant digit first, eleven bits a pass, as many passes
// as the largest position needs (three for 8 GB). A comparison sort costs
// n log n, which showed in the doubling runs of inputs with millions of
// overlapping spans.
void sort_by_position(types::PodVector<SegmentAssembly::Boundary>& boundaries,
                      types::PodVector<SegmentAssembly::Boundary>& scratch, std::size_t largest) {
  using Boundary = SegmentAssembly::Boundary;
  const auto before = [](const Boundary& a, const Boundary& b) { return a.pos < b.pos; };
  // Spans usually arrive in text order already.
  if (std::is_sorted(boundaries.begin(), boundaries.end(), before)) return;
  // Up to a few thousand, a comparison sort is quicker, and its cost per
  // boundary is bounded all the same.
  if (boundaries.size() <= 4096) {
    std::sort(boundaries.begin(), boundaries.end(), before);
    return;
  }
  constexpr unsigned kBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kBits;
  const std::size_t n = boundaries.size();
  scratch.resize_uninitialised(n);
  Boundary* from = boundaries.data();
  Boundary* to = scratch.data();
  std::size_t next[kBuckets];
  for (unsigned shift = 0; shift < 64 && (largest >> shift) != 0; shift += kBits) {
    std::fill(next, next + kBuckets, 0);
    for (std::size_t i = 0; i < n; ++i) ++next[(from[i].pos >> shift) & (kBuckets - 1)];
    std::size_t sum = 0;
    for (std::size_t& bucket : next) sum += std::exchange(bucket, sum);
    for (std::size_t i = 0; i < n; ++i) to[next[(from[i].pos >> shift) & (kBuckets - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != boundaries.data()) std::copy(from, from + n, boundaries.data());
}

}  // namespace

void SegmentAssembly::assemble(std::size_t text_size, std::span<const Span> spans) {
  cuts_.clear();
  first_.clear();
  entries_.clear();
  kept_.clear();
  if (text_size == 0) return;
  if (spans.empty()) {
    // One segment, the whole text, with no annotations.
    cuts_.push_back(0);
    cuts_.push_back(text_size);
    first_.assign(2, 0);
    return;
  }
  if (assemble_disjoint(text_size, spans)) return;
  starts_.clear();
  ends_.clear();
  for (std::size_t i = 0; i < spans.size(); ++i) {
    starts_.push_back({spans[i].start, i});
    ends_.push_back({spans[i].end, i});
  }
  sort_by_position(starts_, sorted_, text_size);
  sort_by_position(ends_, sorted_, text_size);
  release_if_large(sorted_);

  // Merge the two boundary lists into the cuts, noting for each span the
  // index of its first and last segment on the way.
  covering_.resize_uninitialised(spans.size());
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
  for (std::size_t i = 0; i < spans.size(); ++i) {
    covering_[i].annotation = spans[i].annotation;
    entries += covering_[i].last - covering_[i].first + 1;
  }
  // The boundaries are spent; a large parse gives their memory back now.
  release_if_large(starts_);
  release_if_large(ends_);
  if (entries > kListedEntriesPerItem * (spans.size() + segments)) {
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
  sorted_.release();
  covering_.release();
  cuts_.release();
  first_.release();
  entries_.release();
  kept_.release();
}

}  // namespace parser
