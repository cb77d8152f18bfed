#include "parser/trimmable_runs.h"

#include <algorithm>
#include <iterator>

#include "text/classes.h"

namespace parser {

namespace {

// Most spans end at a word: a few characters decide, and the map is never
// consulted.
constexpr int kDirectSteps = 32;

}  // namespace

template <class Form>
std::size_t TrimmableRuns::skip_forward(const text::TextView<Form>& content, std::size_t pos, std::size_t limit) {
  const std::size_t begin = pos;
  for (int step = 0; step < kDirectSteps; ++step) {
    if (pos >= limit) return limit;
    const text::Decoded d = content.decode_at(pos);
    if (!text::is_trimmable(d.cp)) return pos;
    pos += d.len;
  }
  auto next = runs_.upper_bound(pos);
  if (next != runs_.begin() && std::prev(next)->second > pos) pos = std::prev(next)->second;
  while (pos < limit) {
    if (next != runs_.end() && next->first <= pos) {
      pos = std::max(pos, next->second);
      ++next;
      continue;
    }
    const text::Decoded d = content.decode_at(pos);
    if (!text::is_trimmable(d.cp)) break;
    pos += d.len;
  }
  pos = std::min(pos, limit);
  remember(begin, pos);
  return pos;
}

template <class Form>
std::size_t TrimmableRuns::skip_backward(const text::TextView<Form>& content, std::size_t pos, std::size_t limit) {
  const std::size_t end = pos;
  for (int step = 0; step < kDirectSteps; ++step) {
    if (pos <= limit) return limit;
    const text::Decoded d = content.decode_before(pos);
    if (!text::is_trimmable(d.cp)) return pos;
    pos -= std::min(d.len, pos);
  }
  // `run` is the last known stretch beginning before `pos`.
  auto run = runs_.lower_bound(pos);
  while (pos > limit) {
    if (run != runs_.begin() && std::prev(run)->second >= pos) {
      --run;
      pos = std::min(pos, run->first);
      continue;
    }
    const text::Decoded d = content.decode_before(pos);
    if (!text::is_trimmable(d.cp)) break;
    pos -= std::min(d.len, pos);
  }
  pos = std::max(pos, limit);
  remember(pos, end);
  return pos;
}

void TrimmableRuns::remember(std::size_t begin, std::size_t end) {
  if (begin >= end) return;
  auto it = runs_.upper_bound(begin);
  if (it != runs_.begin() && std::prev(it)->second >= begin) {
    // Grow the run that already holds `begin` in place; hostile inputs
    // extend one run again and again.
    auto run = std::prev(it);
    while (it != runs_.end() && it->first <= end) {
      end = std::max(end, it->second);
      it = runs_.erase(it);
    }
    run->second = std::max(run->second, end);
    return;
  }
  while (it != runs_.end() && it->first <= end) {
    end = std::max(end, it->second);
    it = runs_.erase(it);
  }
  runs_.emplace_hint(it, begin, end);
}

void TrimmableRuns::drop_before(std::size_t pos) {
  std::map<std::size_t, std::size_t> kept;
  for (const auto& [begin, end] : runs_) {
    if (end > pos) kept.emplace_hint(kept.end(), begin > pos ? begin - pos : 0, end - pos);
  }
  runs_.swap(kept);
}

#define TAGMIRE_INSTANTIATE(Form)                                                                           \
  template std::size_t TrimmableRuns::skip_forward<Form>(const text::TextView<Form>&, std::size_t, std::size_t); \
  template std::size_t TrimmableRuns::skip_backward<Form>(const text::TextView<Form>&, std::size_t, std::size_t);
TAGMIRE_FOR_EACH_FORM(TAGMIRE_INSTANTIATE)
#undef TAGMIRE_INSTANTIATE

}  // namespace parser
