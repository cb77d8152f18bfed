#include "types/segment_table.h"

#include <algorithm>
#include <bit>
#include <mutex>
#include <utility>

namespace types {

// Spans as closed intervals of segment indices, stored at the node of an
// implicit binary tree over the indices where each interval straddles the
// node's split: the split of node (level L, prefix p) is the first index
// of its right half, unique per node, so nodes are numbered by their split.
// An interval [first, last] with first < last belongs to the split made of
// `last`'s bits above the highest bit where the two ends differ; one with
// first == last belongs to that leaf. The segments a query walks through
// are the splits on the path from the root to its leaf: at each, the
// intervals holding the query index are a prefix of the node's list sorted
// by `first` (query left of the split) or by `last` descending (right of
// it). Each list is built by counting sorts, so the whole index is linear.
class SegmentTable::IntervalIndex {
 public:
  IntervalIndex(const CoveringSpan* spans, std::size_t count, std::size_t segments)
      : spans_(spans), count_(count), segments_(segments) {
    // Node keys: a split is its own key (1 .. segments-1); leaf i is segments + i.
    std::vector<std::size_t> node(count);
    for (std::size_t s = 0; s < count; ++s) node[s] = node_of(spans[s]);
    begin_.assign(2 * segments_ + 1, 0);
    for (const std::size_t k : node) ++begin_[k + 1];
    for (std::size_t k = 1; k < begin_.size(); ++k) begin_[k] += begin_[k - 1];
    by_first_ = group_by_node(node, order_by([](const CoveringSpan& s) { return s.first; }));
    by_last_ = group_by_node(node, order_by([this](const CoveringSpan& s) { return segments_ - 1 - s.last; }));
  }

  void covering(std::size_t i, std::vector<std::size_t>& out) const {
    // Leaf i: every interval there is [i, i].
    const std::size_t leaf = segments_ + i;
    for (std::size_t k = begin_[leaf]; k < begin_[leaf + 1]; ++k) out.push_back(by_first_[k]);
    for (int level = std::bit_width(segments_); level >= 0; --level) {
      const std::size_t half = std::size_t{1} << level;
      const std::size_t split = (i & ~(2 * half - 1)) | half;
      if (split >= segments_) continue;
      if (i < split) {
        for (std::size_t k = begin_[split]; k < begin_[split + 1]; ++k) {
          if (spans_[by_first_[k]].first > i) break;
          out.push_back(by_first_[k]);
        }
      } else {
        for (std::size_t k = begin_[split]; k < begin_[split + 1]; ++k) {
          if (spans_[by_last_[k]].last < i) break;
          out.push_back(by_last_[k]);
        }
      }
    }
  }

 private:
  std::size_t node_of(const CoveringSpan& s) const {
    if (s.first == s.last) return segments_ + s.first;
    const int level = std::bit_width(s.first ^ s.last) - 1;
    return s.last & ~((std::size_t{1} << level) - 1);
  }

  // Span indices ordered by `key` (a segment index): a counting sort.
  template <class Key>
  std::vector<std::size_t> order_by(Key key) const {
    std::vector<std::size_t> count(segments_ + 1, 0);
    for (std::size_t s = 0; s < count_; ++s) ++count[key(spans_[s]) + 1];
    for (std::size_t k = 1; k < count.size(); ++k) count[k] += count[k - 1];
    std::vector<std::size_t> order(count_);
    for (std::size_t s = 0; s < count_; ++s) order[count[key(spans_[s])]++] = s;
    return order;
  }

  // The same indices grouped by node, stable, so each group keeps the order.
  std::vector<std::size_t> group_by_node(const std::vector<std::size_t>& node, const std::vector<std::size_t>& order) const {
    std::vector<std::size_t> next(begin_.begin(), begin_.end() - 1);
    std::vector<std::size_t> grouped(order.size());
    for (const std::size_t s : order) grouped[next[node[s]]++] = s;
    return grouped;
  }

  const CoveringSpan* spans_;
  std::size_t count_;
  std::size_t segments_;
  std::vector<std::size_t> begin_;  // per node key: where its group begins; one more closes the last
  std::vector<std::size_t> by_first_;
  std::vector<std::size_t> by_last_;
};

struct SegmentTable::LazyIndex {
  std::once_flag once;
  std::unique_ptr<const IntervalIndex> index;
};

SegmentTable::SegmentTable() = default;
SegmentTable::SegmentTable(SegmentTable&&) noexcept = default;
SegmentTable& SegmentTable::operator=(SegmentTable&&) noexcept = default;
SegmentTable::~SegmentTable() = default;

void SegmentTable::view_spans(const CoveringSpan* spans, std::size_t count) {
  spans_ = spans;
  span_count_ = count;
  lazy_ = std::make_unique<LazyIndex>();
}

void SegmentTable::annotations(std::size_t i, std::vector<AnnotationRef>& out) const {
  if (lists_annotations()) {
    out.insert(out.end(), entries_ + first_[i], entries_ + first_[i + 1]);
    return;
  }
  std::call_once(lazy_->once,
                 [&] { lazy_->index = std::make_unique<const IntervalIndex>(spans_, span_count_, segments_); });
  std::vector<std::size_t> found;
  lazy_->index->covering(i, found);
  // Span indices are recording order.
  std::sort(found.begin(), found.end());
  out.reserve(out.size() + found.size());
  for (const std::size_t s : found) out.push_back(spans_[s].annotation);
}

}  // namespace types
